# Cross-build for 64-bit Windows with Debian's mingw-w64 (the -posix compilers,
# whose libstdc++ has std::thread). Executables are linked statically, so they
# run without the compiler's DLLs beside them (under Wine as on Windows).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KVZ_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KVZ_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KVZ_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${KVZ_MINGW_TRIPLE}-windres)

# Libraries and packages come from the target's tree (and from prefixes the
# caller adds to CMAKE_FIND_ROOT_PATH, e.g. a cross-built GoogleTest);
# programs from the build machine.
list(APPEND CMAKE_FIND_ROOT_PATH /usr/${KVZ_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
