// The Linux platform: pkexec's argument vector, exit codes, the fallback copy
// and the directories.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "DriverFileIO.h"
#include "DriverTestSupport.h"
#include "U_Paths.h"
#include "driver.h"

namespace {

class LinuxPlatformTest : public ::testing::Test {
 protected:
  LinuxPlatformTest() : ExeDir(Root.MakeDir("Velmora Upgrade")), RulesDir(Root.MakeDir("rules.d")) {
    WriteBytes(ExeDir + kUdevRuleFileName, "# rule beside the executable\n");
  }
  std::unique_ptr<IDriverPlatform> Platform(const std::string& installer) {
    return NewDriverPlatform(TestOptions(ExeDir, RulesDir, installer));
  }
  std::string Target() const { return RulesDir + kUdevRuleFileName; }

  TTempDir Root;
  std::string ExeDir;
  std::string RulesDir;
};

// --- Installer -------------------------------------------------------------------

TEST_F(LinuxPlatformTest, InstallerGetsAnArgumentVectorForInstallThenReload) {
  const std::string runtime = Root.MakeDir("run");
  TEnvScope env("XDG_RUNTIME_DIR", runtime.c_str());
  TFakeInstaller fake(Root, 0);
  EXPECT_TRUE(Platform(fake.Script)->RunDriverInstaller(ExeDir + kInfFileName, kSwHide));
  const auto calls = fake.Calls();
  ASSERT_EQ(calls.size(), 2u);
  ASSERT_EQ(calls[0].size(), 7u);
  // The rule goes through a private copy: <runtime>kvz-rule-XXXXXX/<rule>.
  const std::string copy = calls[0][5];
  EXPECT_EQ(copy.rfind(runtime + "kvz-rule-", 0), 0u) << copy;
  EXPECT_EQ(std::filesystem::path(copy).filename(), kUdevRuleFileName);
  const std::vector<std::vector<std::string>> want = {
      {"/usr/bin/install", "-m", "0644", "-T", "--", copy, Target()},
      {"/bin/true", "control", "--reload-rules"}};
  EXPECT_EQ(calls, want);
  EXPECT_FALSE(Exists(std::filesystem::path(copy).parent_path().string()));  // removed afterwards
}

// While pkexec's dialogue waits for a password, anyone who can write the
// folder beside the executable may replace the rule there: root must still
// install what the program handed over.
TEST_F(LinuxPlatformTest, InstallerGetsAPrivateCopyThatNobodyElseCanSwap) {
  const std::string runtime = Root.MakeDir("run");
  TEnvScope env("XDG_RUNTIME_DIR", runtime.c_str());
  const std::string mode = Root.Path() + "/mode";
  const std::string swap = "case \"$1\" in */install) stat -c '%a %u' \"$(dirname -- \"$6\")\" > '" + mode +
                           "'; printf '# swapped\\n' > '" + ExeDir + kUdevRuleFileName + "';; esac";
  TFakeInstaller fake(Root, 0, 0, true, swap);
  EXPECT_TRUE(Platform(fake.Script)->RunDriverInstaller(ExeDir + kInfFileName, kSwHide));
  EXPECT_EQ(ReadBytes(ExeDir + kUdevRuleFileName), "# swapped\n");  // the swap did happen
  EXPECT_EQ(ReadBytes(Target()), "# rule beside the executable\n");
  EXPECT_EQ(ReadBytes(mode), "700 " + std::to_string(::geteuid()) + "\n");
}

TEST_F(LinuxPlatformTest, PrivateCopyGoesUnderTmpWithoutAnAbsoluteRuntimeDir) {
  for (const char* runtime : {static_cast<const char*>(nullptr), "relative/run"}) {
    SCOPED_TRACE(runtime ? runtime : "unset");
    TEnvScope env("XDG_RUNTIME_DIR", runtime);
    TFakeInstaller fake(Root, 0);
    EXPECT_TRUE(Platform(fake.Script)->RunDriverInstaller(ExeDir + kInfFileName, kSwHide));
    ASSERT_EQ(fake.Calls().size(), 2u);
    EXPECT_EQ(fake.Calls()[0][5].rfind("/tmp/kvz-rule-", 0), 0u) << fake.Calls()[0][5];
  }
}

TEST_F(LinuxPlatformTest, ALinkInPlaceOfTheRuleIsNeverFollowed) {
  const std::string secret = Root.Path() + "/secret";
  WriteBytes(secret, "root:secret\n");
  std::filesystem::remove(ExeDir + kUdevRuleFileName);
  std::filesystem::create_symlink(secret, ExeDir + kUdevRuleFileName);
  TFakeInstaller fake(Root, 0, 0, true);
  auto platform = Platform(fake.Script);
  EXPECT_FALSE(platform->RunDriverInstaller(ExeDir + kInfFileName, kSwHide));
  EXPECT_TRUE(fake.Calls().empty());  // nothing handed to root
  platform->CopyDriverFiles();
  EXPECT_FALSE(Exists(Target()));
}

// --- Files written beside the executable ---------------------------------------------

TEST_F(LinuxPlatformTest, NewFilesNeverGoThroughWhatStandsAtTheirPath) {
  const std::string victim = Root.Path() + "/victim";
  WriteBytes(victim, "victim");
  const std::string path = ExeDir + kInfFileName;
  std::filesystem::create_symlink(victim, path);
  try {
    WriteWholeFile(path, "new bytes");
    FAIL() << "written through a link";
  } catch (const EDriverFileError& e) {
    EXPECT_EQ(std::string(e.what()), "Impossible de créer le fichier \"" + path + "\". Le fichier existe");
  }
  EXPECT_EQ(ReadBytes(victim), "victim");
  // A dangling link does not create its target either.
  std::filesystem::remove(path);
  std::filesystem::create_symlink(Root.Path() + "/made through a link", path);
  EXPECT_THROW(WriteWholeFile(path, "new bytes"), EDriverFileError);
  EXPECT_FALSE(Exists(Root.Path() + "/made through a link"));
  // Deleted first, as the driver button does: written.
  DeleteFileIfPresent(path);
  WriteWholeFile(path, "new bytes");
  EXPECT_EQ(ReadBytes(path), "new bytes");
  EXPECT_FALSE(std::filesystem::is_symlink(path));
}

// Someone keeps putting a link to a victim file where the file goes, between
// its deletion and its creation: the victim is never written.
TEST_F(LinuxPlatformTest, ALinkRacingTheCreationIsNeverFollowed) {
  const std::string victim = Root.Path() + "/victim";
  WriteBytes(victim, "victim");
  const std::string path = ExeDir + kInfFileName;
  std::atomic<bool> stop{false};
  std::thread racer([&] {
    while (!stop.load()) {
      ::unlink(path.c_str());
      ::symlink(victim.c_str(), path.c_str());
    }
  });
  int written = 0, refused = 0;
  for (int i = 0; i < 3000; ++i) {
    DeleteFileIfPresent(path);
    try {
      WriteWholeFile(path, "new bytes");
      ++written;
    } catch (const EDriverFileError& e) {
      EXPECT_EQ(std::string(e.what()).rfind("Impossible de créer le fichier", 0), 0u) << e.what();
      ++refused;
    }
  }
  stop = true;
  racer.join();
  EXPECT_EQ(ReadBytes(victim), "victim");
  EXPECT_EQ(written + refused, 3000);
}

TEST_F(LinuxPlatformTest, InstallerResultFollowsBothExitCodes) {
  struct Case {
    int Install, Reload;
    bool Result;
    size_t Calls;
  };
  for (const Case c : {Case{0, 0, true, 2}, Case{1, 0, false, 1}, Case{126, 0, false, 1},
                       Case{0, 1, false, 2}, Case{-9, 0, false, 1}, Case{0, -9, false, 2}}) {
    SCOPED_TRACE(std::to_string(c.Install) + "/" + std::to_string(c.Reload));
    TFakeInstaller fake(Root, c.Install, c.Reload);
    EXPECT_EQ(Platform(fake.Script)->RunDriverInstaller(ExeDir + kInfFileName, kSwHide), c.Result);
    EXPECT_EQ(fake.Calls().size(), c.Calls);
  }
}

TEST_F(LinuxPlatformTest, InstallerThatCannotStartFails) {
  EXPECT_FALSE(Platform(Root.Path() + "/absent")->RunDriverInstaller(ExeDir + kInfFileName, kSwHide));
  // A file that is not executable cannot be started either.
  WriteBytes(Root.Path() + "/plain", "#!/bin/sh\nexit 0\n");
  EXPECT_FALSE(Platform(Root.Path() + "/plain")->RunDriverInstaller(ExeDir + kInfFileName, kSwHide));
}

TEST_F(LinuxPlatformTest, RuleIsTakenBesideTheInfGiven) {
  TFakeInstaller fake(Root, 0, 0, true);
  const std::string other = Root.MakeDir("other copy");
  WriteBytes(other + kUdevRuleFileName, "# other\n");
  EXPECT_TRUE(Platform(fake.Script)->RunDriverInstaller(other + kInfFileName, kSwHide));
  EXPECT_EQ(ReadBytes(Target()), "# other\n");
}

// --- Fallback copy -------------------------------------------------------------------

TEST_F(LinuxPlatformTest, CopyTakesTheRuleFromTheExecutableDirNotTheCurrentDir) {
  const std::string cwd = Root.MakeDir("elsewhere");
  WriteBytes(cwd + kUdevRuleFileName, "# wrong rule\n");
  const std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(cwd);
  Platform("unused")->CopyDriverFiles();
  std::filesystem::current_path(previous);
  EXPECT_EQ(ReadBytes(Target()), "# rule beside the executable\n");
  struct stat st;
  ASSERT_EQ(::stat(Target().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
}

TEST_F(LinuxPlatformTest, CopyNeverOverwrites) {
  WriteBytes(Target(), "# installed before\n");
  Platform("unused")->CopyDriverFiles();
  EXPECT_EQ(ReadBytes(Target()), "# installed before\n");
  // Not even through a dangling link.
  std::filesystem::remove(Target());
  std::filesystem::create_symlink(Root.Path() + "/dangling", Target());
  Platform("unused")->CopyDriverFiles();
  EXPECT_FALSE(Exists(Root.Path() + "/dangling"));
}

TEST_F(LinuxPlatformTest, CopyWithoutSourceOrTargetFolderLeavesNothing) {
  std::filesystem::remove(ExeDir + kUdevRuleFileName);
  Platform("unused")->CopyDriverFiles();
  EXPECT_FALSE(Exists(Target()));  // no empty rule left behind

  WriteBytes(ExeDir + kUdevRuleFileName, "# rule\n");
  RulesDir = Root.Path() + "/no such folder/";
  Platform("unused")->CopyDriverFiles();
  EXPECT_FALSE(Exists(RulesDir));
}

// --- Directories ----------------------------------------------------------------------

TEST(LinuxPlatformDirs, DefaultsAndInjectedValues) {
  EXPECT_EQ(GetSystemDir(), "/etc/udev/rules.d");
  EXPECT_EQ(GetWindowsDir(), "");
  EXPECT_EQ(DefaultDriverPlatform().ExecutableDir(), ExecutableDir());
  EXPECT_EQ(DefaultDriverPlatform().InstalledDriverFile(), "/etc/udev/rules.d/70-terminal-kvz.rules");

  TDriverPlatformOptions o;
  o.ExecutableDir = "/opt/velmora";
  o.SystemDir = "/tmp/rules.d/";
  auto p = NewDriverPlatform(o);
  EXPECT_EQ(p->ExecutableDir(), "/opt/velmora/");
  EXPECT_EQ(p->GetSystemDir(), "/tmp/rules.d");
  EXPECT_EQ(p->InstalledDriverFile(), "/tmp/rules.d/70-terminal-kvz.rules");
  ASSERT_EQ(p->PackageFiles().size(), 5u);
  EXPECT_EQ(p->PackageFiles()[4].Resource, "UDEV");
  EXPECT_EQ(p->PackageFiles()[4].FileName, kUdevRuleFileName);
}

TEST(LinuxPlatformDirs, ExecutableDirFollowsTheExecutablePath) {
  SetExecutablePathForTesting("/srv/tools dir/VelmoraUpgrade");
  EXPECT_EQ(NewDriverPlatform({})->ExecutableDir(), "/srv/tools dir/");
  SetExecutablePathForTesting("");
}

}  // namespace
