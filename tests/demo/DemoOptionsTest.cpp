// The demo's options: values the terminal could never meet and folders the
// tour could never write are refused at once, every mistake naming the whole
// option in « ».
#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include "DemoSettings.h"

TEST(DemoOptions, MistakesAreRefusedAtOnceNamingTheOption) {
  QTemporaryDir tmp;
  QFile file(tmp.filePath(QStringLiteral("fichier")));
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.close();
  const QString underFile = tmp.filePath(QStringLiteral("fichier/tour"));
  struct TCase {
    QStringList Args;
    QString Error;  // "" when accepted
  };
  const std::vector<TCase> cases{
      {{"--bogus"}, "Option inconnue « --bogus »."},
      {{"--bogus=1"}, "Option inconnue « --bogus »."},
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
  };
  for (const TCase& c : cases) {
    TDemoSettings s;
    QString error;
    EXPECT_EQ(ParseDemoCommandLine(QStringList{"demo"} + c.Args, s, error), c.Error.isEmpty())
        << c.Args.join(' ').toStdString();
    EXPECT_EQ(error.toStdString(), c.Error.toStdString());
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
