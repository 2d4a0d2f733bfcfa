# Libraries of the Windows platform layers. The program imports only DLLs that ship
# with Windows: the C and C++ runtimes and winpthreads are linked statically, and so
# is PCRE2 (the settings file's time pattern), compiled here from Debian's source
# package of the version the Linux build uses (scripts/install-deps fetches it).
execute_process(COMMAND dpkg-query -W -f=\${source:Upstream-Version} libpcre2-dev
                OUTPUT_VARIABLE VELK_PCRE2_VERSION OUTPUT_STRIP_TRAILING_WHITESPACE)
set(VELK_PCRE2_SOURCE_DIR /usr/local/src/velk-windows/pcre2-${VELK_PCRE2_VERSION}
    CACHE PATH "PCRE2 sources for the Windows build")
if(NOT EXISTS ${VELK_PCRE2_SOURCE_DIR}/CMakeLists.txt)
  message(FATAL_ERROR "No PCRE2 sources at ${VELK_PCRE2_SOURCE_DIR}: run scripts/install-deps")
endif()
set(BUILD_SHARED_LIBS OFF CACHE BOOL "" FORCE)
set(BUILD_STATIC_LIBS ON CACHE BOOL "" FORCE)
set(PCRE2_BUILD_PCRE2_8 ON CACHE BOOL "" FORCE)
set(PCRE2_SUPPORT_UNICODE ON CACHE BOOL "" FORCE)
set(PCRE2_SUPPORT_JIT ON CACHE BOOL "" FORCE)
set(PCRE2_BUILD_PCRE2GREP OFF CACHE BOOL "" FORCE)
set(PCRE2_BUILD_TESTS OFF CACHE BOOL "" FORCE)
set(PCRE2_SHOW_REPORT OFF CACHE BOOL "" FORCE)
add_subdirectory(${VELK_PCRE2_SOURCE_DIR} ${CMAKE_BINARY_DIR}/pcre2 EXCLUDE_FROM_ALL SYSTEM)
target_compile_definitions(velk_core PUBLIC PCRE2_STATIC)
target_include_directories(velk_core PRIVATE ${CMAKE_BINARY_DIR}/pcre2)

target_link_libraries(velk_core PUBLIC
  pcre2-8-static
  d3d11 dxgi d3dcompiler d2d1 dwrite windowscodecs
  mfplat mfreadwrite mfuuid
  shlwapi shell32 ole32 oleaut32 uuid user32 gdi32 winmm)
target_link_options(velk_core INTERFACE -static -static-libgcc -static-libstdc++)
target_compile_options(velk_core PRIVATE $<$<COMPILE_LANGUAGE:CXX>:-Wno-unknown-pragmas>)
