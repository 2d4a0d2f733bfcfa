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
  test_video_modes.cpp
  test_interactive_loop.cpp
  test_content.cpp
  test_text.cpp
  test_renderer.cpp
  test_text_texture_sizes.cpp
  test_render_to_texture.cpp
  test_command_line.cpp
  test_texture_table.cpp
)
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
# Discovered tests take one environment entry (this CMake splits a list value into
# property names): the prefix; scripts/test-windows exports the rest of VELK_WINE_ENV.
set(VELK_WINE_ENV_PROPERTY "WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix")
# Tests that show windows take turns on the shared display: keyboard focus and the
# foreground window are the whole desktop's.
gtest_discover_tests(velk_windows_tests
  TEST_FILTER "Win32*"
  WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
  DISCOVERY_MODE PRE_TEST
  DISCOVERY_TIMEOUT 120
  PROPERTIES TIMEOUT 300 RESOURCE_LOCK wine_desktop ENVIRONMENT "${VELK_WINE_ENV_PROPERTY}")
gtest_discover_tests(velk_windows_tests
  TEST_FILTER "-Win32*:Mp3Mf*"
  WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
  DISCOVERY_MODE PRE_TEST
  DISCOVERY_TIMEOUT 120
  PROPERTIES TIMEOUT 300 ENVIRONMENT "${VELK_WINE_ENV_PROPERTY}")
# The MP3 decoder's tests count by their printed results: under Wine, with the
# suite running in parallel, the process has now and then died of a segmentation
# fault after the test had passed and printed so, a fault that the test program's
# exception filter never saw (so in a thread of Wine's own, which decodes through
# GStreamer): twice in a few dozen runs of the suite, never in 80 runs of the test
# alone. A failing test prints no "PASSED  ] 1 test".
gtest_discover_tests(velk_windows_tests
  TEST_FILTER "Mp3Mf*"
  WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
  DISCOVERY_MODE PRE_TEST
  DISCOVERY_TIMEOUT 120
  PROPERTIES TIMEOUT 300 ENVIRONMENT "${VELK_WINE_ENV_PROPERTY}" PASS_REGULAR_EXPRESSION "PASSED  . 1 test")

# Windows programs for the tests (each tests/windows_tools/*.cpp is one GUI-subsystem
# executable carrying the program's manifest), driven from tests/windows/*.py.
file(GLOB VELK_WINDOWS_TOOLS CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/windows_tools/*.cpp)
foreach(src IN LISTS VELK_WINDOWS_TOOLS)
  get_filename_component(name ${src} NAME_WE)
  add_executable(${name} WIN32 ${src} ${CMAKE_SOURCE_DIR}/src/host/resources_windows.rc)
  target_link_libraries(${name} PRIVATE velk_core)
  target_compile_options(${name} PRIVATE -Wall -Wextra)
  # A GUI program with a plain main().
  target_link_options(${name} PRIVATE -mwindows)
  add_dependencies(velk_windows_tests ${name})
endforeach()

# The frame tool of the Linux build (tests/tools/render_frame.cpp), a console program here.
add_executable(render_frame ${CMAKE_CURRENT_SOURCE_DIR}/tools/render_frame.cpp)
target_link_libraries(render_frame PRIVATE velk_core)
target_compile_options(render_frame PRIVATE -Wall -Wextra)
add_dependencies(velk_windows_tests render_frame)

# With it, frames of the show drawn under Wine against the Linux build's frames (ten
# seconds of CPU for the shader, so started early). scripts/test-windows makes the
# Linux frames and textures in linux-reference/ on the build machine beforehand.
add_test(NAME wine_e2e.frames COMMAND /usr/bin/python3 ${CMAKE_CURRENT_SOURCE_DIR}/windows/e2e_frames_under_wine.py)
set_tests_properties(wine_e2e.frames PROPERTIES
  ENVIRONMENT "${VELK_WINE_ENV};VELK_WINDOWS_BINARY_DIR=${CMAKE_BINARY_DIR};VELK_WINDOWS_RENDER_FRAME=$<TARGET_FILE:render_frame>;VELK_LINUX_REFERENCE=${CMAKE_BINARY_DIR}/linux-reference"
  TIMEOUT 1500 COST 1000)

# The window and the dialog driven through the X server (xdotool) under Wine; alone,
# since it looks windows up by title on the shared display.
add_test(NAME wine_e2e.gui COMMAND /usr/bin/python3 ${CMAKE_CURRENT_SOURCE_DIR}/windows/e2e_gui_under_wine.py)
set_tests_properties(wine_e2e.gui PROPERTIES
  ENVIRONMENT "${VELK_WINE_ENV};VELK_WINDOWS_BINARY_DIR=${CMAKE_BINARY_DIR}"
  RUN_SERIAL ON TIMEOUT 600)

# The executable itself under Wine: how far it runs there (see the script). It
# compiles the demo shader (ten seconds of CPU): started first, with room to spare.
add_test(NAME wine_e2e.exe COMMAND /usr/bin/python3 ${CMAKE_CURRENT_SOURCE_DIR}/windows/e2e_exe_under_wine.py)
set_tests_properties(wine_e2e.exe PROPERTIES
  ENVIRONMENT "${VELK_WINE_ENV};VELK_WINDOWS_EXE=$<TARGET_FILE:tovelmark-velk>"
  RESOURCE_LOCK wine_desktop TIMEOUT 1500 COST 1000)
