// The demo's command line, fault notation and trace lines. Values the
// terminal could never meet and folders the tour could never write are
// refused at once, every mistake naming the whole option in « ».
#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <optional>
#include <tuple>

#include "DemoScenarios.h"
#include "DemoSettings.h"

namespace {

bool Parse(QStringList args, TDemoSettings& s, QString* error = nullptr) {
  args.prepend(QStringLiteral("VelmoraUpgradeDemo"));
  QString e;
  const bool ok = ParseDemoCommandLine(args, s, e);
  if (error) *error = e;
  return ok;
}

}  // namespace

TEST(DemoCommandLine, DefaultsNeedNoPromptsAndEveryTerminalSettingIsTaken) {
  TDemoSettings s;
  ASSERT_TRUE(Parse({}, s));
  EXPECT_EQ(std::make_tuple(s.Plugged, s.Terminal.UsbVersion, s.Terminal.RestartOnEndBlock,
                            s.Terminal.Application.AppType, s.Terminal.Password, s.Faults.size()),
            std::make_tuple(true, 4, true, 9, "", size_t{0}));
  EXPECT_TRUE(s.TourDir.isEmpty());
  // Every terminal setting is taken.
  ASSERT_TRUE(Parse({"--unplugged", "--app-type",    "12",         "--version-name",
                     "ab1234",      "--date",        "29/02/2012", "--frame-version",
                     "3",           "--usb-version", "1",          "--password",
                     "secret",      "--switch",      "--latency",  "150",
                     "--fault",     "boot:nak",      "--fault",    "bloc2:statut=12:toujours",
                     "--tour",      "/tmp/x"},
                    s));
  // Without USB version 4 the terminal waits to be unplugged.
  const TVirtualTerminalConfig& t = s.Terminal;
  EXPECT_EQ(std::make_tuple(s.Plugged, t.Application.AppType, t.Application.VersionName,
                            t.Application.AppDate, t.Application.FrameVersion, t.UsbVersion,
                            t.RestartOnEndBlock, t.Password, t.SwitchActive, t.LatencyMs),
            std::make_tuple(false, 12, "ab1234", "29/02/2012", 3, 1, false, "secret", true, 150));
  ASSERT_EQ(s.Faults.size(), 2u);
  EXPECT_EQ(s.Faults[0].Command, TTermCommand::EnterLoader);
  EXPECT_EQ(s.Faults[1].BlockNumber, 2);
  EXPECT_EQ(s.TourDir, QStringLiteral("/tmp/x"));

  ASSERT_TRUE(Parse({"--usb-version", "1", "--restart"}, s));
  EXPECT_TRUE(s.Terminal.RestartOnEndBlock);
  ASSERT_TRUE(Parse({"--no-restart"}, s));
  EXPECT_FALSE(s.Terminal.RestartOnEndBlock);
  // The limits of the values the program can meet pass (the mistakes are in
  // DemoOptions).
  ASSERT_TRUE(
      Parse({"--version-name", "FV-0_9", "--password", "Abcdefgh12345678", "--date", "29/02/2012"}, s));
  EXPECT_EQ(s.Terminal.Application.VersionName, "FV-0_9");
  EXPECT_EQ(s.Terminal.Password, "Abcdefgh12345678");
  ASSERT_TRUE(Parse({"--password", ""}, s));
  EXPECT_TRUE(s.Terminal.Password.empty());
}

TEST(DemoCommandLine, ATourRoadSetsTheTerminalAndOptionsChangeIt) {
  TDemoSettings s;
  ASSERT_TRUE(Parse({"--tour", "/tmp/x"}, s));
  EXPECT_EQ(s.Scenario, QStringLiteral("nominal"));
  EXPECT_EQ(s.Terminal.UsbVersion, 4);
  EXPECT_FALSE(s.Fast);

  ASSERT_TRUE(Parse({"--tour", "/tmp/x", "--scenario", "debranchement", "--rapide"}, s));
  EXPECT_EQ(s.Terminal.UsbVersion, 3);
  EXPECT_FALSE(s.Terminal.RestartOnEndBlock);
  EXPECT_TRUE(s.Fast);
  ASSERT_TRUE(Parse({"--tour", "/tmp/x", "--scenario", "debranchement", "--usb-version", "4"}, s));
  EXPECT_TRUE(s.Terminal.RestartOnEndBlock);

  ASSERT_TRUE(Parse({"--tour", "/tmp/x", "--scenario", "mot-de-passe"}, s));
  EXPECT_EQ(s.Terminal.Password, kScenarioPassword);
  EXPECT_TRUE(s.Terminal.PasswordForLoader);
  ASSERT_TRUE(Parse({"--tour", "/tmp/x", "--scenario", "mot-de-passe", "--password", "AUTRE"}, s));
  EXPECT_EQ(s.Terminal.Password, "AUTRE");

  ASSERT_TRUE(Parse({"--tour", "/tmp/x", "--scenario", "sans-reponse", "--fault", "boot:nak"}, s));
  ASSERT_EQ(s.Faults.size(), 2u);
  EXPECT_EQ(FaultSpecText(s.Faults[0]), QStringLiteral("bloc5:sansreponse"));
  EXPECT_EQ(FaultSpecText(s.Faults[1]), QStringLiteral("boot:nak"));

  ASSERT_TRUE(Parse({"--tour", "/tmp/x", "--scenario", "retrogradation"}, s));
  EXPECT_GT(s.Terminal.Application.VersionName, std::string("fv0105"));

  // Every road has its settings.
  for (const QString& name : ScenarioNames()) {
    TDemoSettings r;
    EXPECT_TRUE(ApplyScenario(name, r)) << name.toStdString();
    EXPECT_TRUE(Parse({"--tour", "/tmp/x", "--scenario", name}, r)) << name.toStdString();
  }

  QString error;
  EXPECT_FALSE(Parse({"--tour", "/tmp/x", "--scenario", "inconnu"}, s, &error));
  EXPECT_TRUE(
      error.contains(QStringLiteral("nominal, mot-de-passe, debranchement, sans-reponse, retrogradation")))
      << error.toStdString();
  EXPECT_FALSE(Parse({"--scenario", "nominal"}, s, &error));
  EXPECT_TRUE(error.contains(QStringLiteral("--tour"))) << error.toStdString();
}

namespace {

// A fault as one comparable value.
auto Fields(const TDemoFault& f) {
  return std::make_tuple(f.Command, f.BlockNumber, f.Fault.Kind, f.Fault.Value, f.Fault.Always);
}

}  // namespace

TEST(DemoFaultSpec, ReadsCommandsKindsValuesAndRepetitionItsTextReadsBack) {
  using C = TTermCommand;
  using K = TTermFaultKind;
  TDemoFault f;
  QString e;
  ASSERT_TRUE(ParseFaultSpec(QStringLiteral("identite:sansreponse"), f, e));
  EXPECT_EQ(Fields(f), std::make_tuple(C::Identity, -1, K::NoAnswer, 0, false));
  ASSERT_TRUE(ParseFaultSpec(QStringLiteral("BLOC17:Statut=0x0C:toujours"), f, e));
  EXPECT_EQ(Fields(f), std::make_tuple(C::Block, 17, K::Status, 12, true));
  ASSERT_TRUE(ParseFaultSpec(QStringLiteral("blocfin:debrancheapres"), f, e));
  EXPECT_EQ(Fields(f), std::make_tuple(C::Block, 0xFFFF, K::UnplugAfterAnswer, 0, false));
  // An overlong answer has a default length; the others need their value.
  ASSERT_TRUE(ParseFaultSpec(QStringLiteral("sortieboot:troplong"), f, e));
  EXPECT_EQ(f.Fault.Value, 0);
  for (const char* bad : {"boot:statut", "boot:nak=3", "boot:nak:parfois", "boot:rien", "bloc70000:nak"})
    EXPECT_FALSE(ParseFaultSpec(QLatin1String(bad), f, e)) << bad;
  // Its text reads back as the same fault.
  for (const char* spec :
       {"identite:nak", "fermeture:ack:toujours", "motdepasse:statut=16", "boot:autrecode=65417",
        "bloc3:octetsentete=2", "blocfin:debranchemilieu", "sortieboot:troplong", "sortieboot:troplong=900",
        "bloc0:mauvaiscontrole:toujours"}) {
    TDemoFault g;
    ASSERT_TRUE(ParseFaultSpec(QString::fromLatin1(spec), f, e)) << spec;
    EXPECT_EQ(FaultSpecText(f).toStdString(), spec);
    ASSERT_TRUE(ParseFaultSpec(FaultSpecText(f), g, e)) << spec;
    EXPECT_EQ(Fields(g), Fields(f)) << spec;
  }
  // One French name per command and per fault kind, in the enums' order.
  EXPECT_EQ(CommandNames().size(), static_cast<int>(TTermCommand::Other));
  EXPECT_EQ(FaultKindNames().size(), static_cast<int>(TTermFaultKind::UnplugMidFrame) + 1);
}

TEST(DemoTrace, LinesAreTheDirectionThenUpperCaseHexBytes) {
  EXPECT_EQ(TraceLine(true, {0x55, 0x80, 0xFF, 0x07, 0x00, 0x01, 0x2C}), "TERM< 55 80 FF 07 00 01 2C");
  EXPECT_EQ(TraceLine(false, {0x0a, 0xb0}), "TERM> 0A B0");
}

// Mistakes are refused with a French reason and nothing is half-applied;
// values the program could never meet name their option.
TEST(DemoOptions, MistakesAreRefusedAtOnceNamingTheOption) {
  QTemporaryDir tmp;
  QFile file(tmp.filePath(QStringLiteral("fichier")));
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.close();
  const QString underFile = tmp.filePath(QStringLiteral("fichier/tour"));
  struct TCase {
    QStringList Args;
    // The reason, "" when accepted; none given: any French reason, which
    // starts with `Option` when one is given.
    std::optional<QString> Error = std::nullopt;
    const char* Option = nullptr;
  };
  const std::vector<TCase> cases{
      {{"--bogus"}, "Option inconnue « --bogus »."},
      {{"--bogus=1"}, "Option inconnue « --bogus »."},
      {{"--inconnue"}, "Option inconnue « --inconnue »."},
      {{"-plugged"}, "Option inconnue « -plugged »."},
      {{"--latency"}, "Valeur manquante après « --latency »."},
      {{"--plugged=oui"}, "« --plugged » ne prend pas de valeur."},
      {{"en-trop"}, "Argument inattendu « en-trop »."},
      {{"--fault", "bloc2:statut=300"},
       "Défaut « bloc2:statut=300 » : valeur « 300 » incorrecte (0 à 255 attendu)."},
      {{"--fault", "bloc2:statut=255", "--fault=bloc3:autrecode=65535", "--latency=30"}, ""},
      {{"--tour", "/proc/kvz-tour"}, "--tour : impossible d'écrire dans le dossier « /proc/kvz-tour »."},
      {{"--tour", underFile}, "--tour : impossible d'écrire dans le dossier « " + underFile + " »."},
      {{"--tour", tmp.filePath(QStringLiteral("neuf/tour"))}, ""},
      {{"--plugged", "--unplugged"}},
      {{"--restart", "--no-restart"}},
      {{"--app-type", "256"}},
      {{"--app-type", "neuf"}},
      {{"--date", "2010-02-01"}},
      {{"--latency", "-1"}},
      {{"--fault", "bloc:nak"}},
      {{"--fault", "identite"}},
      {{"--version-name", "fv01"}, {}, "--version-name"},
      {{"--version-name", "fv01234"}, {}, "--version-name"},
      {{"--version-name", ""}, {}, "--version-name"},
      {{"--version-name", "fvé104"}, {}, "--version-name"},
      {{"--version-name", "fv\t104"}, {}, "--version-name"},
      {{"--password", "abc-12"}, {}, "--password"},
      {{"--password", "motdepasse é"}, {}, "--password"},
      {{"--password", "mot de passe"}, {}, "--password"},
      {{"--password", "A1234567890123456"}, {}, "--password"},  // 17 characters
      {{"--date", "31/02/2010"}, {}, "--date"},
      {{"--date", "1/02/2010"}, {}, "--date"},
      {{"--date", "15/06/09"}, {}, "--date"},
      {{"--date", "15-06-2009"}, {}, "--date"},
      {{"--date", "demain"}, {}, "--date"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Args.join(' ').toStdString());
    TDemoSettings s;
    s.TourDir = QStringLiteral("kept");
    QString error;
    const bool accepted = ParseDemoCommandLine(QStringList{"demo"} + c.Args, s, error);
    EXPECT_EQ(accepted, c.Error == QString());
    EXPECT_EQ(error.toStdString(), c.Error.value_or(error).toStdString());
    if (accepted) continue;
    EXPECT_FALSE(error.isEmpty());
    EXPECT_EQ(s.TourDir, QStringLiteral("kept")) << "nothing is half-applied";
    if (!c.Option) continue;
    EXPECT_TRUE(error.startsWith(QLatin1String(c.Option))) << error.toStdString();
    EXPECT_TRUE(error.contains(QStringLiteral("ne convient pas")) ||
                error.contains(QStringLiteral("n'est pas")))
        << error.toStdString();
  }
  // The check of the folder leaves nothing behind.
  EXPECT_EQ(QDir(tmp.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden),
            QStringList{"fichier"});
}

TEST(DemoOptions, AFaultOnABlockTheFileDoesNotHaveIsRefused) {
  const std::string folder = QFileInfo(QStringLiteral(KVZ_DEMO_EXE)).absolutePath().toStdString();
  auto check = [&folder](const QString& spec, QString& error) {
    TDemoFault f;
    EXPECT_TRUE(ParseFaultSpec(spec, f, error)) << error.toStdString();
    return CheckFaultBlocks({f}, folder, error);
  };
  QString error;
  for (const char* fine : {"bloc0:nak", "bloc31:sansreponse", "blocfin:nak", "boot:nak"})
    EXPECT_TRUE(check(QString::fromLatin1(fine), error)) << fine;
  EXPECT_FALSE(check(QStringLiteral("bloc999:sansreponse"), error));
  EXPECT_EQ(
      error.toStdString(),
      "--fault : « bloc999:sansreponse » : le fichier VelmoraDemo_fv0105.mot n'a pas de bloc 999 (blocs 0 à "
      "31, puis blocfin).");
  EXPECT_FALSE(check(QStringLiteral("bloc32:nak"), error));
}
