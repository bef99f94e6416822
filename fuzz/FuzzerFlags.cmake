# Flags of the fuzzing configuration: every library source gets libFuzzer's
# coverage hooks and runs under ASan+UBSan. Needs clang (e.g. CC=clang-14
# CXX=clang++-14); included before the libraries are defined.
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  message(FATAL_ERROR "ROVA_BUILD_FUZZERS needs clang, e.g. CC=clang-14 CXX=clang++-14")
endif()
if(NOT SANITIZE)
  set(SANITIZE "address,undefined" CACHE STRING "" FORCE)
endif()
add_compile_options(-fsanitize=fuzzer-no-link)
# clang links no sanitizer runtime into shared libraries: their sanitizer
# symbols come from the executable that loads them. Kinemap links with
# --no-undefined, so undefined symbols are allowed again at the very end of
# every shared-library link of this configuration.
string(APPEND CMAKE_CXX_CREATE_SHARED_LIBRARY " -Wl,-z,undefs")
