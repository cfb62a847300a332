// The support trace's file: never a firmware file, never through a link,
// appended to, private; the password hidden; time stamps to the millisecond.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <ctime>
#include <tuple>

#include "AppTrace.h"
#include "U_Messages.h"
#include "U_Textes.h"

namespace {

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
