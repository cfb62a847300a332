// The demo's tour run as a process, as the run script runs it: its verdict,
// its pictures and its protocol trace.
#include <gtest/gtest.h>

#include <QImage>
#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

namespace {

struct TTourRun {
  int ExitCode = -1;
  bool Finished = false;
  QStringList Trace;
  QString Errors;
};

TTourRun RunTour(const QString& dir, const QStringList& extra = {}) {
  QProcess p;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
  p.setProcessEnvironment(env);
  p.start(QStringLiteral(KVZ_DEMO_EXE), QStringList{QStringLiteral("--tour"), dir, QStringLiteral("--tour-limit"),
                                                    QStringLiteral("60")} + extra);
  TTourRun r;
  if (!p.waitForStarted(10000)) return r;
  r.Finished = p.waitForFinished(90000);
  if (!r.Finished) {
    p.kill();
    p.waitForFinished(5000);
    return r;
  }
  r.ExitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
  r.Trace = QString::fromLatin1(p.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
  r.Errors = QString::fromUtf8(p.readAllStandardError());
  return r;
}

// The bytes of one trace line, or none when it is not "TERM< " / "TERM> "
// followed by upper-case hex pairs.
std::vector<int> Bytes(const QString& line) {
  static const QRegularExpression form(QStringLiteral("^TERM[<>]( [0-9A-F]{2})+$"));
  if (!form.match(line).hasMatch()) return {};
  std::vector<int> out;
  for (const QString& h : line.mid(6).split(QLatin1Char(' '))) out.push_back(h.toInt(nullptr, 16));
  return out;
}

}  // namespace

TEST(DemoTour, RunsAWholeUpgradeAndLeavesPicturesAndTrace) {
  QTemporaryDir tmp;
  const QString dir = tmp.filePath(QStringLiteral("captures"));
  const TTourRun r = RunTour(dir);
  ASSERT_TRUE(r.Finished) << "the tour did not end";
  EXPECT_EQ(r.ExitCode, 0) << r.Errors.toStdString();

  for (const char* name : {"00-terminal-virtuel", "01-fenetre-principale", "02-identite-terminal", "03-transfert",
                           "04-message-succes", "04-message-succes-boite", "05-identite-apres"}) {
    const QImage img(dir + QLatin1Char('/') + QLatin1String(name) + QStringLiteral(".png"));
    EXPECT_FALSE(img.isNull()) << name;
    EXPECT_GT(img.width(), 100) << name;
  }

  ASSERT_FALSE(r.Trace.isEmpty());
  // The identity request comes first.
  EXPECT_EQ(r.Trace.first(), QStringLiteral("TERM< 55 80 FF 07 00 01 2C"));
  int answers = 0, blocks = 0, endBlocks = 0;
  for (const QString& line : r.Trace) {
    const std::vector<int> b = Bytes(line);
    ASSERT_GE(b.size(), 6u) << line.toStdString();
    // Every traced frame is whole: its length field and its checksum agree.
    EXPECT_EQ(b[0], 0x55) << line.toStdString();
    EXPECT_EQ(static_cast<size_t>(b[3] | b[4] << 8), b.size()) << line.toStdString();
    int x = 0;
    for (size_t i = 0; i + 1 < b.size(); ++i) x ^= b[i];
    EXPECT_EQ(x, b.back()) << line.toStdString();
    if (line.startsWith(QLatin1String("TERM> "))) ++answers;
    if (line.startsWith(QLatin1String("TERM< 55 8A FF"))) {
      ++blocks;
      if (line.startsWith(QLatin1String("TERM< 55 8A FF 0C 00 00 00 FF FF 00 00"))) ++endBlocks;
    }
  }
  EXPECT_GT(answers, 0);
  // The sample firmware's 32 pages, then the end block.
  EXPECT_EQ(blocks, 33);
  EXPECT_EQ(endBlocks, 1);
}

TEST(DemoTour, EndsWithAFailureWhenTheTerminalRefusesItsBootProgram) {
  QTemporaryDir tmp;
  const TTourRun r = RunTour(tmp.path(), {QStringLiteral("--fault"), QStringLiteral("boot:statut=20:toujours")});
  ASSERT_TRUE(r.Finished) << "the tour did not end";
  EXPECT_NE(r.ExitCode, 0);
  // The transmission error dialog was answered, not left waiting.
  bool boxPicture = false;
  for (const QString& f : QDir(tmp.path()).entryList({QStringLiteral("message-*.png")})) boxPicture = !f.isEmpty();
  EXPECT_TRUE(boxPicture);
  for (const QString& line : r.Trace) EXPECT_FALSE(line.startsWith(QLatin1String("TERM< 55 8A FF")));
}
