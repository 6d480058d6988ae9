# The history database: what recording adds to a run, and many writers at once.
if(TARGET zarnik_record)
  add_executable(zarnik_bench_history ${CMAKE_CURRENT_LIST_DIR}/history_bench.cpp)
  target_link_libraries(zarnik_bench_history PRIVATE zarnik_record)
endif()
