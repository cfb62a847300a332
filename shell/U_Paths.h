// Where the program lies. Nothing depends on the working directory: the
// firmware file and the driver files are taken from the executable's folder.
#pragma once

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
