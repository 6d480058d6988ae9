# The station: how soon a unit that starts answering is being loaded, and what idle
# ports cost.
if(TARGET zarnik-cli AND TARGET zarnik-unit-sim AND TARGET zarnik_test_process)
  add_executable(zarnik_bench_station ${CMAKE_CURRENT_LIST_DIR}/station_bench.cpp)
  target_link_libraries(zarnik_bench_station PRIVATE zarnik_test_process)
  target_include_directories(zarnik_bench_station PRIVATE ${PROJECT_SOURCE_DIR}/tests/support)
  target_compile_definitions(zarnik_bench_station PRIVATE
    ZARNIK_CLI_PATH="$<TARGET_FILE:zarnik-cli>"
    ZARNIK_UNIT_SIM_PATH="$<TARGET_FILE:zarnik-unit-sim>")
  add_dependencies(zarnik_bench_station zarnik-cli zarnik-unit-sim)
endif()
