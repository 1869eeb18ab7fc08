# Compiles a one-line translation unit that includes HEADER, with the include directories
# INCLUDES (a list), and checks the outcome against EXPECT:
#   FOUND    the compile succeeds;
#   MISSING  the compile fails because HEADER is not found (any other failure is a broken probe,
#            not a proof of the rule, and fails the test too).
foreach(variable COMPILER INCLUDES HEADER EXPECT WORK)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "compile_probe: ${variable} is not set")
  endif()
endforeach()

file(MAKE_DIRECTORY "${WORK}")
set(source "${WORK}/probe.cpp")
file(WRITE "${source}" "#include \"${HEADER}\"\n")
set(flags -std=c++20 -fsyntax-only -DOSTRELTCP_BUILDING_LIBRARY)
foreach(directory IN LISTS INCLUDES)
  list(APPEND flags "-I${directory}")
endforeach()
execute_process(
  COMMAND "${COMPILER}" ${flags} "${source}"
  RESULT_VARIABLE result
  OUTPUT_VARIABLE output
  ERROR_VARIABLE output)

if(EXPECT STREQUAL "FOUND")
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${HEADER} should compile here but did not:\n${output}")
  endif()
elseif(EXPECT STREQUAL "MISSING")
  if(result EQUAL 0)
    message(FATAL_ERROR "${HEADER} compiled, but it belongs to a layer this one may not include")
  endif()
  string(REPLACE "." "\\." header_pattern "${HEADER}")
  if(NOT output MATCHES "${header_pattern}[^\n]*(No such file|not found)")
    message(FATAL_ERROR "${HEADER}: the compile failed for another reason:\n${output}")
  endif()
else()
  message(FATAL_ERROR "compile_probe: EXPECT must be FOUND or MISSING, not ${EXPECT}")
endif()
