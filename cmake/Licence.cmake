# The project's licence as each package wants it, made from the one LICENSE file at the root:
#   Linux    share/doc/ostreltcp/copyright, in Debian's machine-readable copyright format (the
#            Debian package must carry it there, and an install tree gets the same file)
#   Windows  LICENSE beside the guides, which scripts/package-windows.sh puts at the top of the ZIP
set(OSTRELTCP_LICENCE_FILE ${PROJECT_SOURCE_DIR}/LICENSE)

if(WIN32)
  install(FILES ${OSTRELTCP_LICENCE_FILE}
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/ostreltcp COMPONENT Docs)
  return()
endif()

file(STRINGS ${OSTRELTCP_LICENCE_FILE} licence_lines)
set(copyright_holders "")
set(licence_body "")
set(after_copyright FALSE)
foreach(line IN LISTS licence_lines)
  if(line MATCHES "^Copyright \\(c\\) (.+)$")
    set(copyright_holders "${CMAKE_MATCH_1}")
    set(after_copyright TRUE)
  elseif(after_copyright)
    # The format indents the text by one space and writes an empty line as " .".
    if(line STREQUAL "")
      string(APPEND licence_body " .\n")
    else()
      string(APPEND licence_body " ${line}\n")
    endif()
  endif()
endforeach()
if(NOT copyright_holders)
  message(FATAL_ERROR "${OSTRELTCP_LICENCE_FILE} has no \"Copyright (c) ...\" line")
endif()
# The text starts after the blank line that follows the copyright line.
string(REGEX REPLACE "^ \\.\n" "" licence_body "${licence_body}")

file(GENERATE OUTPUT ${PROJECT_BINARY_DIR}/copyright CONTENT
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: OstrelTCP
Upstream-Contact: ${OSTRELTCP_PACKAGE_CONTACT}

Files: *
Copyright: ${copyright_holders}
License: Expat
Comment: The MIT licence (Debian calls it Expat); the same text is the file LICENSE.

License: Expat
${licence_body}")
install(FILES ${PROJECT_BINARY_DIR}/copyright
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/ostreltcp COMPONENT Docs)
