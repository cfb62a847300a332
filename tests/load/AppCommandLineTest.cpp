// The real program's command line: a firmware file given instead of the one
// beside the executable, and the support trace of frames and messages.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFile>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>

#include "AppParts.h"
#include "AppTrace.h"
#include "F_Main.h"
#include "F_VMUpgrade.h"
#include "Frames.h"
#include "LoadRig.h"
#include "ModalDriver.h"
#include "MotTestUtil.h"
#include "ScriptedPresenter.h"
#include "SimHidBus.h"
#include "U_Paths.h"
#include "VirtualTerminal.h"

namespace {

TAppCommandLine Parse(std::vector<std::string> args, std::string* error = nullptr) {
  TAppCommandLine out;
  std::string e;
  const bool ok = ParseAppCommandLine(args, out, e);
  if (error) *error = ok ? std::string() : e;
  return out;
}

TEST(AppCommandLine, FileTraceAndMistakes) {
  EXPECT_EQ(Parse({}).FirmwareFile, "");
  EXPECT_EQ(Parse({}).TraceFile, "");
  EXPECT_EQ(Parse({"/tmp/a b.mot"}).FirmwareFile, "/tmp/a b.mot");
  const TAppCommandLine both = Parse({"--trace", "t.txt", "f.mot"});
  EXPECT_EQ(both.TraceFile, "t.txt");
  EXPECT_EQ(both.FirmwareFile, "f.mot");
  EXPECT_EQ(Parse({"f.mot", "--trace=t.txt"}).TraceFile, "t.txt");
  EXPECT_TRUE(Parse({"-h"}).Help);
  std::string error;
  Parse({"--trace"}, &error);
  EXPECT_EQ(error, "L'option --trace attend le nom du fichier de trace.");
  Parse({"--trace="}, &error);
  EXPECT_EQ(error, "L'option --trace attend le nom du fichier de trace.");
  Parse({"--verbose"}, &error);
  EXPECT_EQ(error, "Option inconnue : --verbose");
  Parse({"a.mot", "b.mot"}, &error);
  EXPECT_EQ(error, "Un seul fichier firmware peut \xC3\xAAtre donn\xC3\xA9 (a.mot, b.mot).");
  EXPECT_NE(AppUsage().find("--trace FICHIER"), std::string::npos);
}

TEST(AppTrace, WholeLoadIsTracedWithTimeStamps) {
  TLoadRig rig;  // its firmware file beside the (pretended) executable
  QTemporaryDir dir;
  const QString path = dir.filePath("trace.txt");
  TAppTrace trace;
  ASSERT_TRUE(trace.Open(path.toStdString()));
  TTracingPresenter tracing(*rig.Person, trace);
  IMessagePresenter* previous = SetMessagePresenter(&tracing);
  TAppOptions options;
  options.Trace = &trace;
  rig.Start(TLoadRig::TerminalConfig(), true, options);
  const bool ended = rig.WaitLoadEnd();
  rig.Main.reset();
  SetMessagePresenter(previous);
  ASSERT_TRUE(ended);
  ASSERT_TRUE(rig.Shown(kOk));

  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  const QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
  ASSERT_FALSE(lines.isEmpty());
  const QRegularExpression stamp(
      QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} (TERM[<>]|MSG|---) "));
  for (const QString& l : lines) EXPECT_TRUE(stamp.match(l).hasMatch()) << l.toStdString();
  auto count = [&](const QString& tail) {
    int n = 0;
    for (const QString& l : lines)
      if (l.mid(24) == tail) ++n;
    return n;
  };
  // The identity read, its answer as the terminal sent it, the end block.
  EXPECT_GE(count("TERM< 55 80 FF 07 00 01 2C"), 1);
  EXPECT_EQ(
      count(QString::fromStdString(TAppTrace::FrameText(true, BuildFrame({0, 0, 0xFF, 0xFF, 0, 0}, 0xFF8A)))),
      1);
  EXPECT_EQ(count("MSG Plain _LoadVelmoraOk Chargement du terminal de programmation r\xC3\xA9"
                  "alis\xC3\xA9 avec succ\xC3\xA8s"),
            1);
  // Every frame the terminal got and sent is in the trace, in its order.
  for (const bool toTerminal : {true, false}) {
    QStringList traced, expected;
    for (const QString& l : lines)
      if (l.mid(24).startsWith(toTerminal ? "TERM<" : "TERM>")) traced << l.mid(24);
    for (const auto& f : toTerminal ? rig.Terminal->FramesReceived() : rig.Terminal->FramesSent())
      expected << QString::fromStdString(TAppTrace::FrameText(toTerminal, f));
    EXPECT_EQ(traced, expected);
  }
}

// The main window on the real parts with an empty bus: the firmware file
// given on the command line, or the one beside the program, names the
// captions; without a usable one the window quits at once and never looks
// for the terminal.
TEST(MainWindow, TakesTheGivenFileCaptionsFollowItAndTheButtonsTheTerminal) {
  TScriptedPresenter presenter;
  QTemporaryDir exeDir, elsewhere;
  SetExecutablePathForTesting(exeDir.filePath("VelmoraUpgrade").toStdString());
  const TBytes image = HeaderPage(true, "01/02/2011", 9, "fv0777", 256);
  QFile f(elsewhere.filePath("livré le 3 mars.mot"));
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  const std::string text = MotFile(DataLines(image, 0x8000));
  f.write(text.data(), static_cast<qint64>(text.size()));
  f.close();
  auto bus = std::make_shared<TSimHidBus>();
  auto captions = [](const TfrmMain& w) {
    return QStringList{w.windowTitle(), w.btnLoad->text(), w.btnPilote->text(), w.btnExit->text()};
  };
  auto captionsOf = [](const QString& version) {
    return QStringList{"VelmoraUpgrade - " + version,
                       "Chargement de la version " + version + " du terminal de programmation",
                       "Installation du pilote du terminal de programmation", "Quitter"};
  };
  {
    TAppOptions options;
    options.FirmwareFile = f.fileName().toStdString();
    TfrmMain main(MakeApplicationParts(bus, options));
    EXPECT_EQ(frmMain, &main);
    EXPECT_TRUE(main.Usable());
    EXPECT_EQ(captions(main), captionsOf("fv0777"));
    EXPECT_TRUE(presenter.Shown.empty());
    // The buttons follow the terminal's presence.
    auto buttons = [&main] { return std::make_pair(main.btnLoad->isEnabled(), main.btnPilote->isEnabled()); };
    EXPECT_EQ(buttons(), std::make_pair(false, true));
    main.SetConnected(true);
    EXPECT_EQ(buttons(), std::make_pair(true, false));
    main.SetConnected(false);
    EXPECT_EQ(buttons(), std::make_pair(false, true));
  }
  {
    // Without it, the folder of the program, which holds none here: the
    // captions keep their defaults, the device dialogue is not made, and the
    // queued quit ends the event loop at once.
    TfrmMain main(MakeApplicationParts(bus));
    EXPECT_FALSE(main.Usable());
    EXPECT_EQ(MainCommonDlg(), nullptr);
    EXPECT_EQ(captions(main), captionsOf("fvXXXX"));
    ASSERT_EQ(presenter.Shown.size(), 1u);
    EXPECT_EQ(presenter.Shown[0].Key, "_FileMotNoFile");
    QTimer guard;
    bool timedOut = false;
    QObject::connect(&guard, &QTimer::timeout, [&] {
      timedOut = true;
      qApp->quit();
    });
    guard.start(3000);
    qApp->exec();
    EXPECT_FALSE(timedOut);
  }
  presenter.Clear();
  {
    TAppOptions options;
    options.FirmwareFile = elsewhere.filePath("absent.mot").toStdString();
    TfrmMain main(MakeApplicationParts(bus, options));
    EXPECT_FALSE(main.Usable());
    ASSERT_EQ(presenter.Shown.size(), 1u);
    EXPECT_EQ(presenter.Shown[0].Key, "_Err_FileMotNotFound");
    EXPECT_EQ(presenter.Shown[0].Text, "Fichier firmware introuvable ou illisible : " +
                                           elsewhere.filePath("absent.mot").toStdString());
  }
  SetExecutablePathForTesting(std::string());
}

}  // namespace
