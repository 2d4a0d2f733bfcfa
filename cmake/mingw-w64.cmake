# Cross-build for 64-bit Windows with MinGW-w64 (Debian's g++-mingw-w64-x86-64-posix).
# Use: cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VELK_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VELK_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VELK_MINGW_PREFIX}-g++-posix)
set(CMAKE_ASM_COMPILER ${VELK_MINGW_PREFIX}-gcc-posix)
set(CMAKE_RC_COMPILER ${VELK_MINGW_PREFIX}-windres)
set(CMAKE_AR ${VELK_MINGW_PREFIX}-gcc-ar-posix CACHE FILEPATH "")
set(CMAKE_RANLIB ${VELK_MINGW_PREFIX}-gcc-ranlib-posix CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${VELK_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Unicode Win32 API, Windows 10 as the oldest target.
add_compile_definitions(UNICODE _UNICODE _WIN32_WINNT=0x0A00 WINVER=0x0A00 NTDDI_VERSION=0x0A000000
                        WIN32_LEAN_AND_MEAN NOMINMAX)

# Executables and test programs run under Wine in the Debian 13 root that
# scripts/test-windows runs the tests in (the host itself needs no Wine).
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
