# Line rate and CPU of zarnik-cli loading a file into the paced simulated unit.
if(TARGET zarnik-cli AND TARGET zarnik-unit-sim)
  add_executable(zarnik_bench_cli_line_rate ${CMAKE_CURRENT_LIST_DIR}/cli_line_rate.cpp)
  target_compile_definitions(zarnik_bench_cli_line_rate PRIVATE
    ZARNIK_CLI_PATH="$<TARGET_FILE:zarnik-cli>"
    ZARNIK_UNIT_SIM_PATH="$<TARGET_FILE:zarnik-unit-sim>")
  add_dependencies(zarnik_bench_cli_line_rate zarnik-cli zarnik-unit-sim)
endif()
