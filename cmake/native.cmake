# Native Linux build: the Windows-free rules with their tests and fuzz targets, and the operator tools.

add_compile_options(-Wall -Wextra -Wno-unused-parameter -Wno-missing-field-initializers)
add_compile_definitions(VEQ_SERVICE_HOST="${VEQ_SERVICE_HOST}")

add_library(veq_rules STATIC ${VEQ_RULES_SOURCES})
target_include_directories(veq_rules PUBLIC ${CMAKE_SOURCE_DIR}/src)

find_package(Threads REQUIRED)
find_package(OpenSSL REQUIRED)

if(EXISTS ${CMAKE_SOURCE_DIR}/server/CMakeLists.txt)
  add_subdirectory(${CMAKE_SOURCE_DIR}/server ${CMAKE_BINARY_DIR}/server)
endif()
if(EXISTS ${CMAKE_SOURCE_DIR}/tools/CMakeLists.txt)
  add_subdirectory(${CMAKE_SOURCE_DIR}/tools ${CMAKE_BINARY_DIR}/tools)
endif()

if(VEQ_BUILD_TESTS AND EXISTS ${CMAKE_SOURCE_DIR}/tests/server/CMakeLists.txt)
  add_subdirectory(${CMAKE_SOURCE_DIR}/tests/server ${CMAKE_BINARY_DIR}/tests/server)
endif()
if(VEQ_BUILD_TESTS)
  include(${CMAKE_SOURCE_DIR}/tests/native/tests.cmake)
endif()
