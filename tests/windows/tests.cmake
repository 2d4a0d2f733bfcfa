# The Windows test executable: the portable unit tests that the Windows build links,
# and the tests of the Windows platform layers (tests/windows/test_*.cpp), built
# with the cross compiler and run under Wine by scripts/test-windows.

# GoogleTest from Debian's googletest sources, built with the cross compiler.
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
include(GoogleTest)

# Portable unit tests that also run on Windows. A test file joins this list once every
# layer it reaches has a Windows implementation.
set(VELK_PORTABLE_UNIT_TESTS
  test_shader_settings.cpp
  test_recorder_timing.cpp
  test_textures_svg.cpp
  test_text_textures.cpp
)
# Waiting for the layers that host/program.cpp reaches (window, dialog, files, audio):
# test_text_texture_sizes.cpp, test_render_to_texture.cpp.
list(TRANSFORM VELK_PORTABLE_UNIT_TESTS PREPEND ${CMAKE_CURRENT_SOURCE_DIR}/unit/)
file(GLOB VELK_WINDOWS_LAYER_TESTS CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/windows/*.cpp)

add_executable(velk_windows_tests ${VELK_PORTABLE_UNIT_TESTS} ${VELK_WINDOWS_LAYER_TESTS})
target_link_libraries(velk_windows_tests PRIVATE velk_core GTest::gtest GTest::gmock)
target_include_directories(velk_windows_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_compile_options(velk_windows_tests PRIVATE -Wall -Wextra)

# The tests see the tree through Wine's Z: drive.
string(REPLACE "/" "\\\\" VELK_SOURCE_DIR_WINE "Z:${CMAKE_SOURCE_DIR}")
string(REPLACE "/" "\\\\" VELK_BINARY_DIR_WINE "Z:${CMAKE_BINARY_DIR}")
target_compile_definitions(velk_windows_tests PRIVATE
  VELK_SOURCE_DIR="${VELK_SOURCE_DIR_WINE}"
  VELK_BINARY_DIR="${VELK_BINARY_DIR_WINE}")

set(VELK_WINE_ENV
  "WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix"
  "WINEDEBUG=-all"
  "WINEDLLOVERRIDES=mscoree,mshtml="
  "HOME=${CMAKE_BINARY_DIR}/winehome")
gtest_discover_tests(velk_windows_tests
  WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
  DISCOVERY_MODE PRE_TEST
  DISCOVERY_TIMEOUT 120
  PROPERTIES ENVIRONMENT "${VELK_WINE_ENV}" TIMEOUT 300)
