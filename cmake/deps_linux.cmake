# Libraries of the Linux platform layers (Debian packages, see scripts/install-deps).
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
pkg_check_modules(VELK_PKG REQUIRED IMPORTED_TARGET
  sdl2 x11 gtk+-3.0 gdk-pixbuf-2.0 fontconfig epoxy egl opengl
  cairo cairo-ft librsvg-2.0 freetype2 harfbuzz
  libmpg123 openal
  libavformat libavcodec libavutil libswscale libswresample
  libpcre2-8 RapidJSON spirv-cross-c-shared)
find_package(glslang CONFIG REQUIRED)
find_package(SPIRV-Tools-opt CONFIG QUIET)
target_link_libraries(velk_core PUBLIC
  PkgConfig::VELK_PKG
  glslang::glslang glslang::SPIRV glslang::HLSL glslang::glslang-default-resource-limits
  Threads::Threads ${CMAKE_DL_LIBS})
