// The driver button from end to end, on this platform, in temporary folders
// with a fake pkexec.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <sstream>

#include "DriverTestSupport.h"
#include "ScriptedPresenter.h"
#include "TestCatalogue.h"
#include "driver.h"

namespace {

const char* const kWritten[] = {"Termkvz.inf", "10720003.hex", "termkvz.sys", "generic.sys",
                                "70-terminal-kvz.rules"};
const char* const kResources[] = {"INF", "HEX", "SYSTERM", "SYSGEN", "UDEV"};

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
    h.SetPiloteEnabled = [this](bool e) { Button.push_back(e); };
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
  // states: what a child process hands back.
  std::string Record() const {
    std::string r;
    for (const TMessage& m : Presenter.Shown)
      r += std::string(MsgKindName(m.Kind)) + "|" + m.Key + "|" + m.Text + "\n";
    r += "button";
    for (bool b : Button) r += b ? " 1" : " 0";
    return r;
  }

  std::string InstalledRule() const { return RulesDir + kUdevRuleFileName; }
  // Reconnect, then connect, joined by LF CR.
  static std::string Prompt() {
    return "- Si votre terminal de programmation est connecté, déconnectez et reconnectez le terminal.\n\r"
           "- Si votre terminal de programmation n'est pas connecté, connectez le terminal.";
  }
  std::string AlreadyInstalled(const std::string& rule) const {
    return "La règle d'accès au terminal de programmation est déjà installée (" + rule +
           ") : aucun mot de passe d'administrateur n'est nécessaire. Pour qu'elle s'applique au terminal "
           ":\n\r" +
           Prompt();
  }
  // Checks the text the user reads when the rule could not be installed: it
  // names a copy of the embedded rule kept in a folder of the user's own
  // and the rules folder `rulesDir` (with its final separator).
  void ExpectNotInstalled(const std::string& text, std::string rulesDir) const {
    rulesDir.pop_back();
    const std::string lead =
        "La règle d'accès au terminal de programmation n'a pas pu être installée. Un administrateur doit "
        "copier le fichier ";
    const std::string tail =
        " dans le dossier " + rulesDir + ", puis déconnecter et reconnecter le terminal.";
    ASSERT_EQ(text.rfind(lead, 0), 0u) << text;
    ASSERT_GT(text.size(), lead.size() + tail.size()) << text;
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail) << text;
    const std::string kept = text.substr(lead.size(), text.size() - lead.size() - tail.size());
    EXPECT_EQ(kept.rfind(Runtime + "kvz-rule-", 0), 0u) << kept;
    EXPECT_EQ(std::filesystem::path(kept).filename(), kUdevRuleFileName);
    EXPECT_EQ(ReadBytes(kept), DriverResourceBytes("UDEV"));
  }
  void ExpectNotInstalledShown() {
    ExpectOneBox(TMsgKind::Information, "", "_Err_RuleNotInstalled");
    if (!HasFatalFailure()) ExpectNotInstalled(Presenter.Shown[0].Text, RulesDir);
  }
  // The click showed one box (its text unchecked when empty).
  void ExpectOneBox(TMsgKind kind, const std::string& text, const char* key = nullptr) {
    ASSERT_EQ(Presenter.Shown.size(), 1u);
    EXPECT_EQ(Presenter.Shown[0].Kind, kind);
    if (key) {
      EXPECT_EQ(Presenter.Shown[0].Key, key);
    }
    if (!text.empty()) {
      EXPECT_EQ(Presenter.Shown[0].Text, text);
    }
  }
  // Before another click in the same test.
  void Reset() {
    std::filesystem::remove(InstalledRule());
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
  std::vector<bool> Button;
  std::unique_ptr<TFakeInstaller> Fake;
};

// --- A terminal is held ------------------------------------------------------

TEST_F(PiloteClickTest, TerminalHeldWritesFilesConfirmsAndInstallsNothing) {
  Terminal = true;
  Click(0, true);
  for (const char* f : kWritten) EXPECT_TRUE(Exists(ExeDir + f)) << f;
  ExpectOneBox(TMsgKind::Plain, "Le pilote est correctement installé.");
  EXPECT_TRUE(Fake->Calls().empty());
  EXPECT_FALSE(Exists(InstalledRule()));
  EXPECT_EQ(Button, (std::vector<bool>{false, false}));
}

// --- Files written -----------------------------------------------------------

TEST_F(PiloteClickTest, FilesAreTheEmbeddedBytesEvenOverOlderFiles) {
  // Older files, longer than the new ones, and one a link to a file elsewhere
  // that must not be written through.
  const std::string elsewhere = Root.Path() + "/elsewhere.bin";
  WriteBytes(elsewhere, "keep me");
  for (const char* f : kWritten) WriteBytes(ExeDir + f, std::string(300000, 'x'));
  std::filesystem::remove(ExeDir + "termkvz.sys");
  std::filesystem::create_symlink(elsewhere, ExeDir + "termkvz.sys");

  Click(1);
  for (size_t i = 0; i < 5; ++i) {
    EXPECT_FALSE(std::filesystem::is_symlink(ExeDir + kWritten[i])) << kWritten[i];
    EXPECT_EQ(ReadBytes(ExeDir + kWritten[i]), DriverResourceBytes(kResources[i])) << kWritten[i];
  }
  EXPECT_EQ(ReadBytes(elsewhere), "keep me");
}

// --- Installer and fallback copy ----------------------------------------------

// An installer call that reports success is not followed by the copy (the
// rule still absent: the way out instead of the prompt); one that fails,
// whatever its code, or that cannot start, is, and the prompt follows.
TEST_F(PiloteClickTest, InstallerThenTheCopyThenThePromptOrTheWayOut) {
  struct Case {
    int Code;  // the fake's; INT_MIN: no installer at all
    bool Installs;
  };
  for (const Case c : {Case{0, true}, Case{0, false}, Case{1, false}, Case{126, false}, Case{127, false},
                       Case{255, false}, Case{-9, false}, Case{INT_MIN, false}}) {
    SCOPED_TRACE(c.Code);
    Reset();
    if (c.Code == INT_MIN) {
      Click(Root.Path() + "/no such pkexec");
    } else {
      Click(c.Code, c.Installs);
      EXPECT_EQ(Fake->Calls().size(), 1u);  // install and reload in one call
    }
    if (c.Code == 0 && !c.Installs) {
      EXPECT_FALSE(Exists(InstalledRule()));
      ExpectNotInstalledShown();
    } else {
      EXPECT_EQ(ReadBytes(InstalledRule()), DriverResourceBytes("UDEV"));
      ExpectOneBox(TMsgKind::Information, Prompt());
    }
    EXPECT_EQ(Button, (std::vector<bool>{false, true}));
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
    EXPECT_EQ(ReadBytes(dir + kUdevRuleFileName), "# the administrator's own rule\n");
    ExpectOneBox(TMsgKind::Information, AlreadyInstalled(dir + kUdevRuleFileName), "_MSG_RuleInstalled");
    EXPECT_EQ(Button, (std::vector<bool>{false, true}));
  }
}

TEST_F(PiloteClickTest, NeitherInstallerNorCopyTellsWhatAnAdministratorMustCopyWhere) {
  // The rules folder cannot be written: it lies under a regular file (no
  // polkit and no /etc/udev, as far as this program can tell).
  WriteBytes(Root.Path() + "/not a folder", "");
  RulesDir = Root.Path() + "/not a folder/rules.d/";
  Click(1);
  ExpectNotInstalledShown();
  EXPECT_EQ(Button, (std::vector<bool>{false, true}));
  // The same without any installer at all.
  Presenter.Clear();
  Click(Root.Path() + "/no such pkexec");
  ExpectNotInstalledShown();
}

// InstallDriver answers whether a terminal is held after the prompt; a
// terminal plugged during the prompt leaves the button disabled.
TEST_F(PiloteClickTest, TerminalPluggedDuringThePromptIsHeldAfterIt) {
  TFakeInstaller fake(Root, 1);
  auto platform = NewDriverPlatform(TestOptions(ExeDir, RulesDir, fake.Script));
  WriteDriverFiles(*platform);
  EXPECT_FALSE(InstallDriver(Host(), *platform));
  Presenter.OnMessage = [this](const TMessage&) { Terminal = true; };
  EXPECT_TRUE(InstallDriver(Host(), *platform));
  Terminal = false;
  Reset();
  Click(1);
  ExpectOneBox(TMsgKind::Information, Prompt());
  EXPECT_EQ(Button, (std::vector<bool>{false, false}));
  Presenter.OnMessage = nullptr;
  // Nothing shown, nothing held: false.
  std::filesystem::remove(InstalledRule());
  RulesDir = Root.Path() + "/missing/";
  auto nowhere = NewDriverPlatform(TestOptions(ExeDir, RulesDir, fake.Script));
  Terminal = false;
  Presenter.Clear();
  EXPECT_FALSE(InstallDriver(Host(), *nowhere));
  ExpectNotInstalledShown();  // no prompt: what to do instead
}

// --- Where nothing is written beside the executable ---------------------------

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
    EXPECT_EQ(ReadBytes(InstalledRule()), DriverResourceBytes("UDEV"));
    ExpectOneBox(TMsgKind::Information, Prompt());
    EXPECT_EQ(Button, (std::vector<bool>{false, true}));
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
    std::istringstream lines(record);
    std::string box;
    std::getline(lines, box);
    if (c.Packaged) {
      EXPECT_EQ(record, "Information|_MSG_RuleInstalled|" + AlreadyInstalled(packaged + kUdevRuleFileName) +
                            "\nbutton 0 1");
    } else if (c.Code == 0) {
      EXPECT_EQ(ReadBytes(InstalledRule()), DriverResourceBytes("UDEV"));
      EXPECT_EQ(record, "Information||" + Prompt() + "\nbutton 0 1");
    } else {
      EXPECT_FALSE(Exists(InstalledRule()));
      ASSERT_EQ(box.rfind("Information|_Err_RuleNotInstalled|", 0), 0u) << record;
      ExpectNotInstalled(box.substr(box.find('|', box.find('|') + 1) + 1), RulesDir);
      EXPECT_EQ(record.substr(record.size() - 11), "\nbutton 0 1") << record;
    }
  }
}

TEST_F(PiloteClickTest, SameNamedFolderStopsTheWritingAtThatFile) {
  std::filesystem::create_directory(ExeDir + "10720003.hex");
  Terminal = true;
  Click(0);
  EXPECT_EQ(ReadBytes(ExeDir + "Termkvz.inf"), DriverResourceBytes("INF"));
  EXPECT_FALSE(Exists(ExeDir + "termkvz.sys"));
  EXPECT_FALSE(Exists(ExeDir + "generic.sys"));
  // No "installed" notice after the error.
  ExpectOneBox(TMsgKind::Error,
               "Impossible de créer le fichier \"" + ExeDir + "10720003.hex\". Est un dossier");
  EXPECT_EQ(Button, (std::vector<bool>{false, false}));
}

TEST_F(PiloteClickTest, FileCutShortIsRemovedAndReported) {
  // A file-size limit below the INF's size makes the write fail half-way.
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
  ExpectOneBox(TMsgKind::Error,
               "Impossible d'écrire le fichier \"" + ExeDir + "Termkvz.inf\". Fichier trop volumineux");
  EXPECT_TRUE(Fake->Calls().empty());
  EXPECT_EQ(Button, (std::vector<bool>{false, true}));
}

// --- The host's callbacks ---------------------------------------------------------

TEST_F(PiloteClickTest, EmptyHostCallbacksAreNoTerminalAndNoButton) {
  TFakeInstaller fake(Root, 1);
  auto platform = NewDriverPlatform(TestOptions(ExeDir, RulesDir, fake.Script));
  PiloteClick(TDriverHost{}, *platform);
  ExpectOneBox(TMsgKind::Information, Prompt());
}

}  // namespace
