# The launcher (both bitnesses) and, when tests are on, the GoogleTest suite that runs under Wine.

if(NOT DEFINED VEQ_ARCH)
  set(VEQ_ARCH x86)
endif()

set(VEQ_WARNINGS -Wall -Wextra -Wno-unused-parameter -Wno-missing-field-initializers)
add_compile_options(${VEQ_WARNINGS})
# The whole program is ANSI (...A) Win32; stdio must behave like the MS runtime's (%ld is 32-bit, etc.).
add_compile_definitions(WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0601 WINVER=0x0601 NOMINMAX
                        VEQ_SERVICE_HOST="${VEQ_SERVICE_HOST}"
                        VEQ_CLIENT_INHERITS_ADMIN=$<BOOL:${VEQ_CLIENT_INHERITS_ADMIN}>)
# No libstdc++/libgcc/winpthread DLLs next to the exe.
add_link_options(-static -static-libgcc -static-libstdc++)

file(GLOB VEQ_WIN_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/*/*.cpp)
list(REMOVE_ITEM VEQ_WIN_SOURCES ${CMAKE_SOURCE_DIR}/src/shell/main.cpp)

# The release keys (VEQ_RELEASE_KEY, up to two PEM public keys) as PUBLICKEYBLOBs, converted by a small host
# program with OpenSSL; the launcher itself parses no keys.
string(REPLACE ":" ";" VEQ_RELEASE_KEYS "${VEQ_RELEASE_KEY}")
list(LENGTH VEQ_RELEASE_KEYS VEQ_RELEASE_KEY_COUNT)
if(VEQ_RELEASE_KEY_COUNT GREATER 2)
  message(FATAL_ERROR "VEQ_RELEASE_KEY names at most two keys (the current one and the next), got ${VEQ_RELEASE_KEY}")
endif()
foreach(key ${VEQ_RELEASE_KEYS})
  if(NOT IS_ABSOLUTE "${key}" OR NOT EXISTS "${key}")
    message(FATAL_ERROR "VEQ_RELEASE_KEY: no such file ${key} (give absolute paths)")
  endif()
endforeach()
set(VEQ_KEYBLOB ${CMAKE_BINARY_DIR}/keyblob-host)
add_custom_command(OUTPUT ${VEQ_KEYBLOB}
  COMMAND c++ -std=c++17 -O2 -o ${VEQ_KEYBLOB} ${CMAKE_SOURCE_DIR}/tools/keyblob.cpp -lcrypto
  DEPENDS ${CMAKE_SOURCE_DIR}/tools/keyblob.cpp
  COMMENT "Building the host key converter")
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/release_keys.cpp
  COMMAND ${VEQ_KEYBLOB} ${CMAKE_BINARY_DIR}/release_keys.cpp ${VEQ_RELEASE_KEYS}
  DEPENDS ${VEQ_KEYBLOB} ${VEQ_RELEASE_KEYS}
  COMMENT "Release keys: ${VEQ_RELEASE_KEY_COUNT}")

add_library(veq_core STATIC ${VEQ_WIN_SOURCES} ${CMAKE_BINARY_DIR}/release_keys.cpp)
target_include_directories(veq_core PUBLIC ${CMAKE_SOURCE_DIR}/src)
# WinHTTP and DbgHelp are loaded at run time from the system directory (src/shell/system_dlls.cpp), so the import
# table names only DLLs that Windows always takes from there (ole32 and oleaut32 among them; uuid is static data).
target_link_libraries(veq_core PUBLIC shell32 ole32 oleaut32 uuid gdi32 user32 advapi32 kernel32)

# Icon: drawn by a small host program, so the images are reproducible from source.
set(VEQ_MKICON ${CMAKE_BINARY_DIR}/mkicon-host)
add_custom_command(OUTPUT ${VEQ_MKICON}
  COMMAND c++ -std=c++17 -O2 -o ${VEQ_MKICON} ${CMAKE_SOURCE_DIR}/tools/mkicon.cpp
  DEPENDS ${CMAKE_SOURCE_DIR}/tools/mkicon.cpp
  COMMENT "Building the host icon generator")
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/res/app.ico
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/res
  COMMAND ${VEQ_MKICON} ${CMAKE_BINARY_DIR}/res/app.ico
  DEPENDS ${VEQ_MKICON}
  COMMENT "Drawing app.ico")
configure_file(${CMAKE_SOURCE_DIR}/res/app.manifest.in ${CMAKE_BINARY_DIR}/res/app.manifest @ONLY)
configure_file(${CMAKE_SOURCE_DIR}/res/launcher.rc.in ${CMAKE_BINARY_DIR}/res/launcher.rc @ONLY)
set_source_files_properties(${CMAKE_BINARY_DIR}/res/launcher.rc PROPERTIES
  OBJECT_DEPENDS "${CMAKE_BINARY_DIR}/res/app.ico;${CMAKE_BINARY_DIR}/res/app.manifest")

add_executable(veq-launcher WIN32 ${CMAKE_SOURCE_DIR}/src/shell/main.cpp ${CMAKE_BINARY_DIR}/res/launcher.rc)
target_link_libraries(veq-launcher PRIVATE veq_core)

# scripts/bench's measurements with the launcher's own code.
add_executable(veq-bench ${CMAKE_SOURCE_DIR}/tools/bench/bench.cpp)
target_link_libraries(veq-bench PRIVATE veq_core psapi)
target_link_options(veq-bench PRIVATE -static)

# scripts/run's hand on the launcher's buttons.
add_executable(veq-press ${CMAKE_SOURCE_DIR}/tools/run/press.cpp)
target_link_options(veq-press PRIVATE -static)

if(VEQ_BUILD_TESTS)
  include(${CMAKE_SOURCE_DIR}/tests/win/tests.cmake)
endif()
