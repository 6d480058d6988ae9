# Screen buffer plus teletype emulator throughput.
if(TARGET zarnik_terminal)
  add_executable(zarnik-terminal-bench ${CMAKE_CURRENT_LIST_DIR}/terminal_bench.cpp)
  target_link_libraries(zarnik-terminal-bench PRIVATE zarnik_terminal)
endif()
