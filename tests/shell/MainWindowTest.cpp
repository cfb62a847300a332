#include <gtest/gtest.h>

#include <QApplication>
#include <QFrame>
#include <QPushButton>
#include <QTimer>
#include <QWidget>

#include "F_Main.h"
#include "ScriptedPresenter.h"

namespace {

struct FakeFile : IMainFileMot {
  bool ok = true;
  std::string name = "fvXXXX";
  bool Load() override { return ok; }
  std::string VersionName() const override { return name; }
};

struct FakeDialogue : IMainDeviceDialogue {
  bool device = false;
  bool HasDevice() const override { return device; }
};

struct FakeUpgrade : IMainUpgradeWindow {
  QWidget* w;
  bool busy = false;
  explicit FakeUpgrade(QWidget* parent) : w(new QWidget(parent)) {}
  QWidget* Widget() override { return w; }
  bool Busy() const override { return busy; }
};

struct Harness {
  bool fileOk = true;
  std::string version = "fvXXXX";
  bool deviceAtStart = false;
  FakeDialogue* dialogue = nullptr;
  std::vector<std::unique_ptr<FakeUpgrade>> upgrades;
  int dialoguesMade = 0;

  TMainParts Parts() {
    TMainParts p;
    p.CreateFileMot = [this] {
      auto f = std::make_unique<FakeFile>();
      f->ok = fileOk;
      f->name = version;
      return f;
    };
    p.CreateCommonDlg = [this](TfrmMain* owner) {
      ++dialoguesMade;
      auto d = std::make_unique<FakeDialogue>();
      d->device = deviceAtStart;
      dialogue = d.get();
      owner->SetConnected(deviceAtStart);
      return d;
    };
    p.CreateUpgradeWindow = [this](TfrmMain*, QWidget* parent) {
      upgrades.push_back(std::make_unique<FakeUpgrade>(parent));
      return upgrades.back().get();
    };
    return p;
  }
};

TEST(MainWindow, CaptionsCarryTheVersionNameAndButtonsFollowTheTerminal) {
  Harness h;
  h.version = "fv0042";
  TfrmMain w(h.Parts());
  EXPECT_EQ(frmMain, &w);
  EXPECT_TRUE(w.Usable());
  EXPECT_EQ(w.windowTitle(), "VelmoraUpgrade - fv0042");
  EXPECT_EQ(w.btnLoad->text(), "Chargement de la version fv0042 du terminal de programmation");
  EXPECT_EQ(w.btnPilote->text(), "Installation du pilote du terminal de programmation");
  EXPECT_EQ(w.btnExit->text(), "Quitter");
  EXPECT_FALSE(w.btnLoad->isEnabled());
  EXPECT_TRUE(w.btnPilote->isEnabled());
  // The buttons follow the terminal's presence.
  w.SetConnected(true);
  EXPECT_TRUE(w.btnLoad->isEnabled());
  EXPECT_FALSE(w.btnPilote->isEnabled());
  w.SetConnected(false);
  EXPECT_FALSE(w.btnLoad->isEnabled());
  EXPECT_TRUE(w.btnPilote->isEnabled());
}

TEST(MainWindow, UnusableFileQueuesQuitAndKeepsDefaults) {
  Harness h;
  h.fileOk = false;
  TfrmMain w(h.Parts());
  EXPECT_FALSE(w.Usable());
  EXPECT_EQ(h.dialoguesMade, 0) << "the device dialogue is not created";
  EXPECT_EQ(w.windowTitle(), "VelmoraUpgrade - fvXXXX");
  EXPECT_EQ(w.btnLoad->text(), "Chargement de la version fvXXXX du terminal de programmation");
  // The queued quit request ends the message loop at once.
  QTimer guard;
  guard.setSingleShot(true);
  bool timedOut = false;
  QObject::connect(&guard, &QTimer::timeout, [&] {
    timedOut = true;
    qApp->quit();
  });
  guard.start(3000);
  qApp->exec();
  EXPECT_FALSE(timedOut);
}

TEST(MainWindow, LoadWithoutTerminalSaysSoAndChangesNothing) {
  Harness h;
  TfrmMain w(h.Parts());
  TScriptedPresenter p;
  w.btnLoadClick();
  ASSERT_EQ(p.Shown.size(), 1u);
  EXPECT_EQ(p.Shown[0].Kind, TMsgKind::Information);
  EXPECT_EQ(p.Shown[0].Text, "Aucun terminal de programmation d\xC3\xA9tect\xC3\xA9 sur votre ordinateur.");
  EXPECT_TRUE(h.upgrades.empty());
}

TEST(MainWindow, TerminalAtStartOpensTheUpgradeWindowAndBusyRefusesClose) {
  Harness h;
  h.deviceAtStart = true;
  auto* w = new TfrmMain(h.Parts());
  ASSERT_EQ(h.upgrades.size(), 1u);
  EXPECT_EQ(frmVMUpgradePart, h.upgrades[0].get());
  EXPECT_EQ(h.upgrades[0]->w->parentWidget(), static_cast<QWidget*>(w->pnlDatas));
  EXPECT_TRUE(w->btnLoad->isEnabled());
  w->show();
  h.upgrades[0]->busy = true;
  EXPECT_FALSE(w->close()) << "Quit during a transfer does nothing";
  EXPECT_TRUE(w->isVisible());
  h.upgrades[0]->busy = false;
  EXPECT_TRUE(w->close());
  // The owner destroys the embedded window with itself.
  h.upgrades[0]->w = nullptr;
  delete w;
  EXPECT_EQ(frmMain, nullptr);
  EXPECT_EQ(frmVMUpgradePart, nullptr);
}

}  // namespace
