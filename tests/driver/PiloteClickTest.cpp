// The driver button from end to end, on this platform, in temporary folders
// with a fake pkexec.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>

#include "DriverTestSupport.h"
#include "ScriptedPresenter.h"
#include "TestCatalogue.h"
#include "U_Textes.h"
#include "driver.h"

namespace {

const char* const kWritten[] = {"Termkvz.inf", "10720003.hex", "termkvz.sys", "generic.sys",
                                "70-terminal-kvz.rules"};
const char* const kResources[] = {"INF", "HEX", "SYSTERM", "SYSGEN", "UDEV"};

class PiloteClickTest : public ::testing::Test {
 protected:
  PiloteClickTest() : ExeDir(Root.MakeDir("Velmora Upgrade")), RulesDir(Root.MakeDir("rules.d")) {}

  TDriverHost Host() {
    TDriverHost h;
    h.TerminalHeld = [this] { return Terminal; };
    h.SetPiloteEnabled = [this](bool e) { Button.push_back(e); };
    return h;
  }

  // Clicks with a fake pkexec exiting with `code` for the install step.
  void Click(int code, bool runCommand = false) {
    Fake = std::make_unique<TFakeInstaller>(Root, code, 0, runCommand);
    Click(Fake->Script);
  }
  void Click(const std::string& installer) {
    auto platform = NewDriverPlatform(TestOptions(ExeDir, RulesDir, installer));
    PiloteClick(Host(), *platform);
  }

  std::string InstalledRule() const { return RulesDir + kUdevRuleFileName; }
  std::string Prompt() const { return GetTexte("_ReconnectVelmora") + "\n\r" + GetTexte("_ConnectVelmora"); }
  // What the user reads when the rule could not be installed, for the rules
  // folder `rulesDir` (with its final separator).
  std::string NotInstalled(std::string rulesDir) const {
    rulesDir.pop_back();
    return "La règle d'accès au terminal de programmation n'a pas pu être installée. Un administrateur doit "
           "copier le fichier " +
           ExeDir + kUdevRuleFileName + " dans le dossier " + rulesDir +
           ", puis déconnecter et reconnecter le terminal.";
  }
  void ExpectNotInstalledShown() {
    ASSERT_EQ(Presenter.Shown.size(), 1u);
    EXPECT_EQ(Presenter.Shown[0].Kind, TMsgKind::Information);
    EXPECT_EQ(Presenter.Shown[0].Key, "_Err_RuleNotInstalled");
    EXPECT_EQ(Presenter.Shown[0].Text, NotInstalled(RulesDir));
  }

  TCatalogueScope Catalogue;
  TScriptedPresenter Presenter;
  TTempDir Root;
  std::string ExeDir;
  std::string RulesDir;
  bool Terminal = false;
  std::vector<bool> Button;
  std::unique_ptr<TFakeInstaller> Fake;
};

// --- A terminal is held ------------------------------------------------------

TEST_F(PiloteClickTest, TerminalHeldWritesFilesConfirmsAndInstallsNothing) {
  Terminal = true;
  Click(0, true);
  for (const char* f : kWritten) EXPECT_TRUE(Exists(ExeDir + f)) << f;
  ASSERT_EQ(Presenter.Shown.size(), 1u);
  EXPECT_EQ(Presenter.Shown[0].Kind, TMsgKind::Plain);
  EXPECT_EQ(Presenter.Shown[0].Text, "Le pilote est correctement installé.");
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

TEST_F(PiloteClickTest, InstallerSuccessIsNotFollowedByTheCopy) {
  Click(0);                             // reports success but installs nothing
  EXPECT_EQ(Fake->Calls().size(), 2u);  // install, then reload
  EXPECT_FALSE(Exists(InstalledRule()));
  ExpectNotInstalledShown();  // the driver file is absent: no prompt, the way out instead
  EXPECT_EQ(Button, (std::vector<bool>{false, true}));
}

TEST_F(PiloteClickTest, InstallerThatInstallsLeadsToThePrompt) {
  Click(0, true);
  EXPECT_EQ(ReadBytes(InstalledRule()), DriverResourceBytes("UDEV"));
  ASSERT_EQ(Presenter.Shown.size(), 1u);
  EXPECT_EQ(Presenter.Shown[0].Kind, TMsgKind::Information);
  EXPECT_EQ(Presenter.Shown[0].Text, Prompt());
}

TEST_F(PiloteClickTest, InstallerFailureIsFollowedByTheCopy) {
  for (int code : {1, 126, 127, 255, -9}) {
    SCOPED_TRACE(code);
    std::filesystem::remove(InstalledRule());
    Presenter.Clear();
    Click(code);
    EXPECT_EQ(Fake->Calls().size(), 1u);  // no reload after a failed install
    EXPECT_EQ(ReadBytes(InstalledRule()), DriverResourceBytes("UDEV"));
    ASSERT_EQ(Presenter.Shown.size(), 1u);
    EXPECT_EQ(Presenter.Shown[0].Text, Prompt());
  }
}

TEST_F(PiloteClickTest, UnstartableInstallerIsFollowedByTheCopy) {
  Click(Root.Path() + "/no such pkexec");
  EXPECT_EQ(ReadBytes(InstalledRule()), DriverResourceBytes("UDEV"));
  ASSERT_EQ(Presenter.Shown.size(), 1u);
  EXPECT_EQ(Presenter.Shown[0].Text, Prompt());
  EXPECT_EQ(Button, (std::vector<bool>{false, true}));
}

TEST_F(PiloteClickTest, CopyNeverOverwritesAnInstalledRule) {
  WriteBytes(InstalledRule(), "# the administrator's own rule\n");
  Click(1);
  EXPECT_EQ(ReadBytes(InstalledRule()), "# the administrator's own rule\n");
  // The file is there, so the user is still prompted.
  ASSERT_EQ(Presenter.Shown.size(), 1u);
  EXPECT_EQ(Presenter.Shown[0].Text, Prompt());
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

// --- The prompt ----------------------------------------------------------------

TEST_F(PiloteClickTest, PromptJoinsReconnectThenConnectByLfCr) {
  Click(1);
  ASSERT_EQ(Presenter.Shown.size(), 1u);
  const std::string& text = Presenter.Shown[0].Text;
  const std::string reconnect =
      "- Si votre terminal de programmation est connecté, déconnectez et reconnectez le terminal.";
  const std::string connect =
      "- Si votre terminal de programmation n'est pas connecté, connectez le terminal.";
  EXPECT_EQ(text, reconnect + "\n\r" + connect);
}

TEST_F(PiloteClickTest, TerminalPluggedDuringThePromptDisablesTheButton) {
  Presenter.OnMessage = [this](const TMessage&) { Terminal = true; };
  Click(1);
  EXPECT_EQ(Button, (std::vector<bool>{false, false}));
}

TEST_F(PiloteClickTest, InstallDriverResultIsWhetherATerminalIsHeldAfterThePrompt) {
  TFakeInstaller fake(Root, 1);
  auto platform = NewDriverPlatform(TestOptions(ExeDir, RulesDir, fake.Script));
  WriteDriverFiles(*platform);
  EXPECT_FALSE(InstallDriver(Host(), *platform));
  Presenter.OnMessage = [this](const TMessage&) { Terminal = true; };
  EXPECT_TRUE(InstallDriver(Host(), *platform));
  // Nothing shown, nothing held: false.
  std::filesystem::remove(InstalledRule());
  RulesDir = Root.Path() + "/missing/";
  auto nowhere = NewDriverPlatform(TestOptions(ExeDir, RulesDir, fake.Script));
  Terminal = false;
  Presenter.Clear();
  EXPECT_FALSE(InstallDriver(Host(), *nowhere));
  ASSERT_EQ(Presenter.Shown.size(), 1u);  // no prompt: what to do instead
  EXPECT_EQ(Presenter.Shown[0].Text, NotInstalled(RulesDir));
}

// --- Directory with spaces -----------------------------------------------------

TEST_F(PiloteClickTest, DirectoriesWithSpacesReachTheInstallerAsOneArgument) {
  ExeDir = Root.MakeDir("Mes documents/Velmora Upgrade 1.0");
  const std::string runtime = Root.MakeDir("run time");
  TEnvScope env("XDG_RUNTIME_DIR", runtime.c_str());
  Click(0, true);
  const auto calls = Fake->Calls();
  ASSERT_EQ(calls.size(), 2u);
  ASSERT_EQ(calls[0].size(), 7u);
  EXPECT_EQ(calls[0][5].rfind(runtime + "kvz-rule-", 0), 0u) << calls[0][5];
  EXPECT_EQ(ReadBytes(InstalledRule()), DriverResourceBytes("UDEV"));
}

// --- Files that cannot be created ------------------------------------------------

TEST_F(PiloteClickTest, FolderUnderARegularFileStopsWithTheCreationError) {
  // Running as root, a read-only mode does not stop creation: the folder is
  // made impossible instead, a path under a regular file.
  WriteBytes(Root.Path() + "/VelmoraUpgrade", "an executable");
  ExeDir = Root.Path() + "/VelmoraUpgrade/";
  Fake = std::make_unique<TFakeInstaller>(Root, 0, 0, true);
  Click(Fake->Script);
  ASSERT_EQ(Presenter.Shown.size(), 1u);
  EXPECT_EQ(Presenter.Shown[0].Kind, TMsgKind::Error);
  EXPECT_EQ(Presenter.Shown[0].Text,
            "Impossible de créer le fichier \"" + ExeDir + "Termkvz.inf\". N'est pas un dossier");
  EXPECT_TRUE(Fake->Calls().empty());
  EXPECT_FALSE(Exists(InstalledRule()));
  EXPECT_EQ(Button, (std::vector<bool>{false, true}));
}

TEST_F(PiloteClickTest, SameNamedFolderStopsTheWritingAtThatFile) {
  std::filesystem::create_directory(ExeDir + "10720003.hex");
  Terminal = true;
  Click(0);
  EXPECT_EQ(ReadBytes(ExeDir + "Termkvz.inf"), DriverResourceBytes("INF"));
  EXPECT_FALSE(Exists(ExeDir + "termkvz.sys"));
  EXPECT_FALSE(Exists(ExeDir + "generic.sys"));
  ASSERT_EQ(Presenter.Shown.size(), 1u);  // no "installed" notice after the error
  EXPECT_EQ(Presenter.Shown[0].Kind, TMsgKind::Error);
  EXPECT_EQ(Presenter.Shown[0].Text,
            "Impossible de créer le fichier \"" + ExeDir + "10720003.hex\". Est un dossier");
  EXPECT_EQ(Button, (std::vector<bool>{false, false}));
}

TEST_F(PiloteClickTest, ReadOnlyFolderStopsWithPermissionRefused) {
  if (::geteuid() == 0) GTEST_SKIP() << "root ignores a read-only folder";
  std::filesystem::permissions(ExeDir,
                               std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
  Click(0);
  ASSERT_EQ(Presenter.Shown.size(), 1u);
  EXPECT_EQ(Presenter.Shown[0].Text,
            "Impossible de créer le fichier \"" + ExeDir + "Termkvz.inf\". Permission non accordée");
  EXPECT_EQ(Button, (std::vector<bool>{false, true}));
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
  ASSERT_EQ(Presenter.Shown.size(), 1u);
  EXPECT_EQ(Presenter.Shown[0].Kind, TMsgKind::Error);
  EXPECT_EQ(Presenter.Shown[0].Text,
            "Impossible d'écrire le fichier \"" + ExeDir + "Termkvz.inf\". Fichier trop volumineux");
  EXPECT_TRUE(Fake->Calls().empty());
  EXPECT_EQ(Button, (std::vector<bool>{false, true}));
}

// --- The host's callbacks ---------------------------------------------------------

TEST_F(PiloteClickTest, EmptyHostCallbacksAreNoTerminalAndNoButton) {
  TFakeInstaller fake(Root, 1);
  auto platform = NewDriverPlatform(TestOptions(ExeDir, RulesDir, fake.Script));
  PiloteClick(TDriverHost{}, *platform);
  ASSERT_EQ(Presenter.Shown.size(), 1u);
  EXPECT_EQ(Presenter.Shown[0].Text, Prompt());
}

}  // namespace
