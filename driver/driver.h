// Installation of the programming terminal's USB driver: the driver button of
// the main window writes the embedded driver package beside the executable,
// runs the platform's installer, falls back to copying the files into the
// system directories itself, and tells the user to connect the terminal.
//
// Windows: the INF is installed with "rundll32.exe setupapi,InstallHinfSection";
// the fallback copies the drivers into <system>\Drivers and the INF into
// <windows>\INF.
// Linux: what the terminal needs is a udev rule giving the logged-in user
// access to its hidraw node. A rule already in a udev rules folder (the
// package's) leaves only the replug to do; otherwise one pkexec call installs
// the embedded rule into /etc/udev/rules.d and reloads udev, and the fallback
// writes it there when the process has the rights. Nothing needs writing
// beside the executable.
//
// Everything runs on the GUI thread; the installer is waited for without a
// time limit.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

// What the operation needs of the main window.
struct TDriverHost {
  // Whether the device dialogue holds a terminal device.
  std::function<bool()> TerminalHeld;
  // Sets the Enabled state of btnPilote.
  std::function<void(bool)> SetPiloteEnabled;
};

// One file of the embedded package: its resource name and the name it is
// written under in the executable's directory.
struct TDriverFile {
  std::string Resource;
  std::string FileName;
};

// Names of the package files.
extern const char* const kInfFileName;       // "Termkvz.inf"
extern const char* const kHexFileName;       // "10720003.hex"
extern const char* const kSysTermFileName;   // "termkvz.sys"
extern const char* const kSysGenFileName;    // "generic.sys"
extern const char* const kUdevRuleFileName;  // "70-terminal-kvz.rules"
extern const char* const kUdevRulesDir;      // "/etc/udev/rules.d"

// show-window value of a hidden installer window.
constexpr std::uint16_t kSwHide = 0;

// The four files common to every platform, in writing order: "INF", "HEX",
// "SYSTERM", "SYSGEN".
const std::vector<TDriverFile>& DriverPackage();

// Bytes of an embedded driver file; the name is matched without regard to
// letter case ("inf", "INF"). Throws std::runtime_error for an unknown name.
std::string DriverResourceBytes(const std::string& name);

// The installer's command line for `infPath`, the path appended unquoted:
// "rundll32.exe setupapi,InstallHinfSection DriverInstall.NT 128 " + infPath.
// `program` replaces "rundll32.exe" (tests).
std::string InstallerCommandLine(const std::string& infPath, const std::string& program = "rundll32.exe");

// Raised when a driver file cannot be created or written whole. Its text is
// the one the user sees.
class EDriverFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The platform's side of the installation.
class IDriverPlatform {
 public:
  virtual ~IDriverPlatform() = default;

  // Where the package is written, ending with the path separator.
  virtual std::string ExecutableDir() = 0;
  // The platform's system directory, without a final separator (Linux: the
  // system's udev rules directory).
  virtual std::string GetSystemDir() = 0;
  // The Windows directory, without a final separator ("" where there is none).
  virtual std::string GetWindowsDir() = 0;
  // The files written beside the executable, in order: DriverPackage(), plus
  // the udev rule on Linux.
  virtual std::vector<TDriverFile> PackageFiles() = 0;
  // Whether the click writes them (Windows: always, the installer reads them
  // there; Linux: only for a copy of the program that is not installed, when
  // its folder can be written).
  virtual bool WritesPackageBeside() { return true; }
  // The driver file found in place before anything is installed, when the
  // platform counts one (Linux: the rule in any udev rules folder); empty
  // where every click installs (Windows).
  virtual std::string InstalledBefore() { return std::string(); }
  // Runs the installer on `infPath` and waits for it; true exactly when it
  // ended with exit code 0. False when it cannot be started. (Linux: one
  // pkexec call for the embedded rule; `infPath` is not used.)
  virtual bool RunDriverInstaller(const std::string& infPath, std::uint16_t showWindow) = 0;
  // The fallback copy into the system directories (Windows: from the
  // executable's directory; Linux: the embedded rule). Never overwrites;
  // failures are skipped silently.
  virtual void CopyDriverFiles() = 0;
  // The file whose presence after installation means the driver is in place
  // (Windows: <system>\Drivers\termkvz.sys; Linux: the installed udev rule).
  virtual std::string InstalledDriverFile() = 0;
  // When neither the installer nor the fallback copy put the driver in
  // place: the file an administrator copies by hand and the folder it goes
  // into (Linux: a copy of the embedded rule kept in a folder of this user's
  // own, the rules folder). Empty where the platform says nothing then
  // (Windows).
  virtual std::pair<std::string, std::string> ManualInstallPaths() { return {}; }
};

// Settings of a platform object; an empty field takes the real value.
struct TDriverPlatformOptions {
  std::string ExecutableDir;  // default ExecutableDir()
  std::string SystemDir;      // Windows: GetSystemDirectoryA; Linux: kUdevRulesDir
  std::string WindowsDir;     // Windows only: GetWindowsDirectoryA
  // The program that runs the installer. Windows: the first word of the
  // command line (default "rundll32.exe"). Linux: the program run with the
  // install-and-reload command as arguments, by its absolute path (default
  // /usr/bin/pkexec); a relative path is never run.
  std::string Installer;
  // Linux: the programs run through the installer (default /usr/bin/install
  // and udevadm, absolute paths as pkexec wants them).
  std::string InstallTool;
  std::string UdevadmTool;
  // Linux: the udev rules folders where a rule already counts as installed
  // (default: /etc/udev/rules.d, /run/udev/rules.d,
  // /usr/local/lib/udev/rules.d, /usr/lib/udev/rules.d, /lib/udev/rules.d).
  std::vector<std::string> RulesDirs;
};

// The platform of this build with the given settings.
std::unique_ptr<IDriverPlatform> NewDriverPlatform(const TDriverPlatformOptions& options);
// The platform of this build with the real directories and installer.
IDriverPlatform& DefaultDriverPlatform();

// btnPiloteClick: disables the button, writes the package (where the platform
// writes it), then either shows
// _MSG_PiloteOk (a terminal is held: nothing is installed) or calls
// InstallDriver; whatever happened, the button is then enabled exactly when no
// terminal is held. A file that cannot be written stops the operation and is
// reported with ShowErrorReport after the button has been set.
void PiloteClick(const TDriverHost& host, IDriverPlatform& platform);

// Writes every file of platform.PackageFiles() into the executable's
// directory, unless the platform writes none there: deletes the old file (a
// missing one is no error) and writes the embedded bytes whole. Throws
// EDriverFileError, leaving no partial file of its own behind.
void WriteDriverFiles(IDriverPlatform& platform);

// Where the platform finds the driver already in place (InstalledBefore),
// installs nothing and tells what is left to do: _MSG_RuleInstalled naming
// it, LF CR, then the prompt. Otherwise runs the installer, falls back to the
// copy when it fails, and prompts the user (_ReconnectVelmora, LF CR,
// _ConnectVelmora) when the driver file is then present. Returns whether a
// terminal is held after the prompt; false when the driver file is absent.
// Then, where the platform names what to copy by hand (ManualInstallPaths),
// an information box says so (_Err_RuleNotInstalled); otherwise nothing is
// shown.
bool InstallDriver(const TDriverHost& host, IDriverPlatform& platform);

// The default platform's operations.
bool RunDriverInstaller(const std::string& infPath, std::uint16_t showWindow);
void CopyDriverFiles();
std::string GetSystemDir();
std::string GetWindowsDir();

// French text of a system error number (errno on Linux, GetLastError on
// Windows); the system's own text for numbers it does not know.
std::string SystemErrorText(int code);
