# Cross-build for 64-bit Windows with Debian's mingw-w64, executables linked
# statically: they run without the compiler's DLLs beside them (under Wine
# as on Windows). The Qt-free core and its tests use this one.
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-shared.cmake)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
