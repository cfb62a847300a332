// The driver button from end to end, on this platform, in temporary folders
// with a fake pkexec.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <climits>
#include <filesystem>

#include "DriverTestSupport.h"
#include "ScriptedPresenter.h"
#include "TestCatalogue.h"
#include "driver.h"

namespace {

const char* const kWritten[] = {"Termkvz.inf", "10720003.hex", "termkvz.sys", "generic.sys",
                                "70-terminal-kvz.rules"};
const char* const kResources[] = {"INF", "HEX", "SYSTERM", "SYSGEN", "UDEV"};
// Reconnect, then connect, joined by LF CR; alone, the box after an installation.
const std::string kPromptText =
    "- Si votre terminal de programmation est connecté, déconnectez et reconnectez le terminal.\n\r"
    "- Si votre terminal de programmation n'est pas connecté, connectez le terminal.";
const std::string kPrompt = "Information||" + kPromptText;

class PiloteClickTest : public ::testing::Test {
 protected:
  PiloteClickTest()
      : ExeDir(Root.MakeDir("Velmora Upgrade")),
        RulesDir(Root.MakeDir("rules.d")),
        Runtime(Root.MakeDir("run")),
        RuntimeScope("XDG_RUNTIME_DIR", Runtime.c_str()) {}

  TDriverHost Host() {
    TDriverHost h;
    h.TerminalHeld = [this] { return Terminal; };
    h.SetPiloteEnabled = [this](bool e) { Button += e ? " 1" : " 0"; };
    return h;
  }

  // Clicks with a fake pkexec exiting with `code`.
  void Click(int code, bool runCommand = false) {
    Fake = std::make_unique<TFakeInstaller>(Root, code, runCommand);
    Click(Fake->Script);
  }
  void Click(const std::string& installer) {
    TDriverPlatformOptions o = TestOptions(ExeDir, RulesDir, installer);
    if (!PackagedDir.empty()) o.RulesDirs.push_back(PackagedDir);
    PiloteClick(Host(), *NewDriverPlatform(o));
  }
  // What the click showed, one "Kind|Key|Text" line a box, then the button's
  // states ("button 0 1": disabled, then enabled): what a child process
  // hands back too.
  std::string Record() const {
    std::string r;
    for (const TMessage& m : Presenter.Shown)
      r += std::string(MsgKindName(m.Kind)) + "|" + m.Key + "|" + m.Text + "\n";
    return r + "button" + Button;
  }

  std::string InstalledRule() const { return RulesDir + kUdevRuleFileName; }
  static std::string AlreadyInstalled(const std::string& rule) {
    return "Information|_MSG_RuleInstalled|La règle d'accès au terminal de programmation est déjà installée "
           "(" +
           rule +
           ") : aucun mot de passe d'administrateur n'est nécessaire. Pour qu'elle s'applique au terminal "
           ":\n\r" +
           kPromptText;
  }
  // Checks the record of a click after which the rule could not be
  // installed: one box naming a copy of the embedded rule kept in a folder
  // of the user's own and the rules folder `rulesDir` (with its final
  // separator), then the button's states.
  void ExpectNotInstalled(const std::string& record, std::string rulesDir,
                          const std::string& button = " 0 1") const {
    rulesDir.pop_back();
    const std::string lead =
        "Information|_Err_RuleNotInstalled|La règle d'accès au terminal de programmation n'a pas pu être "
        "installée. Un administrateur doit copier le fichier ";
    const std::string tail =
        " dans le dossier " + rulesDir + ", puis déconnecter et reconnecter le terminal.\nbutton" + button;
    ASSERT_EQ(record.rfind(lead, 0), 0u) << record;
    ASSERT_GT(record.size(), lead.size() + tail.size()) << record;
    EXPECT_EQ(record.substr(record.size() - tail.size()), tail) << record;
    const std::string kept = record.substr(lead.size(), record.size() - lead.size() - tail.size());
    EXPECT_EQ(kept.rfind(Runtime + "kvz-rule-", 0), 0u) << kept;
    EXPECT_EQ(std::filesystem::path(kept).filename(), kUdevRuleFileName);
    EXPECT_EQ(ReadFileBytes(kept), DriverResourceBytes("UDEV"));
  }
  // Before another click in the same test.
  void Reset() {
    std::error_code ec;
    std::filesystem::remove(InstalledRule(), ec);
    Presenter.Clear();
    Button.clear();
  }

  TCatalogueScope Catalogue;
  TScriptedPresenter Presenter;
  TTempDir Root;
  std::string ExeDir;
  std::string RulesDir;
  std::string Runtime;
  TEnvScope RuntimeScope;
  std::string PackagedDir;  // a further rules folder, when set
  bool Terminal = false;
  std::string Button;
  std::unique_ptr<TFakeInstaller> Fake;
};

// With a terminal held the files are written and confirmed, nothing is
// installed. They are the embedded bytes even over older, longer files, and
// one a link to a file elsewhere is replaced, never written through.
TEST_F(PiloteClickTest, TerminalHeldWritesTheEmbeddedFilesOverOlderOnesAndInstallsNothing) {
  const std::string elsewhere = Root.Path() + "/elsewhere.bin";
  WriteBytes(elsewhere, "keep me");
  for (const char* f : kWritten) WriteBytes(ExeDir + f, std::string(300000, 'x'));
  std::filesystem::remove(ExeDir + "termkvz.sys");
  std::filesystem::create_symlink(elsewhere, ExeDir + "termkvz.sys");
  Terminal = true;
  Click(0, true);
  for (size_t i = 0; i < 5; ++i) {
    EXPECT_FALSE(std::filesystem::is_symlink(ExeDir + kWritten[i])) << kWritten[i];
    EXPECT_EQ(ReadFileBytes(ExeDir + kWritten[i]), DriverResourceBytes(kResources[i])) << kWritten[i];
  }
  EXPECT_EQ(ReadFileBytes(elsewhere), "keep me");
  EXPECT_EQ(Record(), "Plain|_MSG_PiloteOk|Le pilote est correctement installé.\nbutton 0 0");
  EXPECT_TRUE(Fake->Calls().empty());
  EXPECT_FALSE(Exists(InstalledRule()));
}

// An installer call that reports success is not followed by the copy (the
// rule still absent: the way out instead of the prompt); one that fails,
// whatever its code, or that cannot start, is, and the prompt follows. When
// the rules folder cannot be written either (it lies under a regular file:
// no polkit and no /etc/udev, as far as this program can tell), the way out
// tells what an administrator must copy where.
TEST_F(PiloteClickTest, InstallerThenTheCopyThenThePromptOrTheWayOut) {
  WriteBytes(Root.Path() + "/not a folder", "");
  const std::string writable = RulesDir, unwritable = Root.Path() + "/not a folder/rules.d/";
  struct Case {
    int Code;  // the fake's; INT_MIN: no installer at all
    bool Installs;
    bool RulesWritable;
  };
  for (const Case c :
       {Case{0, true, true}, Case{0, false, true}, Case{1, false, true}, Case{126, false, true},
        Case{127, false, true}, Case{255, false, true}, Case{-9, false, true}, Case{INT_MIN, false, true},
        Case{1, false, false}, Case{INT_MIN, false, false}}) {
    SCOPED_TRACE(std::to_string(c.Code) + (c.RulesWritable ? "" : " unwritable"));
    RulesDir = c.RulesWritable ? writable : unwritable;
    Reset();
    if (c.Code == INT_MIN) {
      Click(Root.Path() + "/no such pkexec");
    } else {
      Click(c.Code, c.Installs);
      EXPECT_EQ(Fake->Calls().size(), 1u);  // install and reload in one call
    }
    if ((c.Code == 0 && !c.Installs) || !c.RulesWritable) {
      EXPECT_FALSE(Exists(InstalledRule()));
      ExpectNotInstalled(Record(), RulesDir);
    } else {
      EXPECT_EQ(ReadFileBytes(InstalledRule()), DriverResourceBytes("UDEV"));
      EXPECT_EQ(Record(), kPrompt + "\nbutton 0 1");
    }
  }
}

// A rule already in a rules folder (the package's, or one installed before,
// whatever its content) needs no administrator: nothing is installed, the
// technician is told to replug.
TEST_F(PiloteClickTest, RuleAlreadyInstalledNeedsNoAdministrator) {
  PackagedDir = Root.MakeDir("usr/lib/udev/rules.d");
  for (const std::string& dir : {PackagedDir, RulesDir}) {
    SCOPED_TRACE(dir);
    Reset();
    WriteBytes(dir + kUdevRuleFileName, "# the administrator's own rule\n");
    Click(0, true);
    EXPECT_TRUE(Fake->Calls().empty());
    EXPECT_EQ(ReadFileBytes(dir + kUdevRuleFileName), "# the administrator's own rule\n");
    EXPECT_EQ(Record(), AlreadyInstalled(dir + kUdevRuleFileName) + "\nbutton 0 1");
  }
}

// InstallDriver answers whether a terminal is held after the prompt; a
// terminal plugged during the prompt leaves the button disabled. Nothing
// shown, nothing held: false. Empty host callbacks are no terminal and no
// button.
TEST_F(PiloteClickTest, TerminalPluggedDuringThePromptIsHeldAfterIt) {
  TFakeInstaller fake(Root, 1);
  auto platform = NewDriverPlatform(TestOptions(ExeDir, RulesDir, fake.Script));
  WriteDriverFiles(*platform);
  EXPECT_FALSE(InstallDriver(Host(), *platform));
  Reset();
  Presenter.OnMessage = [this](const TMessage&) { Terminal = true; };
  EXPECT_TRUE(InstallDriver(Host(), *platform));  // through the prompt
  EXPECT_TRUE(InstallDriver(Host(), *platform));  // the rule in place now: through "already installed"
  Terminal = false;
  Reset();
  Click(1);
  EXPECT_EQ(Record(), kPrompt + "\nbutton 0 0");
  Presenter.OnMessage = nullptr;

  Reset();
  PiloteClick(TDriverHost{}, *platform);
  EXPECT_EQ(Record(), kPrompt + "\nbutton");

  Reset();
  RulesDir = Root.Path() + "/missing/";
  Terminal = false;
  EXPECT_FALSE(InstallDriver(Host(), *NewDriverPlatform(TestOptions(ExeDir, RulesDir, fake.Script))));
  ExpectNotInstalled(Record(), RulesDir, "");  // no prompt: what to do instead
}

// Files go beside a copy of the program of its own only: never beside the
// installed program (the package manager's folder, even for root), nor into
// a folder that cannot be written; either way the rule still goes in
// through the one prompt.
TEST_F(PiloteClickTest, FilesBesideOnlyACopyOfItsOwnThatCanBeWritten) {
  WriteBytes(Root.Path() + "/VelmoraUpgrade", "an executable");
  for (const auto& [dir, written] :
       std::vector<std::pair<std::string, bool>>{{Root.MakeDir("usr/lib/velmoraupgrade"), false},
                                                 {Root.MakeDir("usr/local/lib/velmoraupgrade/demo"), false},
                                                 {Root.MakeDir("lib/velmoraupgrade-copy"), true},
                                                 {Root.Path() + "/VelmoraUpgrade/", false},
                                                 {Root.Path() + "/absent/", false}}) {
    SCOPED_TRACE(dir);
    ExeDir = dir;
    Reset();
    Click(0, true);
    for (const char* f : kWritten) EXPECT_EQ(Exists(ExeDir + f), written) << f;
    EXPECT_EQ(Fake->Calls().size(), 1u);
    EXPECT_EQ(ReadFileBytes(InstalledRule()), DriverResourceBytes("UDEV"));
    EXPECT_EQ(Record(), kPrompt + "\nbutton 0 1");
  }
}

// What an ordinary user gets from a program folder that is not theirs: no
// creation error, the rule installed through one prompt, or, with the
// package's rule there, no prompt at all; when the prompt is refused and the
// rules folder is root's, a copy to hand to an administrator. Run with the
// rights of an unprivileged user, even when the tests run as root.
TEST_F(PiloteClickTest, ReadOnlyProgramFolderAsAnOrdinaryUser) {
  std::filesystem::permissions(Root.Path(), std::filesystem::perms(0755));
  ExeDir = Root.MakeDir("opt/velmora");
  std::filesystem::permissions(ExeDir, std::filesystem::perms(0555));
  GiveToUnprivileged(Runtime);
  const std::string ownRules = Root.MakeDir("own rules.d"), packaged = Root.MakeDir("usr/lib/udev/rules.d");
  GiveToUnprivileged(ownRules);
  struct Case {
    std::string Rules;
    bool Packaged;
    int Code;
  };
  std::filesystem::permissions(RulesDir, std::filesystem::perms(0555));  // root's, or at least not ours
  for (const Case& c : {Case{ownRules, true, 0}, Case{ownRules, false, 0}, Case{RulesDir, false, 126}}) {
    SCOPED_TRACE(c.Rules + (c.Packaged ? " packaged" : "") + " " + std::to_string(c.Code));
    RulesDir = c.Rules;
    PackagedDir = packaged;
    if (c.Packaged) WriteBytes(packaged + kUdevRuleFileName, DriverResourceBytes("UDEV"));
    Fake = std::make_unique<TFakeInstaller>(Root, c.Code, c.Code == 0);
    WriteBytes(Fake->Log, "");
    GiveToUnprivileged(Fake->Log);
    const std::string record = RunAsUnprivileged([&] {
      Click(Fake->Script);
      return Record();
    });
    std::filesystem::remove(packaged + kUdevRuleFileName);
    for (const char* f : kWritten) EXPECT_FALSE(Exists(ExeDir + f)) << f;
    EXPECT_EQ(Fake->Calls().size(), c.Packaged ? 0u : 1u);
    if (c.Packaged) {
      EXPECT_EQ(record, AlreadyInstalled(packaged + kUdevRuleFileName) + "\nbutton 0 1");
    } else if (c.Code == 0) {
      EXPECT_EQ(ReadFileBytes(InstalledRule()), DriverResourceBytes("UDEV"));
      EXPECT_EQ(record, kPrompt + "\nbutton 0 1");
    } else {
      EXPECT_FALSE(Exists(InstalledRule()));
      ExpectNotInstalled(record, RulesDir);
    }
  }
}

// A failed write stops the writing at that file, removes what it cut short
// and is reported after the button is set (no "installed" notice after it):
// a folder of the file's name, or a file-size limit below the INF's size.
TEST_F(PiloteClickTest, FileThatCannotBeWrittenStopsTheWritingAndIsReported) {
  std::filesystem::create_directory(ExeDir + "10720003.hex");
  Terminal = true;
  Click(0);
  EXPECT_EQ(ReadFileBytes(ExeDir + "Termkvz.inf"), DriverResourceBytes("INF"));
  EXPECT_FALSE(Exists(ExeDir + "termkvz.sys"));
  EXPECT_FALSE(Exists(ExeDir + "generic.sys"));
  EXPECT_EQ(Record(), "Error||Impossible de créer le fichier \"" + ExeDir +
                          "10720003.hex\". Est un dossier\nbutton 0 0");

  Reset();
  Terminal = false;
  std::filesystem::remove(ExeDir + "10720003.hex");
  struct rlimit old;
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
  struct sigaction ignore = {}, previous = {};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGXFSZ, &ignore, &previous);
  struct rlimit small = old;
  small.rlim_cur = 1000;
  Fake = std::make_unique<TFakeInstaller>(Root, 0);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  Click(Fake->Script);
  ::setrlimit(RLIMIT_FSIZE, &old);
  ::sigaction(SIGXFSZ, &previous, nullptr);
  EXPECT_FALSE(Exists(ExeDir + "Termkvz.inf"));
  EXPECT_EQ(Record(), "Error||Impossible d'écrire le fichier \"" + ExeDir +
                          "Termkvz.inf\". Fichier trop volumineux\nbutton 0 1");
  EXPECT_TRUE(Fake->Calls().empty());
}

}  // namespace
