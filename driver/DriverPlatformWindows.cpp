// Windows: the INF is installed by rundll32 calling SetupAPI's
// InstallHinfSection; the fallback copies the drivers into <system>\Drivers
// and the INF into <windows>\INF. Paths are UTF-8 here and UTF-16 at every
// system call, so that a folder whose name the ANSI code page cannot hold
// still works.
#ifdef _WIN32

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "DriverFileIO.h"
#include "U_Paths.h"
#include "driver.h"

// ---------------------------------------------------------------------------
// Error texts (the system's, in its own language; UTF-8)

std::string SystemErrorText(int code) {
  wchar_t* buf = nullptr;
  const DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
      static_cast<DWORD>(code), 0, reinterpret_cast<LPWSTR>(&buf), 0, nullptr);
  std::string text = n && buf ? WideToUtf8(std::wstring(buf, n)) : "Erreur " + std::to_string(code);
  if (buf) LocalFree(buf);
  // The system's texts end with a period and a line break.
  while (!text.empty() &&
         (text.back() == '\r' || text.back() == '\n' || text.back() == ' ' || text.back() == '.'))
    text.pop_back();
  return text;
}

// ---------------------------------------------------------------------------
// File primitives

namespace {
std::string CreateErrorText(const std::string& path, DWORD err) {
  return "Impossible de créer le fichier \"" + path + "\". " + SystemErrorText(static_cast<int>(err));
}
std::string WriteErrorText(const std::string& path, DWORD err) {
  return "Impossible d'écrire le fichier \"" + path + "\". " + SystemErrorText(static_cast<int>(err));
}
}  // namespace

void DeleteFileIfPresent(const std::string& path) { DeleteFileW(Utf8ToWide(path).c_str()); }

void WriteWholeFile(const std::string& path, const std::string& bytes) {
  // A new file only: whatever stands at the path makes the creation fail.
  const std::wstring name = Utf8ToWide(path);
  HANDLE h = CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) throw EDriverFileError(CreateErrorText(path, GetLastError()));
  const char* p = bytes.data();
  size_t left = bytes.size();
  DWORD err = 0;
  while (left > 0) {
    const DWORD chunk = left > 0x100000 ? 0x100000 : static_cast<DWORD>(left);
    DWORD written = 0;
    if (!WriteFile(h, p, chunk, &written, nullptr) || written == 0) {
      err = GetLastError();
      if (err == 0) err = ERROR_WRITE_FAULT;
      break;
    }
    p += written;
    left -= written;
  }
  if (!CloseHandle(h) && err == 0) err = GetLastError();
  if (err != 0) {
    DeleteFileW(name.c_str());
    throw EDriverFileError(WriteErrorText(path, err));
  }
}

bool FileExists(const std::string& path) {
  const DWORD a = GetFileAttributesW(Utf8ToWide(path).c_str());
  return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

bool CopyFileNoOverwrite(const std::string& source, const std::string& target) {
  return CopyFileW(Utf8ToWide(source).c_str(), Utf8ToWide(target).c_str(), TRUE) != 0;
}

// ---------------------------------------------------------------------------
// The platform

namespace {
// A directory that does not fit is reported as unknown rather than read half.
std::string SystemDirectory() {
  wchar_t buf[MAX_PATH];
  const UINT n = GetSystemDirectoryW(buf, MAX_PATH);
  return n > 0 && n < MAX_PATH ? WideToUtf8(std::wstring(buf, n)) : std::string();
}

std::string WindowsDirectory() {
  wchar_t buf[MAX_PATH];
  const UINT n = GetWindowsDirectoryW(buf, MAX_PATH);
  return n > 0 && n < MAX_PATH ? WideToUtf8(std::wstring(buf, n)) : std::string();
}

std::string WithSeparator(std::string dir) {
  if (!dir.empty() && dir.back() != '\\' && dir.back() != '/') dir += '\\';
  return dir;
}

class TWindowsDriverPlatform : public IDriverPlatform {
 public:
  explicit TWindowsDriverPlatform(const TDriverPlatformOptions& o) : Options(o) {
    if (Options.Installer.empty()) Options.Installer = "rundll32.exe";
  }

  std::string ExecutableDir() override {
    return WithSeparator(Options.ExecutableDir.empty() ? ::ExecutableDir() : Options.ExecutableDir);
  }
  std::string GetSystemDir() override {
    return Options.SystemDir.empty() ? SystemDirectory() : Options.SystemDir;
  }
  std::string GetWindowsDir() override {
    return Options.WindowsDir.empty() ? WindowsDirectory() : Options.WindowsDir;
  }
  std::vector<TDriverFile> PackageFiles() override { return DriverPackage(); }

  bool RunDriverInstaller(const std::string& infPath, std::uint16_t showWindow) override {
    const std::wstring cmd = Utf8ToWide(InstallerCommandLine(infPath, Options.Installer));
    std::vector<wchar_t> line(cmd.begin(), cmd.end());
    line.push_back(L'\0');
    STARTUPINFOW si;
    ZeroMemory(&si, sizeof si);
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESHOWWINDOW;
    si.wShowWindow = showWindow;
    PROCESS_INFORMATION pi;
    ZeroMemory(&pi, sizeof pi);
    // 0x30: CREATE_NEW_CONSOLE | NORMAL_PRIORITY_CLASS.
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE,
                        CREATE_NEW_CONSOLE | NORMAL_PRIORITY_CLASS, nullptr, nullptr, &si, &pi))
      return false;
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD code = 1;
    const bool read = GetExitCodeProcess(pi.hProcess, &code) != 0;
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return read && code == 0;
  }

  // The sources are the files written beside the executable, whatever the
  // current directory is.
  void CopyDriverFiles() override {
    const std::string sys = GetSystemDir();
    const std::string win = GetWindowsDir();
    const std::string dir = ExecutableDir();
    CopyFileNoOverwrite(dir + kSysGenFileName, sys + "\\Drivers\\generic.SYS");
    CopyFileNoOverwrite(dir + kSysTermFileName, sys + "\\Drivers\\termkvz.SYS");
    CopyFileNoOverwrite(dir + kHexFileName, sys + "\\Drivers\\10720003.hex");
    CopyFileNoOverwrite(dir + kInfFileName, win + "\\INF\\termkvz.inf");
  }

  std::string InstalledDriverFile() override { return GetSystemDir() + "\\Drivers\\termkvz.sys"; }

 private:
  TDriverPlatformOptions Options;
};
}  // namespace

std::unique_ptr<IDriverPlatform> NewDriverPlatform(const TDriverPlatformOptions& options) {
  return std::make_unique<TWindowsDriverPlatform>(options);
}

IDriverPlatform& DefaultDriverPlatform() {
  static TWindowsDriverPlatform platform{TDriverPlatformOptions{}};
  return platform;
}

#endif  // _WIN32
