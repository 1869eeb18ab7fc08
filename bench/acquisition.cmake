# Acquisition benchmarks against the simulator.
if(TARGET ostrel_sim)
  add_executable(ostrel_bench_acquisition ${CMAKE_CURRENT_LIST_DIR}/acquisition_bench.cpp)
  target_link_libraries(ostrel_bench_acquisition PRIVATE
    ostreltcp_objects ostrel_sim benchmark::benchmark ostreltcp_warnings)
endif()
