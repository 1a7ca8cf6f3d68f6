# GoogleTest suite cross-built for Windows and run under Wine through the emulator wrapper.
set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
target_compile_options(gtest PRIVATE -w)
target_compile_options(gtest_main PRIVATE -w)

include(GoogleTest)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_SOURCE_DIR}/tests/harness/wine-run)

# Fake game client and other helper programs the tests start.
file(GLOB VEQ_TEST_PROGRAMS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/win/programs/*.cpp)
foreach(src ${VEQ_TEST_PROGRAMS})
  get_filename_component(name ${src} NAME_WE)
  add_executable(${name} ${src})
  target_link_libraries(${name} PRIVATE user32 kernel32)
  target_link_options(${name} PRIVATE -static)
endforeach()

file(GLOB VEQ_WIN_TESTS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/win/*_test.cpp)
file(GLOB VEQ_WIN_TEST_SUPPORT CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/win/support/*.cpp)
add_executable(veq-wintests ${VEQ_WIN_TESTS} ${VEQ_WIN_TEST_SUPPORT})
target_include_directories(veq-wintests PRIVATE ${CMAKE_SOURCE_DIR}/tests/win ${CMAKE_SOURCE_DIR}/src)
target_link_libraries(veq-wintests PRIVATE veq_core gtest gtest_main)
add_dependencies(veq-wintests veq-launcher)
if(VEQ_TEST_PROGRAMS)
  foreach(src ${VEQ_TEST_PROGRAMS})
    get_filename_component(name ${src} NAME_WE)
    add_dependencies(veq-wintests ${name})
  endforeach()
endif()

# One CTest entry per TEST(), so a failure names its case and one hang cannot take the suite down.
gtest_add_tests(TARGET veq-wintests SOURCES ${VEQ_WIN_TESTS} TEST_PREFIX "wine." TEST_LIST VEQ_WIN_TEST_NAMES)
set_tests_properties(${VEQ_WIN_TEST_NAMES} PROPERTIES TIMEOUT 180 RUN_SERIAL TRUE
  ENVIRONMENT "VEQ_BIN_DIR=${CMAKE_BINARY_DIR}")
