// The Linux platform: the one pkexec call, what it is handed, the fallback
// copy, where a rule counts as installed and where files are written.
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

namespace fs = std::filesystem;

class LinuxPlatformTest : public ::testing::Test {
 protected:
  LinuxPlatformTest() : ExeDir(Root.MakeDir("Velmora Upgrade")), RulesDir(Root.MakeDir("rules.d")) {
    WriteBytes(ExeDir + kUdevRuleFileName, "# rule beside the executable\n");
  }
  std::unique_ptr<IDriverPlatform> Platform(const std::string& installer) {
    return NewDriverPlatform(TestOptions(ExeDir, RulesDir, installer));
  }
  bool Install(const std::string& installer) {
    return Platform(installer)->RunDriverInstaller(ExeDir + kInfFileName, kSwHide);
  }
  std::string Target() const { return RulesDir + kUdevRuleFileName; }
  std::string Rule() const { return DriverResourceBytes("UDEV"); }

  TTempDir Root;
  std::string ExeDir;
  std::string RulesDir;
};

// --- Installer -------------------------------------------------------------------

// One prompt: a single pkexec call runs a fixed script that installs, then
// reloads; every path is an argument of its own, spaces and all. The rule
// goes through a private copy in a folder only this user can enter, removed
// afterwards, under the runtime folder or, without an absolute one (unset,
// or relative: here the current folder), under /tmp. Whatever stands beside
// the executable (another rule, a link to a secret), and whatever anyone who
// can write that folder does while the authentication dialog waits, root
// installs the rule the program carries.
TEST_F(LinuxPlatformTest, OneInstallerCallInstallsTheEmbeddedRuleThenReloads) {
  const std::string runtime = Root.MakeDir("run time"), beside = ExeDir + kUdevRuleFileName;
  const std::string secret = Root.Path() + "/secret", mode = Root.Path() + "/mode";
  WriteBytes(secret, "root:secret\n");
  const std::string swap = "stat -c '%a %u' \"$(dirname -- \"$7\")\" > '" + mode + "'; rm -f '" + beside +
                           "'; printf '# swapped\\n' > '" + beside + "'";
  struct Case {
    const char* Env;
    bool Link;  // beside the executable: a link to the secret, or a rule
  };
  for (const Case c :
       {Case{runtime.c_str(), false}, Case{nullptr, false}, Case{".", false}, Case{runtime.c_str(), true}}) {
    SCOPED_TRACE(std::string(c.Env ? c.Env : "unset") + (c.Link ? " link" : ""));
    TEnvScope scope("XDG_RUNTIME_DIR", c.Env);
    fs::remove(Target());
    fs::remove(beside);
    c.Link ? fs::create_symlink(secret, beside) : WriteBytes(beside, "# rule beside the executable\n");
    TFakeInstaller fake(Root, 0, true, swap);
    EXPECT_TRUE(Install(fake.Script));
    const auto calls = fake.Calls();
    ASSERT_EQ(calls.size(), 1u);
    ASSERT_EQ(calls[0].size(), 8u);
    const std::string copy = calls[0][6];
    EXPECT_EQ(copy.rfind(c.Env == runtime.c_str() ? runtime + "kvz-rule-" : "/tmp/kvz-rule-", 0), 0u) << copy;
    EXPECT_EQ(fs::path(copy).filename(), kUdevRuleFileName);
    EXPECT_EQ(calls[0], (std::vector<std::string>{"/bin/sh", "-c", calls[0][2], "sh", "/usr/bin/install",
                                                  "/bin/true", copy, Target()}));
    EXPECT_EQ(calls[0][2], "\"$1\" -m 0644 -T -- \"$3\" \"$4\" && \"$2\" control --reload-rules");
    EXPECT_EQ(ReadFileBytes(beside), "# swapped\n");  // the swap did happen
    EXPECT_EQ(ReadFileBytes(Target()), Rule());
    EXPECT_EQ(ReadFileBytes(mode), "700 " + std::to_string(::geteuid()) + "\n");
    EXPECT_FALSE(Exists(fs::path(copy).parent_path().string()));
  }
  EXPECT_EQ(ReadFileBytes(secret), "root:secret\n");
}

// pkexec is run by its absolute path, never looked up in PATH, and sees none
// of the descriptors this process holds, close-on-exec or not.
TEST_F(LinuxPlatformTest, InstallerIsRunByPathAndInheritsNoDescriptor) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);  // as some part of the process might leave one
  const std::string seen = Root.Path() + "/seen";
  TFakeInstaller fake(Root, 0, false,
                      "for fd in " + std::to_string(fds[0]) + " " + std::to_string(fds[1]) +
                          "; do [ -e /proc/$$/fd/$fd ] && printf '%s ' $fd; done >> '" + seen + "'");
  EXPECT_TRUE(Install(fake.Script));
  ::close(fds[0]);
  ::close(fds[1]);
  EXPECT_EQ(ReadFileBytes(seen), "");

  const std::string bin = Root.MakeDir("bin");
  fs::copy_file(fake.Script, bin + "pkexec");
  TEnvScope path("PATH", (bin + ":/usr/bin:/bin").c_str());
  EXPECT_FALSE(Install("pkexec"));
  EXPECT_EQ(fake.Calls().size(), 1u);  // the first call only
}

// The result is the call's exit code: a failed install or reload, a refused
// or cancelled prompt, a killed pkexec, one that cannot start.
TEST_F(LinuxPlatformTest, InstallerResultIsItsExitCode) {
  for (const int code : {1, 126, 127, -9}) {
    SCOPED_TRACE(code);
    TFakeInstaller fake(Root, code);
    EXPECT_FALSE(Install(fake.Script));
    EXPECT_EQ(fake.Calls().size(), 1u);
  }
  TDriverPlatformOptions o = TestOptions(ExeDir, RulesDir, TFakeInstaller(Root, 0, true).Script);
  o.UdevadmTool = "/bin/false";  // installed, not reloaded
  EXPECT_FALSE(NewDriverPlatform(o)->RunDriverInstaller(ExeDir + kInfFileName, kSwHide));
  EXPECT_EQ(ReadFileBytes(Target()), Rule());

  EXPECT_FALSE(Install(Root.Path() + "/absent"));
  WriteBytes(Root.Path() + "/plain", "#!/bin/sh\nexit 0\n");  // not executable
  EXPECT_FALSE(Install(Root.Path() + "/plain"));
}

// --- Files written beside the executable ---------------------------------------------

// A new file never goes through what stands at its path: a link to a victim
// file, a dangling link (its target is not created either). Deleted first,
// as the driver button does, it is written. Someone who keeps putting a
// link to the victim where the file goes, between its deletion and its
// creation, never gets the victim written.
TEST_F(LinuxPlatformTest, NewFilesNeverGoThroughALinkAtTheirPath) {
  const std::string victim = Root.Path() + "/victim";
  WriteBytes(victim, "victim");
  const std::string path = ExeDir + kInfFileName;
  fs::create_symlink(victim, path);
  try {
    WriteWholeFile(path, "new bytes");
    FAIL() << "written through a link";
  } catch (const EDriverFileError& e) {
    EXPECT_EQ(std::string(e.what()), "Impossible de créer le fichier \"" + path + "\". Le fichier existe");
  }
  EXPECT_EQ(ReadFileBytes(victim), "victim");
  fs::remove(path);
  fs::create_symlink(Root.Path() + "/made through a link", path);
  EXPECT_THROW(WriteWholeFile(path, "new bytes"), EDriverFileError);
  EXPECT_FALSE(Exists(Root.Path() + "/made through a link"));
  DeleteFileIfPresent(path);
  WriteWholeFile(path, "new bytes");
  EXPECT_EQ(ReadFileBytes(path), "new bytes");
  EXPECT_FALSE(fs::is_symlink(path));

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
  EXPECT_EQ(ReadFileBytes(victim), "victim");
  EXPECT_EQ(written + refused, 3000);
}

// --- Fallback copy -------------------------------------------------------------------

// The copy writes the embedded rule, readable by all; never over a rule
// there, nor through a dangling link, nor into a missing rules folder.
TEST_F(LinuxPlatformTest, CopyWritesTheEmbeddedRuleOnlyWhereNothingStands) {
  const mode_t old = ::umask(077);
  Platform("unused")->CopyDriverFiles();
  ::umask(old);
  EXPECT_EQ(ReadFileBytes(Target()), Rule());
  struct stat st;
  ASSERT_EQ(::stat(Target().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);

  WriteBytes(Target(), "# installed before\n");
  Platform("unused")->CopyDriverFiles();
  EXPECT_EQ(ReadFileBytes(Target()), "# installed before\n");
  fs::remove(Target());
  fs::create_symlink(Root.Path() + "/dangling", Target());
  Platform("unused")->CopyDriverFiles();
  EXPECT_FALSE(Exists(Root.Path() + "/dangling"));
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

  // Without one given, the folder of the executable's path.
  SetExecutablePathForTesting("/srv/tools dir/VelmoraUpgrade");
  EXPECT_EQ(NewDriverPlatform({})->ExecutableDir(), "/srv/tools dir/");
  SetExecutablePathForTesting("");
}

// The rule counts as installed in any of the folders given, the first found
// named.
TEST(LinuxPlatformDirs, RuleInstalledInAnyRulesFolder) {
  TTempDir root;
  TDriverPlatformOptions o;
  o.RulesDirs = {root.MakeDir("etc"), root.MakeDir("usr-lib"), root.Path() + "/lib"};
  auto p = NewDriverPlatform(o);
  EXPECT_EQ(p->InstalledBefore(), "");
  WriteBytes(root.MakeDir("lib") + kUdevRuleFileName, "");
  EXPECT_EQ(p->InstalledBefore(), root.Path() + "/lib/" + kUdevRuleFileName);
  WriteBytes(o.RulesDirs[1] + kUdevRuleFileName, "");
  EXPECT_EQ(p->InstalledBefore(), o.RulesDirs[1] + kUdevRuleFileName);
  fs::create_directory(o.RulesDirs[0] + kUdevRuleFileName);  // not a rule
  EXPECT_EQ(p->InstalledBefore(), o.RulesDirs[1] + kUdevRuleFileName);
}

}  // namespace
