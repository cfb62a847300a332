// Windows: the driver button from end to end in temporary folders whose
// names are not ASCII, with the installer that cannot start (the copy into
// the system folders follows) and, under Wine, with the real rundll32 and
// SetupAPI on the INF written beside the executable.
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <string>
#include <vector>

#include "DriverFileIO.h"
#include "ScriptedPresenter.h"
#include "TestCatalogue.h"
#include "U_Paths.h"
#include "U_Textes.h"
#include "driver.h"

// The package this test embeds: the real INF, which SetupAPI reads, and for
// the other files bytes a text conversion would change.
std::string DriverResourceBytes(const std::string& name) {
  if (name == "INF") return ReadFileBytes(KVZ_SOURCE_DIR "/resources/driver/Termkvz.inf");
  return name + std::string("\0\r\n\xE9\xFF", 5) + std::string(300, static_cast<char>(name.size()));
}

namespace {

namespace fs = std::filesystem;

std::string ReadWhole(const std::string& path) {
  std::FILE* f = _wfopen(Utf8ToWide(path).c_str(), L"rb");
  if (!f) return "<absent>";
  std::string bytes;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) bytes.append(buf, n);
  std::fclose(f);
  return bytes;
}

bool UnderWine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

class WindowsPilote : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t tmp[MAX_PATH];
    ASSERT_GT(GetTempPathW(MAX_PATH, tmp), 0u);
    Root = WideToUtf8(tmp) + "kvz-pilote-" + std::to_string(GetCurrentProcessId());
    fs::remove_all(PathFromUtf8(Root));
    ExeDir = Make("J\xC3\xA9r\xC3\xB4me \xC5\x81ukasz") + "\\";
    SystemDir = Make("syst\xC3\xA8me");
    WindowsDir = Make("fen\xC3\xAAtres");
    Make("syst\xC3\xA8me\\Drivers");
    Make("fen\xC3\xAAtres\\INF");
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(PathFromUtf8(Root), ec);
  }
  std::string Make(const std::string& name) {
    fs::create_directories(PathFromUtf8(Root + "\\" + name));
    return Root + "\\" + name;
  }
  TDriverHost Host() {
    TDriverHost h;
    h.TerminalHeld = [] { return false; };
    h.SetPiloteEnabled = [this](bool e) { Button.push_back(e); };
    return h;
  }
  TDriverPlatformOptions Options(const std::string& installer) const {
    TDriverPlatformOptions o;
    o.ExecutableDir = ExeDir;
    o.SystemDir = SystemDir;
    o.WindowsDir = WindowsDir;
    o.Installer = installer;
    return o;
  }
  std::string Prompt() const { return GetTexte("_ReconnectVelmora") + "\n\r" + GetTexte("_ConnectVelmora"); }

  TCatalogueScope Catalogue;
  TScriptedPresenter Presenter;
  std::string Root, ExeDir, SystemDir, WindowsDir;
  std::vector<bool> Button;
};

TEST_F(WindowsPilote, UnstartableInstallerIsFollowedByTheCopyIntoTheSystemFolders) {
  // A file already in place is never replaced.
  const std::string kept = SystemDir + "\\Drivers\\10720003.hex";
  std::FILE* f = _wfopen(Utf8ToWide(kept).c_str(), L"wb");
  ASSERT_NE(f, nullptr);
  std::fputs("ancien", f);
  std::fclose(f);

  auto platform = NewDriverPlatform(Options(Root + "\\absent\\rundll32.exe"));
  PiloteClick(Host(), *platform);

  for (const TDriverFile& file : DriverPackage())
    EXPECT_EQ(ReadWhole(ExeDir + file.FileName), DriverResourceBytes(file.Resource)) << file.FileName;
  EXPECT_EQ(ReadWhole(SystemDir + "\\Drivers\\generic.SYS"), DriverResourceBytes("SYSGEN"));
  EXPECT_EQ(ReadWhole(SystemDir + "\\Drivers\\termkvz.SYS"), DriverResourceBytes("SYSTERM"));
  EXPECT_EQ(ReadWhole(kept), "ancien");
  EXPECT_EQ(ReadWhole(WindowsDir + "\\INF\\termkvz.inf"), DriverResourceBytes("INF"));
  ASSERT_EQ(Presenter.Shown.size(), 1u);
  EXPECT_EQ(Presenter.Shown[0].Text, Prompt());
  EXPECT_EQ(Button, std::vector<bool>({false, true}));
}

TEST_F(WindowsPilote, FileThatCannotBeCreatedIsNamedInTheMessage) {
  // A folder where the INF goes: the creation fails, nothing is installed.
  Make("J\xC3\xA9r\xC3\xB4me \xC5\x81ukasz\\Termkvz.inf");
  auto platform = NewDriverPlatform(Options(Root + "\\absent\\rundll32.exe"));
  PiloteClick(Host(), *platform);
  ASSERT_EQ(Presenter.Shown.size(), 1u);
  const std::string start = "Impossible de créer le fichier \"" + ExeDir + "Termkvz.inf\". ";
  EXPECT_EQ(Presenter.Shown[0].Text.substr(0, start.size()), start) << Presenter.Shown[0].Text;
  EXPECT_GT(Presenter.Shown[0].Text.size(), start.size());  // the system's reason follows
  EXPECT_EQ(ReadWhole(SystemDir + "\\Drivers\\termkvz.SYS"), "<absent>");
  EXPECT_EQ(Button, std::vector<bool>({false, true}));
}

TEST_F(WindowsPilote, RundllInstallsTheInfBesideTheExecutableAndIsWaitedFor) {
  // This installs into the system's own folders: only in Wine's prefix.
  if (!UnderWine()) GTEST_SKIP() << "installs a driver into the system: run under Wine only";
  auto real = NewDriverPlatform(TDriverPlatformOptions{});
  const std::string installed = real->InstalledDriverFile();
  const std::string copiedInf = real->GetWindowsDir() + "\\INF\\termkvz.inf";
  DeleteFileIfPresent(installed);
  DeleteFileIfPresent(copiedInf);

  TDriverPlatformOptions o;
  o.ExecutableDir = ExeDir;
  auto platform = NewDriverPlatform(o);
  PiloteClick(Host(), *platform);

  // SetupAPI copied the driver from the INF's folder; the fallback, which
  // also copies the INF, did not run.
  EXPECT_EQ(ReadWhole(installed), DriverResourceBytes("SYSTERM"));
  EXPECT_EQ(ReadWhole(copiedInf), "<absent>");
  ASSERT_EQ(Presenter.Shown.size(), 1u);
  EXPECT_EQ(Presenter.Shown[0].Text, Prompt());
  DeleteFileIfPresent(installed);
}

}  // namespace
