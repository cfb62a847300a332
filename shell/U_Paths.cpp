#include "U_Paths.h"

#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#include <climits>
#endif

namespace {
std::string gOverride;

std::string RealExecutablePath() {
#ifdef _WIN32
  // The buffer grows until the whole path fits (long paths exceed MAX_PATH).
  std::wstring buf(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, &buf[0], static_cast<DWORD>(buf.size()));
    if (n == 0) return std::string();
    if (n < buf.size()) return WideToUtf8(buf.substr(0, n));
    if (buf.size() >= 32768) return std::string();
    buf.resize(buf.size() * 2);
  }
#else
  char buf[PATH_MAX + 1];
  const ssize_t n = readlink("/proc/self/exe", buf, PATH_MAX);
  if (n <= 0) return std::string();
  return std::string(buf, static_cast<size_t>(n));
#endif
}

size_t LastSeparator(const std::string& p) {
#ifdef _WIN32
  return p.find_last_of("\\/");
#else
  return p.find_last_of('/');
#endif
}
}  // namespace

char PathSeparator() {
#ifdef _WIN32
  return '\\';
#else
  return '/';
#endif
}

std::string ExecutablePath() { return gOverride.empty() ? RealExecutablePath() : gOverride; }

std::string ExecutableDir() {
  const std::string p = ExecutablePath();
  const size_t s = LastSeparator(p);
  return s == std::string::npos ? std::string() : p.substr(0, s + 1);
}

std::string ExecutableFileName() {
  const std::string p = ExecutablePath();
  const size_t s = LastSeparator(p);
  return s == std::string::npos ? p : p.substr(s + 1);
}

void SetExecutablePathForTesting(const std::string& path) { gOverride = path; }

#ifdef _WIN32
std::wstring Utf8ToWide(const std::string& text) {
  if (text.empty()) return std::wstring();
  const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n);
  return out;
}

std::string WideToUtf8(const std::wstring& text) {
  if (text.empty()) return std::string();
  const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                    nullptr, nullptr);
  std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
  if (n > 0)
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n, nullptr, nullptr);
  return out;
}
#endif

std::filesystem::path PathFromUtf8(const std::string& path) {
#ifdef _WIN32
  return std::filesystem::path(Utf8ToWide(path));
#else
  return std::filesystem::path(path);
#endif
}

std::string Utf8FromPath(const std::filesystem::path& path) {
#ifdef _WIN32
  return WideToUtf8(path.native());
#else
  return path.native();
#endif
}

std::FILE* OpenFileUtf8(const std::string& path, const char* mode) {
#ifdef _WIN32
  return _wfopen(Utf8ToWide(path).c_str(), Utf8ToWide(mode).c_str());
#else
  // "e": close-on-exec, so that no program the tool starts inherits the file.
  return std::fopen(path.c_str(), (std::string(mode) + "e").c_str());
#endif
}
