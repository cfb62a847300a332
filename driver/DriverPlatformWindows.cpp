// Windows: the INF is installed by rundll32 calling SetupAPI's
// InstallHinfSection; the fallback copies the drivers into <system>\Drivers
// and the INF into <windows>\INF.
#ifdef _WIN32

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "DriverFileIO.h"
#include "U_Paths.h"
#include "U_Textes.h"
#include "driver.h"

// ---------------------------------------------------------------------------
// Error texts (the system's, in its own language; ANSI, code page 1252)

std::string SystemErrorText(int code) {
  char* buf = nullptr;
  const DWORD n = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
      static_cast<DWORD>(code), 0, reinterpret_cast<LPSTR>(&buf), 0, nullptr);
  std::string text = n && buf ? std::string(buf, n) : "Erreur " + std::to_string(code);
  if (buf) LocalFree(buf);
  // The system's texts end with a period and a line break.
  while (!text.empty() &&
         (text.back() == '\r' || text.back() == '\n' || text.back() == ' ' || text.back() == '.'))
    text.pop_back();
  return text;
}

// ---------------------------------------------------------------------------
// File primitives

// Messages are UTF-8; paths and system texts are ANSI.
namespace {
std::string CreateErrorText(const std::string& path, DWORD err) {
  return "Impossible de créer le fichier \"" + Cp1252ToUtf8(path) + "\". " +
         Cp1252ToUtf8(SystemErrorText(static_cast<int>(err)));
}
std::string WriteErrorText(const std::string& path, DWORD err) {
  return "Impossible d'écrire le fichier \"" + Cp1252ToUtf8(path) + "\". " +
         Cp1252ToUtf8(SystemErrorText(static_cast<int>(err)));
}
}  // namespace

void DeleteFileIfPresent(const std::string& path) { DeleteFileA(path.c_str()); }

void WriteWholeFile(const std::string& path, const std::string& bytes) {
  // A new file only: whatever stands at the path makes the creation fail.
  HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
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
    DeleteFileA(path.c_str());
    throw EDriverFileError(WriteErrorText(path, err));
  }
}

bool FileExists(const std::string& path) {
  const DWORD a = GetFileAttributesA(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

bool CopyFileNoOverwrite(const std::string& source, const std::string& target) {
  return CopyFileA(source.c_str(), target.c_str(), TRUE) != 0;
}

// ---------------------------------------------------------------------------
// The platform

namespace {
// The system asks for 255-byte buffers here; a directory that does not fit
// is reported as unknown rather than read half.
std::string SystemDirectory() {
  char buf[255];
  const UINT n = GetSystemDirectoryA(buf, sizeof buf);
  return n > 0 && n < sizeof buf ? std::string(buf, n) : std::string();
}

std::string WindowsDirectory() {
  char buf[255];
  const UINT n = GetWindowsDirectoryA(buf, sizeof buf);
  return n > 0 && n < sizeof buf ? std::string(buf, n) : std::string();
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
    std::string cmd = InstallerCommandLine(infPath, Options.Installer);
    std::vector<char> line(cmd.begin(), cmd.end());
    line.push_back('\0');
    STARTUPINFOA si;
    ZeroMemory(&si, sizeof si);
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESHOWWINDOW;
    si.wShowWindow = showWindow;
    PROCESS_INFORMATION pi;
    ZeroMemory(&pi, sizeof pi);
    // 0x30: CREATE_NEW_CONSOLE | NORMAL_PRIORITY_CLASS.
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE,
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
