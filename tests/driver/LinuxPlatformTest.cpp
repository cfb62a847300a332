// The Linux platform: pkexec's argument vector, exit codes, the fallback copy
// and the directories.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

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
  TFakeInstaller fake(Root, 0);
  EXPECT_TRUE(Platform(fake.Script)->RunDriverInstaller(ExeDir + kInfFileName, kSwHide));
  const std::vector<std::vector<std::string>> want = {
      {"/usr/bin/install", "-m", "0644", "-T", "--", ExeDir + kUdevRuleFileName, Target()},
      {"/bin/true", "control", "--reload-rules"}};
  EXPECT_EQ(fake.Calls(), want);
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
