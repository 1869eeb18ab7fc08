# Warning flags shared by every target of the project, and the debug information of test programs.
add_library(ostreltcp_warnings INTERFACE)
if(MSVC)
  target_compile_options(ostreltcp_warnings INTERFACE /W4)
else()
  target_compile_options(ostreltcp_warnings INTERFACE -Wall -Wextra -Wshadow -Wformat=2 -Wno-format-nonliteral)
  if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    target_compile_options(ostreltcp_warnings INTERFACE -Wthread-safety)
  endif()
endif()
if(OSTRELTCP_WERROR)
  if(MSVC)
    target_compile_options(ostreltcp_warnings INTERFACE /WX)
  else()
    target_compile_options(ostreltcp_warnings INTERFACE -Werror)
  endif()
endif()

# Test programs carry line tables only (-g1): a backtrace, a debugger's stack or a sanitizer's
# report still names every function, file and line, and they compile in about a quarter less
# time than with full debug information. The libraries and tools they test keep their build
# type's own (line tables too in the default preset, full debug information in the sanitizer
# presets, for a debugger). For the directory it is called in and those below it.
function(ostrel_test_debug_info)
  if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
    add_compile_options($<$<CONFIG:Debug,RelWithDebInfo>:-g1>)
  endif()
endfunction()
