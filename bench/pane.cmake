# The terminal pane in the desktop program's main window under a unit printing
# continuously at 115200 baud (zarnik-unit-sim).
if(TARGET zarnik_gui AND TARGET zarnik-unit-sim)
  find_package(Qt6 COMPONENTS Widgets REQUIRED)
  add_executable(zarnik_bench_pane ${CMAKE_CURRENT_LIST_DIR}/pane_bench.cpp)
  target_link_libraries(zarnik_bench_pane PRIVATE zarnik_gui)
  target_compile_definitions(zarnik_bench_pane PRIVATE
    ZARNIK_UNIT_SIM_PATH="$<TARGET_FILE:zarnik-unit-sim>")
  add_dependencies(zarnik_bench_pane zarnik-unit-sim)
endif()
