# Start-up time and idle CPU of the desktop program.
if(TARGET zarnik AND TARGET zarnik_sim_pty)
  find_package(Qt6 COMPONENTS Widgets REQUIRED)  # imported targets are per folder
  add_executable(zarnik_bench_gui ${CMAKE_CURRENT_LIST_DIR}/gui_bench.cpp)
  target_link_libraries(zarnik_bench_gui PRIVATE zarnik_gui zarnik_sim_pty)
  target_compile_definitions(zarnik_bench_gui PRIVATE ZARNIK_GUI_PATH="$<TARGET_FILE:zarnik>")
  add_dependencies(zarnik_bench_gui zarnik)
endif()
