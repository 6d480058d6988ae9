# The fuzz build: every library instrumented for libFuzzer's coverage and built
# with AddressSanitizer and UBSan; the test suite, benchmarks and Qt front ends
# stay out. Configure a separate folder, e.g.
#   CC=clang-14 CXX=clang++-14 cmake -S . -B build-fuzz -DZARNIK_FUZZ=ON
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  message(FATAL_ERROR "ZARNIK_FUZZ needs clang (CXX=clang++-14), not ${CMAKE_CXX_COMPILER_ID}")
endif()
set(ZARNIK_BUILD_TESTS OFF CACHE BOOL "" FORCE)
set(ZARNIK_BUILD_BENCH OFF CACHE BOOL "" FORCE)
add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
                    -fno-sanitize-recover=all)
add_link_options(-fsanitize=address,undefined)

