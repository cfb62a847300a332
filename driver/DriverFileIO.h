// File primitives of the driver installation, one implementation per platform.
#pragma once

#include <string>

// Deletes `path`; a file that is not there, or cannot be deleted, is no error.
void DeleteFileIfPresent(const std::string& path);
// Creates (or truncates) `path` and writes `bytes` whole. On failure removes
// what it wrote and throws EDriverFileError with the text shown to the user.
void WriteWholeFile(const std::string& path, const std::string& bytes);
bool FileExists(const std::string& path);
// Copies `source` to a new file `target`; false when the target exists, the
// source cannot be read or the target cannot be written (a partial target is
// removed).
bool CopyFileNoOverwrite(const std::string& source, const std::string& target);
