# The Python package ostreltcp, installed beside the libraries and programs it uses (Linux only:
# it loads the shared libraries with ctypes and starts ostrel-sim).
#   OSTRELTCP_INSTALL_PYTHONDIR  below the prefix; Debian's own path for the prefix /usr
#                                (/usr/lib/python3/dist-packages), so that the system's python3
#                                imports it with no PYTHONPATH
# An installed copy gets a generated module, _install_paths, with the library and program folders
# relative to the package's own folder: it finds the libraries it was installed with under any
# prefix (and in CPack's staging tree), with no OSTRELTCP_LIBRARY.
if(WIN32)
  return()
endif()
set(OSTRELTCP_INSTALL_PYTHONDIR "lib/python3/dist-packages"
    CACHE STRING "Where the Python package ostreltcp is installed (below the prefix)")
mark_as_advanced(OSTRELTCP_INSTALL_PYTHONDIR)

set(package_source ${PROJECT_SOURCE_DIR}/python/ostreltcp)
set(package_destination ${OSTRELTCP_INSTALL_PYTHONDIR}/ostreltcp)

# relative_to_package(OUT KIND): the install directory of KIND (LIB, BIN) as seen from the
# installed package folder. When either is absolute, a relation between them would depend on the
# prefix, so the directory's full path is given instead.
function(relative_to_package out kind)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${kind}DIR}" OR IS_ABSOLUTE "${package_destination}")
    set(${out} "${CMAKE_INSTALL_FULL_${kind}DIR}" PARENT_SCOPE)
  else()
    # Both are below the prefix, so their relation holds for any prefix: a made-up one will do.
    set(path "/prefix/${CMAKE_INSTALL_${kind}DIR}")
    cmake_path(RELATIVE_PATH path BASE_DIRECTORY "/prefix/${package_destination}"
      OUTPUT_VARIABLE relative)
    set(${out} "${relative}" PARENT_SCOPE)
  endif()
endfunction()
relative_to_package(python_library_dir LIB)
relative_to_package(python_program_dir BIN)

file(GENERATE OUTPUT ${PROJECT_BINARY_DIR}/python/_install_paths.py CONTENT
"\"\"\"Where this installed copy's libraries and programs are (written by the install).\"\"\"

# Relative to this package's folder unless absolute.
LIBRARY_DIR = \"${python_library_dir}\"
PROGRAM_DIR = \"${python_program_dir}\"
")

install(DIRECTORY ${package_source}/
  DESTINATION ${package_destination}
  COMPONENT Python
  FILES_MATCHING PATTERN "*.py" PATTERN "py.typed"
  PATTERN "__pycache__" EXCLUDE)
install(FILES ${PROJECT_BINARY_DIR}/python/_install_paths.py
  DESTINATION ${package_destination} COMPONENT Python)
