// The demo's tours run as processes, as the run script runs them: each
// road's verdict, its pictures, its trace, and the end of both processes.
// The "boites" road is the control window under every kind of box: with an
// information box, the password dialog, a warning, the transmission error
// dialog with Retry and the plain prompts up, "Terminal virtuel" (its own
// process) unplugs and replugs the terminal and the program's reaction is
// checked by the tour.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include "DemoScenarios.h"

namespace {

struct TTourRun {
  int ExitCode = -1;
  bool Finished = false;
  QStringList Trace;
  QString Errors;
  QString Result;
  qint64 Pid = 0;
};

TTourRun RunTour(const QString& dir, const QStringList& extra = {}) {
  QProcess p;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
  p.setProcessEnvironment(env);
  p.start(QStringLiteral(KVZ_DEMO_EXE), QStringList{QStringLiteral("--tour"), dir, QStringLiteral("--rapide"),
                                                    QStringLiteral("--tour-limit"), QStringLiteral("240")} +
                                            extra);
  TTourRun r;
  if (!p.waitForStarted(10000)) return r;
  r.Pid = p.processId();
  r.Finished = p.waitForFinished(270000);
  if (!r.Finished) {
    p.kill();
    p.waitForFinished(5000);
    return r;
  }
  r.ExitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
  r.Trace = QString::fromLatin1(p.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
  r.Errors = QString::fromUtf8(p.readAllStandardError());
  QFile f(QDir(dir).filePath(QStringLiteral("resultat.txt")));
  if (f.open(QIODevice::ReadOnly)) r.Result = QString::fromUtf8(f.readAll());
  return r;
}

// Processes still running whose command line holds `text`.
int ProcessesWith(const QString& text) {
  int n = 0;
  for (const QString& pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
    QFile f(QStringLiteral("/proc/%1/cmdline").arg(pid));
    if (f.open(QIODevice::ReadOnly) && f.readAll().contains(text.toUtf8())) ++n;
  }
  return n;
}

struct TRoad {
  const char* Name;
  QStringList Boxes;   // pictures of the boxes
  QStringList Others;  // other pictures
};

const std::vector<TRoad>& Roads() {
  static const std::vector<TRoad> roads = {
      {"nominal", {"04-message-succes"}, {"05-identite-apres"}},
      {"mot-de-passe",
       {"04-mot-de-passe", "05-mot-de-passe-refuse", "06-message-succes"},
       {"04-mot-de-passe-tape", "07-identite-apres"}},
      {"debranchement",
       {"04-deconnecter", "06-reconnecter", "08-message-succes"},
       {"05-terminal-debranche", "05-terminal-debranche-terminal-virtuel", "07-terminal-rebranche",
        "09-identite-apres"}},
      {"sans-reponse", {"04-pas-de-reponse", "05-message-succes"}, {"06-identite-apres"}},
      {"retrogradation",
       {"04-version-anterieure", "05-date-anterieure", "06-message-succes"},
       {"07-identite-apres"}},
      {"boites",
       {"04-information", "06-mot-de-passe", "08-avertissement", "10-erreur-transmission", "12-deconnecter",
        "13-reconnecter", "14-message-succes"},
       {"05-information-debranche", "05-information-rebranche", "07-mot-de-passe-debranche",
        "09-avertissement-debranche", "09-avertissement-rebranche", "11-erreur-transmission-debranche",
        "11-erreur-transmission-rebranche", "15-identite-apres"}},
  };
  return roads;
}

void PrintTo(const TRoad& road, std::ostream* os) { *os << road.Name; }

class DemoRoad : public ::testing::TestWithParam<TRoad> {};

}  // namespace

TEST_P(DemoRoad, EndsAsExpected) {
  const TRoad& road = GetParam();
  QTemporaryDir tmp;
  const QString dir = tmp.filePath(QStringLiteral("captures"));
  const TTourRun r = RunTour(dir, {QStringLiteral("--scenario"), QLatin1String(road.Name)});
  ASSERT_TRUE(r.Finished) << "the tour did not end";
  EXPECT_EQ(r.ExitCode, 0) << r.Errors.toStdString();
  EXPECT_TRUE(r.Result.startsWith(QStringLiteral("Tour « %1 » réussi.").arg(QLatin1String(road.Name))))
      << r.Result.toStdString();

  // Every box the tour met is in a picture, over the main window and alone.
  QStringList pictures =
      QStringList{"00-terminal-virtuel", "01-fenetre-principale", "02-identite-terminal", "03-transfert"} +
      road.Boxes + road.Others;
  for (const QString& box : road.Boxes) pictures << box + QStringLiteral("-boite");
  for (const QString& name : pictures) {
    const QImage img(dir + QLatin1Char('/') + name + QStringLiteral(".png"));
    EXPECT_GT(img.width(), 100) << name.toStdString();
  }
  EXPECT_TRUE(QDir(dir).entryList({QStringLiteral("inattendu-*")}).isEmpty());

  // The trace in the folder is the one on standard output, after its
  // opening line.
  QFile f(QDir(dir).filePath(QStringLiteral("trace.txt")));
  ASSERT_TRUE(f.open(QIODevice::ReadOnly));
  QStringList fileLines = QString::fromLatin1(f.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
  ASSERT_FALSE(fileLines.isEmpty());
  EXPECT_TRUE(fileLines.takeFirst().contains(QLatin1String(" --- VelmoraUpgradeDemo ")));
  EXPECT_EQ(fileLines, r.Trace);
  // It starts with the identity request; the end block goes once.
  ASSERT_FALSE(r.Trace.isEmpty());
  EXPECT_EQ(r.Trace.first(), QStringLiteral("TERM< 55 80 FF 07 00 01 2C"));
  EXPECT_EQ(
      r.Trace.filter(QRegularExpression(QStringLiteral("^TERM< 55 8A FF 0C 00 00 00 FF FF 00 00"))).size(),
      1);
  EXPECT_FALSE(r.Trace.filter(QRegularExpression(QStringLiteral("^TERM> "))).isEmpty());
  int blocks = 0;
  for (const QString& line : r.Trace) {
    // The password's bytes are hidden.
    if (line.startsWith(QLatin1String("TERM< 55 82 FF"))) {
      EXPECT_TRUE(line.contains(QLatin1String(" ** "))) << line.toStdString();
      continue;
    }
    // "TERM< " or "TERM> " and upper-case hex pairs.
    static const QRegularExpression form(QStringLiteral("^TERM[<>]( [0-9A-F]{2}){6,}$"));
    ASSERT_TRUE(form.match(line).hasMatch()) << line.toStdString();
    std::vector<int> b;
    for (const QString& h : line.mid(6).split(QLatin1Char(' '))) b.push_back(h.toInt(nullptr, 16));
    // Every traced frame is whole: its length field and its checksum agree.
    EXPECT_EQ(b[0], 0x55) << line.toStdString();
    EXPECT_EQ(static_cast<size_t>(b[3] | b[4] << 8), b.size()) << line.toStdString();
    int x = 0;
    for (size_t i = 0; i + 1 < b.size(); ++i) x ^= b[i];
    EXPECT_EQ(x, b.back()) << line.toStdString();
    if (line.startsWith(QLatin1String("TERM< 55 8A FF"))) ++blocks;
  }
  // The sample firmware's 32 pages and the end block, one more where a
  // block went unanswered and was sent again.
  const bool resent = road.Name == std::string("sans-reponse") || road.Name == std::string("boites");
  EXPECT_EQ(blocks, resent ? 34 : 33);

  // The road ended as a user ends the demo: the control window went with it.
  EXPECT_EQ(ProcessesWith(QStringLiteral("velmora-demo-%1-").arg(r.Pid)), 0);
}

INSTANTIATE_TEST_SUITE_P(Tour, DemoRoad, ::testing::ValuesIn(Roads()),
                         [](const ::testing::TestParamInfo<TRoad>& info) {
                           std::string n = info.param.Name;
                           for (char& c : n)
                             if (c == '-') c = '_';
                           return n;
                         });

TEST(DemoTour, EveryRoadIsTested) {
  QStringList tested;
  for (const TRoad& r : Roads()) tested << QLatin1String(r.Name);
  EXPECT_EQ(tested, ScenarioNames());
}

TEST(DemoTour, EndsWithAFailureWhenTheTerminalRefusesItsBootProgram) {
  QTemporaryDir tmp;
  const TTourRun r =
      RunTour(tmp.path(), {QStringLiteral("--fault"), QStringLiteral("boot:statut=20:toujours")});
  ASSERT_TRUE(r.Finished) << "the tour did not end";
  EXPECT_EQ(r.ExitCode, 1);
  // The transmission error dialog was answered, not left waiting, and it is
  // in a picture.
  EXPECT_FALSE(QDir(tmp.path()).entryList({QStringLiteral("inattendu-01.png")}).isEmpty());
  EXPECT_TRUE(r.Result.contains(QStringLiteral("Boîte inattendue : erreur de transmission")))
      << r.Result.toStdString();
  for (const QString& line : r.Trace) EXPECT_FALSE(line.startsWith(QLatin1String("TERM< 55 8A FF")));
  EXPECT_EQ(ProcessesWith(QStringLiteral("velmora-demo-%1-").arg(r.Pid)), 0);
}

// The road is checked, not only walked: with another password on the
// terminal the right one is refused too, and the tour says so.
TEST(DemoTour, EndsWithAFailureWhenTheRoadGoesElsewhere) {
  QTemporaryDir tmp;
  const TTourRun r = RunTour(tmp.path(), {QStringLiteral("--scenario"), QStringLiteral("mot-de-passe"),
                                          QStringLiteral("--password"), QStringLiteral("AUTRE")});
  ASSERT_TRUE(r.Finished) << "the tour did not end";
  EXPECT_EQ(r.ExitCode, 1);
  EXPECT_TRUE(r.Result.startsWith(QStringLiteral("Tour « mot-de-passe » échoué"))) << r.Result.toStdString();
  EXPECT_TRUE(r.Result.contains(QStringLiteral("Boîte inattendue"))) << r.Result.toStdString();
}
