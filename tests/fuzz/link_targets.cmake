# Fuzz targets of the instrument link: the command connection's replies and the data block of a
# co-add file, each played by the fuzzer's bytes from the instrument's end of a loopback
# connection. Their corpora are corpus/link_command/ and corpus/link_data/.
foreach(target link_command link_data)
  string(REPLACE "link_" "link_fuzz_" source ${target})
  add_executable(${target}_fuzz ${CMAKE_CURRENT_LIST_DIR}/${source}.cpp)
  target_link_libraries(${target}_fuzz PRIVATE ostreltcp_objects ostreltcp_warnings)
  target_include_directories(${target}_fuzz PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  target_compile_options(${target}_fuzz PRIVATE ${OSTRELTCP_FUZZ_FLAGS})
  target_link_options(${target}_fuzz PRIVATE ${OSTRELTCP_FUZZ_FLAGS})
endforeach()
