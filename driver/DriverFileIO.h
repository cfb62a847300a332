// File primitives of the driver installation, one implementation per platform.
#pragma once

#include <string>

// Deletes `path`; a file that is not there, or cannot be deleted, is no error.
void DeleteFileIfPresent(const std::string& path);
// Creates `path` as a new file and writes `bytes` whole. Whatever stands at
// the path (a file, a link, even a dangling one) makes the creation fail: a
// link is never followed. On failure removes what it wrote and throws
// EDriverFileError with the text shown to the user.
void WriteWholeFile(const std::string& path, const std::string& bytes);
bool FileExists(const std::string& path);
// Copies `source` to a new file `target`; false when the target exists (a
// link included), the source cannot be read or the target cannot be written
// (a partial target is removed). Linux: a source that is a link or not a
// regular file is not read.
bool CopyFileNoOverwrite(const std::string& source, const std::string& target);
