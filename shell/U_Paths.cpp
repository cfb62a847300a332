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
  char buf[MAX_PATH * 4];
  const DWORD n = GetModuleFileNameA(nullptr, buf, sizeof buf);
  return std::string(buf, n);
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
