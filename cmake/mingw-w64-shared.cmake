# Cross-build for 64-bit Windows with Debian's mingw-w64 (the -posix compilers,
# whose libstdc++ has std::thread), linked against the compiler's runtime
# DLLs (libstdc++-6, libgcc_s_seh-1, libwinpthread-1). Qt for Windows and the
# program built on it use this one, so that Qt's DLLs and the executables
# share one C++ runtime; the runtime DLLs are shipped beside them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KVZ_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KVZ_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KVZ_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${KVZ_MINGW_TRIPLE}-windres)

# Libraries and packages come from the target's tree (and from prefixes the
# caller adds to CMAKE_FIND_ROOT_PATH or CMAKE_PREFIX_PATH, e.g. a
# cross-built Qt or GoogleTest); programs from the build machine.
list(APPEND CMAKE_FIND_ROOT_PATH /usr/${KVZ_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
