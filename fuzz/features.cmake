# features_fuzzer: libFuzzer over the feature computations on arbitrary point
# and key-time arrays (`make fuzz-features`). The harness compiles the
# kinematics cores itself, with coverage instrumentation and the sanitizers,
# so that the library the module links is left as it is.
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  message(FATAL_ERROR "the fuzzers need clang: configure with -DCMAKE_CXX_COMPILER=clang++-14")
endif()

set(FEATURES_FUZZ_FLAGS -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer -g)
file(GLOB FEATURES_FUZZ_CORES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/kinematics/*.cpp)
list(REMOVE_ITEM FEATURES_FUZZ_CORES ${TELEMETRY_DECODER})
add_executable(features_fuzzer ${CMAKE_CURRENT_LIST_DIR}/features_fuzzer.cpp ${FEATURES_FUZZ_CORES})
target_include_directories(features_fuzzer PRIVATE ${PROJECT_SOURCE_DIR}/src)
# The same arithmetic as the module's cores: no contraction into fused
# multiply-adds (clang contracts by default too), no errno from the math.
target_compile_options(features_fuzzer PRIVATE ${QUELVAR_WARNINGS} -ffp-contract=off -fno-math-errno
                       ${FEATURES_FUZZ_FLAGS})
target_link_options(features_fuzzer PRIVATE ${FEATURES_FUZZ_FLAGS})
