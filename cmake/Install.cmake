# What `cmake --install` puts where, and the packages CPack makes of it:
#   Runtime      the shared libraries (versioned file and soname link; the DLL on Windows)
#   Development  the headers, the unversioned link or import library, the module-definition
#                file (Windows), the CMake package OstrelTCP::ostreltcp and ostreltcp.pc
#   Tools        ostrel-sim and ostrel-acquire with their manual pages
#   Python       the Python package ostreltcp (Linux)
#   Docs         the host guide, the simulator's manual and the licence
# On Debian with CMAKE_INSTALL_PREFIX=/usr the library lands in the multiarch directory
# (lib/x86_64-linux-gnu), as GNUInstallDirs chooses.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(OSTRELTCP_INSTALL_CMAKEDIR "${CMAKE_INSTALL_LIBDIR}/cmake/OstrelTCP"
    CACHE STRING "Where the CMake package files of OstrelTCP are installed (below the prefix)")
mark_as_advanced(OSTRELTCP_INSTALL_CMAKEDIR)
set(OSTRELTCP_PACKAGE_CONTACT "OstrelTCP maintainers <ostreltcp@localhost>"
    CACHE STRING "Maintainer named in the packages")

# The unversioned link goes with the library itself (the default for LIBRARY), not with the
# development files: ostrel-acquire loads the driver at run time as "libostreltcp.so", which the
# dynamic loader finds in the system's library directory only through that link.
install(TARGETS ostreltcp EXPORT OstrelTCPTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Runtime
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Runtime
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Development)
install(FILES ${PROJECT_SOURCE_DIR}/include/ostreltcp.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT Development)
# The spectral library beside the driver, with its C interface header (ostrel_spectra.h, which the
# Python package's spectra module loads through) and its C++ header; in the CMake package as
# OstrelTCP::spectra. ostrel-acquire links it. Like the driver, its unversioned link goes with
# the library, because the Python package loads it by that name.
if(TARGET ostrel_spectra)
  set_target_properties(ostrel_spectra PROPERTIES EXPORT_NAME spectra)
  install(TARGETS ostrel_spectra EXPORT OstrelTCPTargets
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Runtime
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Runtime
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Development
    INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
  install(FILES ${PROJECT_SOURCE_DIR}/spectra/include/ostrel_spectra.h
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT Development)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/spectra/include/ostrel_spectra
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT Development)
endif()
if(WIN32)
  # Hosts that make their own import library (or check the fixed ordinals) need the .def file.
  install(FILES ${PROJECT_SOURCE_DIR}/src/api/ostreltcp.def
    DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Development)
endif()
if(WIN32 AND CMAKE_SIZEOF_VOID_P EQUAL 4)
  # The linker makes the 32-bit import library from the plain export names, so its symbols are
  # _imp__name, while a host compiled with the header calls the stdcall _imp__name@N and cannot
  # link. The installed import library (it replaces the linker's, installed just above) is made
  # again from the decorated names in the DLL's symbol table, each imported by its plain name
  # at its ordinal (dlltool --kill-at).
  install(CODE "
    set(ostreltcp_dll \"$<TARGET_FILE:ostreltcp>\")
    set(ostreltcp_dll_name \"$<TARGET_FILE_NAME:ostreltcp>\")
    set(ostreltcp_import_name \"$<TARGET_LINKER_FILE_NAME:ostreltcp>\")
    set(ostreltcp_def \"${PROJECT_SOURCE_DIR}/src/api/ostreltcp.def\")
    set(ostreltcp_nm \"${CMAKE_NM}\")
    set(ostreltcp_dlltool \"${CMAKE_DLLTOOL}\")
    set(ostreltcp_work \"${PROJECT_BINARY_DIR}/stdcall-import\")
    set(ostreltcp_destination \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}\")
    " COMPONENT Development)
  install(CODE [[
    execute_process(COMMAND "${ostreltcp_nm}" "${ostreltcp_dll}"
      OUTPUT_VARIABLE symbols RESULT_VARIABLE failed)
    if(failed)
      message(FATAL_ERROR "${ostreltcp_nm} cannot read ${ostreltcp_dll}")
    endif()
    file(STRINGS "${ostreltcp_def}" exports REGEX "^[ \t]+[A-Za-z_][A-Za-z0-9_]*[ \t]+@[0-9]+")
    set(definition "LIBRARY ${ostreltcp_dll_name}\nEXPORTS\n")
    foreach(line IN LISTS exports)
      string(REGEX MATCH "([A-Za-z_][A-Za-z0-9_]*)[ \t]+@([0-9]+)" matched "${line}")
      set(name "${CMAKE_MATCH_1}")
      set(ordinal "${CMAKE_MATCH_2}")
      string(REGEX MATCH " T _${name}@([0-9]+)\n" decorated "${symbols}")
      if(NOT decorated)
        message(FATAL_ERROR "${ostreltcp_dll} has no stdcall symbol for ${name}")
      endif()
      string(APPEND definition "    ${name}@${CMAKE_MATCH_1} @${ordinal}\n")
    endforeach()
    file(WRITE "${ostreltcp_work}/stdcall.def" "${definition}")
    execute_process(COMMAND "${ostreltcp_dlltool}" --kill-at --def "${ostreltcp_work}/stdcall.def"
      --dllname "${ostreltcp_dll_name}" --output-lib "${ostreltcp_work}/${ostreltcp_import_name}"
      RESULT_VARIABLE failed)
    if(failed)
      message(FATAL_ERROR "${ostreltcp_dlltool} could not make the stdcall import library")
    endif()
    file(INSTALL DESTINATION "${ostreltcp_destination}" TYPE FILE
      FILES "${ostreltcp_work}/${ostreltcp_import_name}")
    ]] COMPONENT Development)
endif()

install(EXPORT OstrelTCPTargets
  NAMESPACE OstrelTCP::
  FILE OstrelTCPTargets.cmake
  DESTINATION ${OSTRELTCP_INSTALL_CMAKEDIR}
  COMPONENT Development)
configure_package_config_file(
  ${CMAKE_CURRENT_LIST_DIR}/OstrelTCPConfig.cmake.in
  ${PROJECT_BINARY_DIR}/OstrelTCPConfig.cmake
  INSTALL_DESTINATION ${OSTRELTCP_INSTALL_CMAKEDIR})
# The soname changes with the major version, so only that has to match.
write_basic_package_version_file(
  ${PROJECT_BINARY_DIR}/OstrelTCPConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/OstrelTCPConfig.cmake
  ${PROJECT_BINARY_DIR}/OstrelTCPConfigVersion.cmake
  DESTINATION ${OSTRELTCP_INSTALL_CMAKEDIR}
  COMPONENT Development)

# pkg-config wants absolute paths, and the prefix is only known when installing: `cmake --install
# --prefix` and CPack's staging choose it then. The file is configured here with everything but
# the prefix, which the install step fills in.
if(NOT WIN32)
  foreach(kind LIB INCLUDE)
    if(IS_ABSOLUTE "${CMAKE_INSTALL_${kind}DIR}")
      set(OSTRELTCP_PC_${kind}DIR "${CMAKE_INSTALL_${kind}DIR}")
    else()
      set(OSTRELTCP_PC_${kind}DIR "\${prefix}/${CMAKE_INSTALL_${kind}DIR}")
    endif()
  endforeach()
  set(OSTRELTCP_PC_PREFIX "@OSTRELTCP_PC_PREFIX@")
  configure_file(${CMAKE_CURRENT_LIST_DIR}/ostreltcp.pc.in
    ${PROJECT_BINARY_DIR}/pkgconfig/ostreltcp.pc.template @ONLY)
  install(CODE "
    get_filename_component(OSTRELTCP_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\" ABSOLUTE)
    configure_file(\"${PROJECT_BINARY_DIR}/pkgconfig/ostreltcp.pc.template\"
      \"${PROJECT_BINARY_DIR}/pkgconfig/installed/ostreltcp.pc\" @ONLY)
    file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig\"
      TYPE FILE FILES \"${PROJECT_BINARY_DIR}/pkgconfig/installed/ostreltcp.pc\")
    " COMPONENT Development)
endif()

# The programs link the spectral library. Installed in the system's library directory (the
# .deb's /usr) the loader finds it anyway; under any other prefix they carry a run path from
# their own folder to the library folder, so that a tree installed anywhere (and moved) works.
set(OSTRELTCP_TOOL_RPATH "")
list(FIND CMAKE_PLATFORM_IMPLICIT_LINK_DIRECTORIES "${CMAKE_INSTALL_FULL_LIBDIR}" system_libdir)
if(system_libdir EQUAL -1 AND NOT WIN32)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_BINDIR}")
    set(OSTRELTCP_TOOL_RPATH "${CMAKE_INSTALL_FULL_LIBDIR}")
  else()
    set(tool_libdir "/prefix/${CMAKE_INSTALL_LIBDIR}")
    cmake_path(RELATIVE_PATH tool_libdir BASE_DIRECTORY "/prefix/${CMAKE_INSTALL_BINDIR}"
      OUTPUT_VARIABLE tool_rpath)
    set(OSTRELTCP_TOOL_RPATH "$ORIGIN/${tool_rpath}")
  endif()
endif()
foreach(tool ostrel-sim ostrel-acquire)
  if(TARGET ${tool})
    if(OSTRELTCP_TOOL_RPATH)
      set_target_properties(${tool} PROPERTIES INSTALL_RPATH "${OSTRELTCP_TOOL_RPATH}")
    endif()
    install(TARGETS ${tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Tools)
  endif()
endforeach()
# The systemd unit of `ostrel-acquire serve` for a lab machine, installed disabled.
if(TARGET ostrel-acquire AND CMAKE_SYSTEM_NAME STREQUAL "Linux")
  # The program where the .deb puts it (the package installs under /usr whatever the build's
  # prefix); systemd needs an absolute path.
  set(OSTREL_ACQUIRE_PROGRAM /usr/${CMAKE_INSTALL_BINDIR}/ostrel-acquire)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/systemd/ostrel-acquire-serve.service.in
    ${PROJECT_BINARY_DIR}/systemd/ostrel-acquire-serve.service @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/systemd/ostrel-acquire-serve.service
    DESTINATION lib/systemd/system COMPONENT Tools)
endif()
include(${CMAKE_CURRENT_LIST_DIR}/ManPages.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/PythonPackage.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/Licence.cmake)

install(FILES ${PROJECT_SOURCE_DIR}/docs/host-guide.md
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/ostreltcp COMPONENT Docs)
if(WIN32)
  install(FILES ${PROJECT_SOURCE_DIR}/docs/windows.md
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/ostreltcp COMPONENT Docs)
elseif(TARGET ostrel-sim)
  install(FILES ${PROJECT_SOURCE_DIR}/docs/simulator.md
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/ostreltcp COMPONENT Docs)
endif()

# Packages: one .deb holding everything on Linux, a ZIP per Windows build. All components go
# into the one package (a lab machine wants the tools, a developer the headers, and the pieces
# are small). A project that adds this one as a subdirectory makes its own packages.
if(NOT OstrelTCP_IS_TOP_LEVEL)
  return()
endif()
set(CPACK_PACKAGE_NAME ostreltcp)
set(CPACK_PACKAGE_VENDOR "OstrelTCP")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Data-acquisition driver for a network scanning spectrometer")
# Debian shows the description as it stands, so its lines are kept short.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "A shared library with a C interface that drives a scanning spectrometer over"
  "TCP/IP: text commands on TCP port 23, binary data blocks on TCP port 443 and a"
  "reboot datagram on UDP port 16123. A worker thread co-adds scans, converts"
  "each data block into an interferogram and signals the host's events."
  "."
  "With the spectral library libostrelspectra (interferograms to spectra in cm-1,"
  "C and C++ headers), the acquisition tool ostrel-acquire with its live view, the"
  "instrument simulator ostrel-sim, their manual pages, the Python package"
  "ostreltcp, the C header, a CMake package (OstrelTCP::ostreltcp,"
  "OstrelTCP::spectra) and a pkg-config file. MIT licence.")
set(CPACK_PACKAGE_CONTACT "${OSTRELTCP_PACKAGE_CONTACT}")
# MIT licence: LICENSE at the root; the .deb carries it as its copyright file (Licence.cmake).
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_SOURCE_GENERATOR "")

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CPACK_SYSTEM_NAME win64)
  else()
    set(CPACK_SYSTEM_NAME win32)
  endif()
  set(CPACK_PACKAGE_FILE_NAME "${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-${CPACK_SYSTEM_NAME}")
elseif(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION science)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # The shlibs file, and with it the ldconfig calls after install and removal.
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
  # The libraries' dependencies come from dpkg-shlibdeps (dpkg-dev), which cpack then requires:
  # a hand-kept list would miss a library the next change links. The control fields add what
  # no binary links: the Python package's interpreter and modules, and the live view's chart
  # script, which the page loads from Debian's copy.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(package_depends "python3 (>= 3.10)" python3-numpy)
  if(EXISTS ${PROJECT_SOURCE_DIR}/python/ostreltcp/archive.py)
    list(APPEND package_depends python3-h5py)
  endif()
  if(EXISTS ${PROJECT_SOURCE_DIR}/tools/ostrel-acquire/live/page AND TARGET ostrel-acquire)
    list(APPEND package_depends libjs-dygraphs)
  endif()
  list(JOIN package_depends ", " CPACK_DEBIAN_PACKAGE_DEPENDS)
  if(TARGET ostrel-acquire)
    # ostrel-acquire draws plot.png with gnuplot when it is there; man reads the manual pages.
    set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "gnuplot-nox | gnuplot, man-db")
  endif()
  # The maintainer scripts compile the Python modules after installing and remove the compiled
  # files before removing, so that the package leaves nothing behind.
  if(IS_ABSOLUTE "${OSTRELTCP_INSTALL_PYTHONDIR}")
    set(OSTRELTCP_DEB_PYTHON_PACKAGE_DIR "${OSTRELTCP_INSTALL_PYTHONDIR}/ostreltcp")
  else()
    set(OSTRELTCP_DEB_PYTHON_PACKAGE_DIR "/usr/${OSTRELTCP_INSTALL_PYTHONDIR}/ostreltcp")
  endif()
  foreach(script postinst prerm)
    configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/${script}.in
      ${PROJECT_BINARY_DIR}/debian/${script} @ONLY)
    list(APPEND CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/debian/${script})
  endforeach()
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  # The README's absorbance example plots with matplotlib; nothing in the package needs it.
  set(CPACK_DEBIAN_PACKAGE_SUGGESTS "pkg-config, python3-matplotlib")
  # The pkg-config step writes its file with the real prefix (/usr), so CPack stages through
  # DESTDIR rather than through a changed prefix.
  set(CPACK_SET_DESTDIR ON)
  set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
endif()

include(CPack)
