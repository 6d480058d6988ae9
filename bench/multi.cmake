# Several units at once: each unit's data phase against its own single-unit figure,
# and the CPU of zarnik-cli with the zarnik-cli of every unit.
if(TARGET zarnik-cli AND TARGET zarnik-unit-sim AND TARGET zarnik_test_process)
  add_executable(zarnik_bench_multi ${CMAKE_CURRENT_LIST_DIR}/multi_bench.cpp)
  target_link_libraries(zarnik_bench_multi PRIVATE zarnik_test_process)
  target_include_directories(zarnik_bench_multi PRIVATE ${PROJECT_SOURCE_DIR}/tests/support)
  target_compile_definitions(zarnik_bench_multi PRIVATE
    ZARNIK_CLI_PATH="$<TARGET_FILE:zarnik-cli>"
    ZARNIK_UNIT_SIM_PATH="$<TARGET_FILE:zarnik-unit-sim>")
  add_dependencies(zarnik_bench_multi zarnik-cli zarnik-unit-sim)
endif()
