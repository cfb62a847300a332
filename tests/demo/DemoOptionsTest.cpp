// The demo's options: values the terminal could never meet and folders the
// tour could never write are refused at once, every mistake naming the whole
// option in « ».
#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <optional>

#include "DemoSettings.h"

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
