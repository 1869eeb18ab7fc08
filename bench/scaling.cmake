# Scaling of the conversion and of one file with the points, the per-file overhead, the processor
# time per file and open/close, against the simulator run as a program of its own.
if(TARGET ostrel-sim)
  add_executable(ostrel_bench_scaling ${CMAKE_CURRENT_LIST_DIR}/scaling_bench.cpp)
  target_link_libraries(ostrel_bench_scaling PRIVATE
    ostreltcp_objects ostreltcp_warnings benchmark::benchmark)
  target_include_directories(ostrel_bench_scaling PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  target_compile_definitions(ostrel_bench_scaling PRIVATE
    OSTREL_SIM_PROGRAM="$<TARGET_FILE:ostrel-sim>")
  add_dependencies(ostrel_bench_scaling ostrel-sim)
endif()
