# Time the script runner spends beyond the waits its commands prescribe.
if(TARGET zarnik_test_support)
  add_executable(zarnik_bench_script ${CMAKE_CURRENT_LIST_DIR}/script_overhead.cpp)
  target_link_libraries(zarnik_bench_script PRIVATE zarnik_script zarnik_test_support)
endif()
