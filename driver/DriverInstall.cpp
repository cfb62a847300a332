#include <exception>

#include "DriverFileIO.h"
#include "U_Messages.h"
#include "U_Textes.h"
#include "driver.h"

const char* const kInfFileName = "Termkvz.inf";
const char* const kHexFileName = "10720003.hex";
const char* const kSysTermFileName = "termkvz.sys";
const char* const kSysGenFileName = "generic.sys";
const char* const kUdevRuleFileName = "70-terminal-kvz.rules";
const char* const kUdevRulesDir = "/etc/udev/rules.d";

const std::vector<TDriverFile>& DriverPackage() {
  static const std::vector<TDriverFile> files = {
      {"INF", kInfFileName},
      {"HEX", kHexFileName},
      {"SYSTERM", kSysTermFileName},
      {"SYSGEN", kSysGenFileName},
  };
  return files;
}

std::string InstallerCommandLine(const std::string& infPath, const std::string& program) {
  return program + " setupapi,InstallHinfSection DriverInstall.NT 128 " + infPath;
}

namespace {
bool Held(const TDriverHost& host) { return host.TerminalHeld && host.TerminalHeld(); }
std::string Prompt() { return GetTexte("_ReconnectVelmora") + "\n\r" + GetTexte("_ConnectVelmora"); }
}  // namespace

void WriteDriverFiles(IDriverPlatform& platform) {
  if (!platform.WritesPackageBeside()) return;
  const std::string dir = platform.ExecutableDir();
  for (const TDriverFile& f : platform.PackageFiles()) {
    const std::string bytes = DriverResourceBytes(f.Resource);
    const std::string path = dir + f.FileName;
    DeleteFileIfPresent(path);
    WriteWholeFile(path, bytes);
  }
}

bool InstallDriver(const TDriverHost& host, IDriverPlatform& platform) {
  // Already in place (on Linux, the package's rule): no administrator is
  // needed, only a replug for udev to apply it to the terminal.
  const std::string present = platform.InstalledBefore();
  if (!present.empty()) {
    const char* const key = "_MSG_RuleInstalled";
    ShowInformation(FormatText(GetTexte(key), {present}) + "\n\r" + Prompt(), key);
    return Held(host);
  }
  const std::string infPath = platform.ExecutableDir() + kInfFileName;
  if (!platform.RunDriverInstaller(infPath, kSwHide)) platform.CopyDriverFiles();
  if (!FileExists(platform.InstalledDriverFile())) {
    // Without the rule the terminal stays out of reach: say what an
    // administrator has to do.
    const std::pair<std::string, std::string> manual = platform.ManualInstallPaths();
    if (!manual.first.empty()) {
      const char* const key = "_Err_RuleNotInstalled";
      ShowInformation(FormatText(GetTexte(key), {manual.first, manual.second}), key);
    }
    return false;
  }
  ShowInformation(Prompt());
  return Held(host);
}

void PiloteClick(const TDriverHost& host, IDriverPlatform& platform) {
  if (host.SetPiloteEnabled) host.SetPiloteEnabled(false);
  std::string error;
  bool failed = false;
  try {
    WriteDriverFiles(platform);
    if (Held(host))
      ShowPlainKey("_MSG_PiloteOk");
    else
      InstallDriver(host, platform);
  } catch (const std::exception& e) {
    failed = true;
    error = e.what();
  }
  // The button follows the terminal's presence however the operation ended;
  // the error is reported afterwards, as the toolkit's report would be.
  if (host.SetPiloteEnabled) host.SetPiloteEnabled(!Held(host));
  if (failed) ShowErrorReport(error);
}

bool RunDriverInstaller(const std::string& infPath, std::uint16_t showWindow) {
  return DefaultDriverPlatform().RunDriverInstaller(infPath, showWindow);
}

void CopyDriverFiles() { DefaultDriverPlatform().CopyDriverFiles(); }
std::string GetSystemDir() { return DefaultDriverPlatform().GetSystemDir(); }
std::string GetWindowsDir() { return DefaultDriverPlatform().GetWindowsDir(); }
