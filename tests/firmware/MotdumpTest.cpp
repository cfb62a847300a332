// motdump run as a process: its JSON and exit status.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <regex>

#include "MotTestUtil.h"
#include "ScratchDir.h"

namespace {

namespace fs = std::filesystem;

struct TRun {
  int Status = -1;
  std::string Out;
};

class Motdump : public ::testing::Test, protected TScratchDir {
 protected:
  static TRun Run(const std::string& args) {
    TRun r;
    // A run that hangs is ended, and fails, instead of holding the suite.
    FILE* p = popen((std::string("timeout 30 '") + MOTDUMP_PATH + "' " + args + " 2>/dev/null").c_str(), "r");
    if (!p) return r;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.Out.append(buf, n);
    const int st = pclose(p);
    r.Status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
  }

  void ExpectRefusal(const std::string& text, const std::string& key, const std::string& message) {
    const TRun r = Run("'" + Write("refused.mot", text) + "'");
    EXPECT_EQ(r.Status, 1) << key;
    EXPECT_EQ(r.Out, "{\"ok\": false, \"error\": \"" + key + "\", \"message\": \"" + message + "\"}\n");
  }
};

TEST_F(Motdump, DescribesAnAcceptedFile) {
  TBytes image = HeaderPage(true, "15/06/2009", 9, "fv\"\\01", 256);
  image.push_back(0xAB);
  const std::string path = Write("good.mot", MotFile(image, 0x8000, 32));
  const TRun r = Run("'" + path + "'");
  EXPECT_EQ(r.Status, 0);
  std::string hex0;  // block 0: the first page
  char b[3];
  for (size_t i = 0; i < 256; ++i) hex0 += (std::snprintf(b, sizeof b, "%02x", image[i]), b);
  EXPECT_EQ(
      r.Out,
      "{\"ok\": true, \"appliType\": 9, \"versionName\": \"fv\\\"\\\\01\", \"appliDate\": \"2009-06-15\", "
      "\"newLayout\": true, \"blockCount\": 3, \"blocks\": ["
      "{\"number\": 0, \"dataLength\": 256, \"transfer\": \"000000000001" +
          hex0 +
          "\"}, "
          "{\"number\": 1, \"dataLength\": 2, \"transfer\": \"000001000200abff\"}, "
          "{\"number\": 65535, \"dataLength\": 0, \"transfer\": \"0000ffff0000\"}]}\n");
}

TEST_F(Motdump, FramesCarryEveryBlock) {
  const std::string path = Write("frames.mot", MotFile(HeaderPage(false, "Jun  9 2009", 9, "fvXXXX", 2), 0));
  TRun r = Run("'" + path + "'");
  ASSERT_EQ(r.Status, 1);  // the header lies beyond the two bytes
  const TBytes image = HeaderPage(false, "Jun  9 2009", 9, "fvXXXX", 48);
  r = Run("--frames '" + Write("frames.mot", MotFile(image, 0)) + "'");
  ASSERT_EQ(r.Status, 0);
  // The end block: 55 8A FF, length 12, 00 00 FF FF 00 00, then the XOR.
  EXPECT_NE(r.Out.find("{\"number\": 65535, \"dataLength\": 0, \"transfer\": \"0000ffff0000\", "
                       "\"frame\": \"558aff0c000000ffff00002c\"}]}"),
            std::string::npos)
      << r.Out;
  // Block 0: 48 bytes, frame length 54 + 6.
  EXPECT_NE(r.Out.find("\"frame\": \"558aff3c00000000003000"), std::string::npos) << r.Out;
  EXPECT_NE(r.Out.find("\"appliDate\": \"2009-06-09\", \"newLayout\": false"), std::string::npos);
}

TEST_F(Motdump, RefusalsGiveTheKeyAndTheText) {
  ExpectRefusal("", "_Err_FileEmpty", "Le fichier source est vide.");
  ExpectRefusal("S0\nS107001001020304DE\n", "_Err_FileError", "Le fichier source est erroné.");
  ExpectRefusal("S0\nS107001001020304DE \nS9\n", "_ErrBadData",
                "Le fichier source est erroné : Longueur de données incohérentes.");
  ExpectRefusal("S0\nS9\n", "_Err_Unknown", "Erreur inconnue");
  ExpectRefusal("S0\nS1020000\nS9\n", "_Err_LengthData",
                "Un problème est survenu : longueur des données incorrecte.");
  ExpectRefusal(MotFile(HeaderPage(true, "15/06/2009", 14), 0), "_AppliDiff",
                "Impossible de charger l'application : Application différente.");
  ExpectRefusal(MotFile(HeaderPage(true, "31/02/2009"), 0), "_BadDateAppliMot",
                "Date de l'application incorrecte.");
  ExpectRefusal(MotFile({SRec(1, 0x8000, {1, 2}), SRec(1, 0x8000, {1, 2})}), "_FileMotError",
                "Erreur dans le fichier de programme à charger.");
}

TEST_F(Motdump, UsageErrorsUnreadableFilesAndTheFrenchHelp) {
  const std::string good = Write("usage.mot", MotFile(HeaderPage(true, "15/06/2009"), 0));
  for (const std::string& args :
       std::vector<std::string>{"", "--frames", "--bogus '" + good + "'", "'" + good + "' '" + good + "'"}) {
    const TRun r = Run(args);
    EXPECT_EQ(r.Status, 2) << args;
    EXPECT_EQ(r.Out, "") << args;
  }
  for (const std::string& path : {(Dir / "missing.mot").string(), Dir.string()}) {
    const TRun r = Run("'" + path + "'");
    EXPECT_EQ(r.Status, 2) << path;
    EXPECT_EQ(r.Out.rfind("{\"ok\": false, \"error\": null, \"message\": \"", 0), 0u) << r.Out;
  }
  EXPECT_EQ(Run("-- '" + good + "' --frames").Status, 2);
  EXPECT_EQ(Run("'" + good + "' --frames").Status, 0);
  // The JSON and the summary are two readings: not both at once.
  EXPECT_EQ(Run("--frames --texte '" + good + "'").Status, 2);
  EXPECT_EQ(Run("--frames --texte '" + good + "'").Out, "");
  // The help is French.
  const TRun r = Run("--help");
  EXPECT_EQ(r.Status, 0);
  EXPECT_EQ(r.Out.rfind("Usage : motdump [--frames] FICHIER\n        motdump --texte FICHIER\n", 0), 0u)
      << r.Out;
  EXPECT_NE(r.Out.find("Code de sortie : 0 fichier accepté, 1 fichier refusé"), std::string::npos) << r.Out;
}

// The summary for a person: each fact on its line.
TEST_F(Motdump, TextSummarisesAnAcceptedFile) {
  // Two pages from 0x8000 (the header page whole, 40 bytes of the next),
  // then a third page after a gap.
  TBytes image = HeaderPage(true, "15/06/2009", 9, "fv0123", 256);
  image.resize(256 + 40, 0x5A);
  std::vector<std::string> lines = DataLines(image, 0x8000);
  lines.push_back(SRec(1, 0x8300, {1, 2, 3, 4}));
  const std::string path = Write("texte.mot", MotFile(lines));
  const TRun r = Run("--texte '" + path + "'");
  EXPECT_EQ(r.Status, 0);
  for (const std::string& line : std::vector<std::string>{
           "Fichier : " + path + " (", "Accepté par le programme.\n",
           "\nApplication : type 9 (Terminal de prog.)\n", "\nVersion : fv0123\n", "\nDate : 15/06/2009\n",
           "\nDisposition : nouvelle (l'image commence par FF FF, date écrite JJ/MM/AAAA)\n",
           "\nBlocs : 4 (3 page(s) de 256 octets au plus, puis le bloc de fin)\n",
           "\nPages utilisées : 3 sur 4, blocs 0 à 3, adresses 0x008000 à 0x0083FF\n",
           "\nTaille : 300 octets envoyés au terminal\n",
           "\nSommes de contrôle : toutes justes (" + std::to_string(lines.size() + 2) +
               " enregistrement(s) vérifié(s)).\n"})
    EXPECT_NE(r.Out.find(line), std::string::npos) << line << "\n---\n" << r.Out;

  const TRun old = Run("--texte '" + Write("ancien.mot", MotFile(HeaderPage(false, "Jun  9 2009"), 0)) + "'");
  EXPECT_EQ(old.Status, 0);
  EXPECT_NE(old.Out.find("\nDate : 09/06/2009\n"), std::string::npos) << old.Out;
  EXPECT_NE(old.Out.find("\nDisposition : ancienne (date écrite « Mmm JJ AAAA »)\n"), std::string::npos)
      << old.Out;
}

// The application takes a file whose checksums are wrong; the summary gives
// the line of each such record, counted as an editor counts.
TEST_F(Motdump, TextGivesTheLinesOfWrongChecksums) {
  std::vector<std::string> lines = DataLines(HeaderPage(true, "15/06/2009", 9, "fv0123", 64), 0x8000);
  ASSERT_EQ(lines.size(), 4u);
  auto spoil = [](std::string& record) {
    char& last = record.back();
    last = last == '0' ? '1' : '0';
  };
  spoil(lines[1]);  // line 3 of the file (line 1 is S0)
  spoil(lines[3]);  // line 5
  const std::string text = MotFile(lines);
  const std::string path = Write("sommes.mot", text);
  const TRun r = Run("--texte '" + path + "'");
  EXPECT_EQ(r.Status, 0);
  EXPECT_NE(r.Out.find("Accepté par le programme."), std::string::npos);
  EXPECT_NE(r.Out.find("Sommes de contrôle fausses : 2 enregistrement(s) sur 6"), std::string::npos) << r.Out;
  const std::string l3 = lines[1].substr(lines[1].size() - 2), l5 = lines[3].substr(lines[3].size() - 2);
  EXPECT_NE(r.Out.find("  ligne 3 : somme lue " + l3 + ", ses octets donnent "), std::string::npos) << r.Out;
  EXPECT_NE(r.Out.find("  ligne 5 : somme lue " + l5 + ", ses octets donnent "), std::string::npos) << r.Out;
  EXPECT_EQ(r.Out.find("ligne 2 "), std::string::npos) << r.Out;
  EXPECT_EQ(r.Out.find("ligne 4 "), std::string::npos) << r.Out;
  // What the application reads is unchanged: the JSON does not tell.
  const TRun json = Run("'" + path + "'");
  EXPECT_EQ(json.Status, 0);
  EXPECT_EQ(json.Out.rfind("{\"ok\": true, ", 0), 0u);

  // Lines end with LF or CR alone as well; the count follows them.
  for (const char* end : {"\n", "\r"}) {
    const TRun other =
        Run("--texte '" + Write("sommes2.mot", std::regex_replace(text, std::regex("\r\n"), end)) + "'");
    EXPECT_NE(other.Out.find("  ligne 5 : somme lue " + l5), std::string::npos) << other.Out;
  }
}

TEST_F(Motdump, TextReportsRefusalsAndUnreadableFiles) {
  TRun r = Run("--texte '" + Write("refus.mot", MotFile(HeaderPage(true, "15/06/2009", 14), 0)) + "'");
  EXPECT_EQ(r.Status, 1);
  EXPECT_NE(
      r.Out.find("Refusé par le programme : Impossible de charger l'application : Application différente. "
                 "(_AppliDiff)\n"),
      std::string::npos)
      << r.Out;
  EXPECT_EQ(r.Out.find("Version :"), std::string::npos) << r.Out;
  // A record the program cannot read is named, not counted as a checksum.
  r = Run("--texte '" + Write("illisible.mot", "S0\nS107001001020304DE \nS9\n") + "'");
  EXPECT_EQ(r.Status, 1);
  EXPECT_NE(r.Out.find("Sommes de contrôle : aucun enregistrement lisible.\n"), std::string::npos) << r.Out;
  EXPECT_NE(r.Out.find("somme non vérifiable) : 3\n  1 2 3\n"), std::string::npos) << r.Out;

  r = Run("--texte '" + (Dir / "absent.mot").string() + "'");
  EXPECT_EQ(r.Status, 2);
  EXPECT_EQ(r.Out, "Fichier illisible : " + (Dir / "absent.mot").string() + "\n");
}

// Only a regular file is read, as the program reads it: a pipe would keep
// the reading waiting for ever, a device need never end (/dev/zero used to
// be read up to the size limit).
TEST_F(Motdump, RefusesWhatIsNotARegularFile) {
  const std::string fifo = (Dir / "tube.mot").string();
  fs::remove(fifo);
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& path : {fifo, std::string("/dev/zero")}) {
    TRun r = Run("'" + path + "'");
    EXPECT_EQ(r.Status, 2) << path;
    EXPECT_EQ(r.Out, "{\"ok\": false, \"error\": null, \"message\": \"Impossible d'ouvrir le fichier \\\"" +
                         path + "\\\". Ce n'est pas un fichier ordinaire.\"}\n");
    r = Run("--texte '" + path + "'");
    EXPECT_EQ(r.Status, 2) << path;
    EXPECT_EQ(r.Out, "Fichier illisible : " + path + "\n");
  }
}

// Control characters in a file name or a version name reach the terminal
// escaped, as in the JSON: an escape sequence colours or clears nothing.
TEST_F(Motdump, TextEscapesControlCharacters) {
  const std::string name =
      "a\x1b[31mrouge\x7f\tb\n\xc2\x9b"
      "2J.mot";
  const std::string shown = "a\\u001b[31mrouge\\u007f\\tb\\n\\u009b2J.mot";
  const std::string path = Write(name, MotFile(HeaderPage(true, "15/06/2009", 9, "\x1b[2J\r\n"), 0));
  TRun r = Run("--texte '" + path + "'");
  EXPECT_EQ(r.Status, 0);
  EXPECT_NE(r.Out.find("Fichier : " + (Dir / shown).string() + " ("), std::string::npos) << r.Out;
  EXPECT_NE(r.Out.find("\nVersion : \\u001b[2J\\r\\n\n"), std::string::npos) << r.Out;
  fs::remove(path);
  r = Run("--texte '" + path + "'");
  EXPECT_EQ(r.Out, "Fichier illisible : " + (Dir / shown).string() + "\n");
  EXPECT_EQ(r.Out.find('\x1b'), std::string::npos);
}

}  // namespace
