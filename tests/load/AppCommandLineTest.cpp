// The real program's command line: a firmware file given instead of the one
// beside the executable, and the support trace of frames and messages. The
// trace's file: never a firmware file, never through a link, appended to,
// private; the password hidden; time stamps to the millisecond.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>
#include <ctime>
#include <tuple>

#include "AppParts.h"
#include "AppTrace.h"
#include "F_Main.h"
#include "Frames.h"
#include "LoadRig.h"
#include "MotTestUtil.h"
#include "ScriptedPresenter.h"
#include "SimHidBus.h"
#include "U_Paths.h"
#include "U_Textes.h"

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

std::string Read(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll().toStdString() : std::string("<absent>");
}

void Write(const QString& path, const char* text) {
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write(text);
}

class AppTraceFile : public testing::Test {
 protected:
  void SetUp() override {
    Exe = Dir.filePath("exe");
    QDir().mkpath(Exe);
    Beside = Exe + "/Firmware.mot";
    Given = Dir.filePath("given.s19");
    Write(Beside, "S0 beside\n");
    Write(Given, "S0 given\n");
    Guard = TTraceGuard{Given.toStdString(), Exe.toStdString()};
  }
  // Opens `path` for a trace: "opened", "refused" (a firmware file) or
  // "failed"; the firmware files must be untouched either way.
  std::string Open(const QString& path) {
    bool refused = false;
    std::FILE* f = OpenTraceFile(path.toStdString(), "VelmoraUpgrade", Guard, &refused);
    if (f) std::fclose(f);
    EXPECT_EQ(Read(Beside), "S0 beside\n");
    EXPECT_EQ(Read(Given), "S0 given\n");
    return f ? "opened" : refused ? "refused" : "failed";
  }
  QTemporaryDir Dir;
  QString Exe, Beside, Given;
  TTraceGuard Guard;
};

TEST_F(AppTraceFile, NeverAFirmwareFileNorALink) {
  const QString hard = Dir.filePath("hard.txt"), other = Dir.filePath("other.txt");
  Write(other, "keep");
  ASSERT_EQ(0, link(Beside.toLocal8Bit().constData(), hard.toLocal8Bit().constData()));
  ASSERT_TRUE(QFile::link(Given, Dir.filePath("to-given.txt")));
  ASSERT_TRUE(QFile::link(other, Dir.filePath("to-other.txt")));
  ASSERT_EQ(0, mkfifo(Dir.filePath("fifo").toLocal8Bit().constData(), 0600));
  // Refused: the firmware named on the command line and the one beside the
  // program, by their names (also through "..") or as files (a hard link),
  // any ".mot". Failed: links, whatever they lead to, and anything but a
  // regular file (a FIFO does not even block).
  const std::vector<std::pair<QString, const char*>> cases{{Given, "refused"},
                                                           {Dir.filePath("exe/../given.s19"), "refused"},
                                                           {Beside, "refused"},
                                                           {hard, "refused"},
                                                           {Exe + "/nouveau.MOT", "refused"},
                                                           {Dir.filePath("to-given.txt"), "failed"},
                                                           {Dir.filePath("to-other.txt"), "failed"},
                                                           {Dir.filePath("fifo"), "failed"}};
  for (const auto& [path, expected] : cases) EXPECT_EQ(Open(path), expected) << path.toStdString();
  EXPECT_FALSE(QFile::exists(Exe + "/nouveau.MOT")) << "nothing created";
  EXPECT_EQ(Read(other), "keep");
  const QString cwd = QDir::currentPath();
  ASSERT_TRUE(QDir::setCurrent(Exe));
  EXPECT_EQ(Open("Firmware.mot"), "refused");  // "--trace Firmware.mot" in the program's folder
  QDir::setCurrent(cwd);
  Guard.FirmwareFile = Dir.filePath("absent.bin").toStdString();  // not there yet
  EXPECT_EQ(Open(Dir.filePath("absent.bin")), "refused");
  EXPECT_FALSE(QFile::exists(Dir.filePath("absent.bin")));
  EXPECT_NE(GetTexte("_Err_TraceIsFirmware").find("--trace"), std::string::npos);
}

TEST_F(AppTraceFile, AppendedAfterAnOpeningLineNewOnesPrivateNotInherited) {
  const QString old = Dir.filePath("old.txt"), fresh = Dir.filePath("new.txt");
  Write(old, "earlier line\n");
  ASSERT_EQ(0, chmod(old.toLocal8Bit().constData(), 0644));
  const mode_t mask = umask(022);
  for (const QString& path : {old, fresh}) {
    TAppTrace trace;
    ASSERT_TRUE(trace.Open(path.toStdString(), Guard));
    trace.Frame(true, {0x55, 0x80, 0xFF, 0x07, 0x00, 0x01, 0x2C});
  }
  umask(mask);
  const std::string kept = Read(old);
  ASSERT_EQ(kept.rfind("earlier line\n", 0), 0u) << kept;
  EXPECT_NE(kept.find(" --- VelmoraUpgrade 1.0.5.0\n"), std::string::npos) << kept;
  EXPECT_EQ(kept.substr(kept.size() - 28), " TERM< 55 80 FF 07 00 01 2C\n");
  struct stat st {};
  ASSERT_EQ(0, stat(old.toLocal8Bit().constData(), &st));
  EXPECT_EQ(st.st_mode & 0777, 0644u) << "a file it did not create keeps its mode";
  ASSERT_EQ(0, stat(fresh.toLocal8Bit().constData(), &st));
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  std::FILE* f = OpenTraceFile(fresh.toStdString(), "VelmoraUpgrade", Guard);
  ASSERT_NE(f, nullptr);
  EXPECT_TRUE(fcntl(fileno(f), F_GETFD) & FD_CLOEXEC);
  std::fclose(f);
}

TEST(AppTraceText, FramesMessagesPasswordHiddenAndMillisecondsInThreeDigits) {
  EXPECT_EQ(TAppTrace::FrameText(true, {0x55, 0x80, 0xFF, 0x07, 0x00, 0x01, 0x2C}),
            "TERM< 55 80 FF 07 00 01 2C");
  EXPECT_EQ(TAppTrace::FrameText(false, {0x55, 0x06, 0x00}), "TERM> 55 06 00");
  TMessage m;
  m.Kind = TMsgKind::Warning;
  m.Text = "ligne 1\n\rligne 2";
  EXPECT_EQ(TAppTrace::MessageText(m), "MSG Warning - ligne 1\\n\\rligne 2");
  m.Kind = TMsgKind::Plain;
  m.Key = "_LoadVelmoraOk";
  m.Text = "ok";
  EXPECT_EQ(TAppTrace::MessageText(m), "MSG Plain _LoadVelmoraOk ok");
  TAppTrace nowhere;
  EXPECT_FALSE(nowhere.Open("/nonexistent-folder/trace.txt"));
  nowhere.Frame(true, {0x55});  // nothing happens without a file
  // 55 82 FF 16 00, "abc" padded to 16 bytes, checksum.
  std::vector<uint8_t> frame{0x55, 0x82, 0xFF, 0x16, 0x00, 'a', 'b', 'c'};
  frame.resize(21, 0);
  frame.push_back(0x5E);
  std::string masked = "TERM< 55 82 FF 16 00";
  for (int i = 0; i < 16; ++i) masked += " **";
  EXPECT_EQ(TAppTrace::FrameText(true, frame), masked + " 5E");
  EXPECT_EQ(TAppTrace::FrameText(false, {0x55, 0x83, 0xFF, 0x08, 0x00, 0x01, 0x00, 0x2F}),
            "TERM> 55 83 FF 08 00 01 00 2F");
  std::tm tm{};  // 2026-12-09 10:15:02, local time
  std::tie(tm.tm_year, tm.tm_mon, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, tm.tm_isdst) =
      std::make_tuple(126, 11, 9, 10, 15, 2, -1);
  const auto second = std::chrono::system_clock::from_time_t(std::mktime(&tm));
  for (const auto& [ms, text] :
       std::vector<std::pair<int, const char*>>{{0, ".000"}, {7, ".007"}, {70, ".070"}, {999, ".999"}})
    EXPECT_EQ(TAppTrace::StampText(second + std::chrono::milliseconds(ms)),
              std::string("2026-12-09 10:15:02") + text);
}

}  // namespace
