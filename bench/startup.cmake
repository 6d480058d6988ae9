# Start-up beyond its probe waits, with no settings file and no unit answering.
if(TARGET zarnik_test_support)
  add_executable(zarnik_bench_startup ${CMAKE_CURRENT_LIST_DIR}/startup_bench.cpp)
  target_link_libraries(zarnik_bench_startup PRIVATE zarnik_app zarnik_test_support)
  target_include_directories(zarnik_bench_startup PRIVATE ${PROJECT_SOURCE_DIR}/tests/support)
endif()
