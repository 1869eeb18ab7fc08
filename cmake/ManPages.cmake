# Manual pages of ostrel-acquire and ostrel-sim, made at build time by help2man from each
# program's own --help, so that they never say anything the program does not.
#   OSTRELTCP_MANPAGES  AUTO: made where help2man is installed; ON: required; OFF: not made
# The pages are compressed as Debian keeps them (gzip -9n, no time stamp, so that two builds of
# the same program give the same file) and installed with the programs.
set(OSTRELTCP_MANPAGES AUTO CACHE STRING "Make the manual pages with help2man (AUTO, ON, OFF)")
set_property(CACHE OSTRELTCP_MANPAGES PROPERTY STRINGS AUTO ON OFF)

if(OSTRELTCP_MANPAGES STREQUAL "OFF" OR WIN32 OR CMAKE_CROSSCOMPILING)
  return()
endif()
find_program(OSTRELTCP_HELP2MAN help2man)
find_program(OSTRELTCP_GZIP gzip)
mark_as_advanced(OSTRELTCP_HELP2MAN OSTRELTCP_GZIP)
if(NOT OSTRELTCP_HELP2MAN OR NOT OSTRELTCP_GZIP)
  if(OSTRELTCP_MANPAGES STREQUAL "ON")
    message(FATAL_ERROR "OSTRELTCP_MANPAGES=ON needs help2man and gzip (apt-get install help2man)")
  endif()
  message(STATUS "Manual pages: not made (no help2man)")
  return()
endif()

# ostreltcp_manpage(TARGET SUMMARY): TARGET.1.gz from `TARGET --help`. The programs have no
# --version, so the project's version is given to help2man instead of asked for.
function(ostreltcp_manpage tool summary)
  if(NOT TARGET ${tool})
    return()
  endif()
  set(page ${PROJECT_BINARY_DIR}/man/${tool}.1)
  add_custom_command(
    OUTPUT ${page}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
    COMMAND ${OSTRELTCP_HELP2MAN} --no-info --no-discard-stderr --section 1
      --name "${summary}" --version-string "${PROJECT_VERSION}"
      --output ${page} $<TARGET_FILE:${tool}>
    COMMAND ${OSTRELTCP_GZIP} -9nf ${page}
    DEPENDS ${tool}
    COMMENT "Manual page of ${tool} from its --help"
    VERBATIM)
  add_custom_target(${tool}-manpage ALL DEPENDS ${page}.gz)
  install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT Tools)
endfunction()

ostreltcp_manpage(ostrel-acquire "acquire interferograms and spectra from the spectrometer")
ostreltcp_manpage(ostrel-sim "simulate the spectrometer on loopback for tests and demonstrations")
