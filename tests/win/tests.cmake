# GoogleTest suite cross-built for Windows and run under Wine, in both bitnesses: win64.* runs the 64-bit build,
# win32.* the release build (build/win32) with 32-bit helper programs under Wine's 32-bit loader.
set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
target_compile_options(gtest PRIVATE -w)
target_compile_options(gtest_main PRIVATE -w)

include(GoogleTest)
if(VEQ_ARCH STREQUAL "x86")
  set(VEQ_TEST_BITS 32)
else()
  set(VEQ_TEST_BITS 64)
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_SOURCE_DIR}/tests/harness/wine-run ${VEQ_TEST_BITS})

# The fake game client, which also plays the other programs that get in the launcher's way.
add_executable(fake_client ${CMAKE_SOURCE_DIR}/tests/win/programs/fake_client.cpp)
target_link_options(fake_client PRIVATE -static)

file(GLOB VEQ_WIN_TESTS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/win/*_test.cpp)
add_executable(veq-wintests ${VEQ_WIN_TESTS} ${CMAKE_SOURCE_DIR}/tests/win/support.cpp)
target_include_directories(veq-wintests PRIVATE ${CMAKE_SOURCE_DIR}/tests/win ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR}/tools)
target_link_libraries(veq-wintests PRIVATE veq_core gtest gtest_main winhttp dbghelp)
add_dependencies(veq-wintests veq-launcher fake_client)

# One CTest entry per TEST(), so a failure names its case and one hang cannot take the suite down.
gtest_add_tests(TARGET veq-wintests SOURCES ${VEQ_WIN_TESTS} TEST_PREFIX "win${VEQ_TEST_BITS}."
                TEST_LIST VEQ_WIN_TEST_NAMES)
set_tests_properties(${VEQ_WIN_TEST_NAMES} PROPERTIES TIMEOUT 180 RUN_SERIAL TRUE
  ENVIRONMENT "VEQ_BIN_DIR=${CMAKE_BINARY_DIR}")
