# Native GoogleTest suite over the Windows-free rules, veq-publish and both built launchers; the fuzz targets.
find_package(GTest REQUIRED)
include(GoogleTest)

file(GLOB VEQ_NATIVE_TESTS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/native/*_test.cpp)
add_executable(veq-native-tests ${VEQ_NATIVE_TESTS})
target_link_libraries(veq-native-tests PRIVATE veq_rules GTest::gtest GTest::gtest_main)
# Both launchers are read with binutils (format, manifest, imports); scripts/build makes them first.
target_compile_definitions(veq-native-tests PRIVATE
  VEQ_RELEASE_EXE="${CMAKE_BINARY_DIR}/../win32/veq-launcher.exe"
  VEQ_WIN64_EXE="${CMAKE_BINARY_DIR}/../win64/veq-launcher.exe")
gtest_discover_tests(veq-native-tests TEST_PREFIX "native." DISCOVERY_TIMEOUT 30)

# libFuzzer targets: tests/fuzz/<name>_fuzz.cpp, each with a seed corpus in tests/fuzz/<name>_corpus/. They see the
# launcher's rules and the service host's (server/serve_rules.cpp). -UNDEBUG: their asserts are their checks.
set(VEQ_FUZZ_SECONDS 30 CACHE STRING "Seconds each fuzz target runs in the test suite")
if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  file(GLOB VEQ_FUZZERS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/fuzz/*_fuzz.cpp)
  foreach(src ${VEQ_FUZZERS})
    get_filename_component(name ${src} NAME_WE)
    string(REPLACE "_fuzz" "" base ${name})
    add_executable(${name} ${src} ${VEQ_RULES_SOURCES} ${CMAKE_SOURCE_DIR}/server/serve_rules.cpp)
    target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR}/server)
    target_compile_options(${name} PRIVATE -g -O1 -UNDEBUG -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
    set(corpus ${CMAKE_BINARY_DIR}/fuzz-corpus/${base})
    add_test(NAME fuzz.${base}
      COMMAND ${CMAKE_COMMAND} -E env ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1
              sh -c "mkdir -p '${corpus}' && exec '$<TARGET_FILE:${name}>' -max_total_time=${VEQ_FUZZ_SECONDS} -print_final_stats=1 -max_len=65536 '${corpus}' '${CMAKE_SOURCE_DIR}/tests/fuzz/${base}_corpus'")
    set_tests_properties(fuzz.${base} PROPERTIES TIMEOUT 600 LABELS fuzz)
  endforeach()
else()
  message(WARNING "Not Clang: the fuzz targets are not built")
endif()

add_test(NAME native.disk_only COMMAND sh ${CMAKE_SOURCE_DIR}/tests/native/disk_only.sh)
