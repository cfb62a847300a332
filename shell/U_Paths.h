// Where the program lies. Nothing depends on the working directory: the
// firmware file and the driver files are taken from the executable's folder.
//
// Paths are UTF-8 strings on every platform. On Windows, whose file names
// are UTF-16, they are converted at each system call (never through the
// ANSI code page, which cannot hold every name).
#pragma once

#include <cstdio>
#include <filesystem>
#include <string>

// Full path of the running executable, symbolic links resolved.
std::string ExecutablePath();
// Its folder, ending with the path separator.
std::string ExecutableDir();
// Its file name ("VelmoraUpgrade" or "VelmoraUpgrade.exe").
std::string ExecutableFileName();
// Overrides what the three functions above report (tests and the demo);
// an empty path restores the real one.
void SetExecutablePathForTesting(const std::string& path);

// The platform's path separator.
char PathSeparator();

// A path given as UTF-8, for std::filesystem; and back.
std::filesystem::path PathFromUtf8(const std::string& path);
std::string Utf8FromPath(const std::filesystem::path& path);
// std::fopen for a UTF-8 path.
std::FILE* OpenFileUtf8(const std::string& path, const char* mode);

#ifdef _WIN32
// UTF-8 <-> UTF-16; bytes that are not UTF-8 become U+FFFD.
std::wstring Utf8ToWide(const std::string& text);
std::string WideToUtf8(const std::wstring& text);
#endif
