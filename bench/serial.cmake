# Throughput, line-rate use and idle cost of the serial port layer.
if(TARGET zarnik_serial AND TARGET zarnik_link)
  add_executable(zarnik-serial-bench ${CMAKE_CURRENT_LIST_DIR}/serial_bench.cpp)
  target_link_libraries(zarnik-serial-bench PRIVATE zarnik_serial_sim zarnik_link)
endif()
