// motdump run as a process: its JSON and exit status.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "MotTestUtil.h"

namespace {

namespace fs = std::filesystem;

struct TRun {
  int Status = -1;
  std::string Out;
};

class Motdump : public ::testing::Test {
 protected:
  void SetUp() override {
    Dir = fs::path(KVZ_BINARY_DIR) / "tests" / "firmware" / "motdump_files";
    fs::create_directories(Dir);
  }

  std::string Write(const std::string& name, const std::string& text) {
    const fs::path p = Dir / name;
    std::ofstream(p, std::ios::binary) << text;
    return p.string();
  }

  static TRun Run(const std::string& args) {
    TRun r;
    FILE* p = popen((std::string("'") + MOTDUMP_PATH + "' " + args + " 2>/dev/null").c_str(), "r");
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

  fs::path Dir;
};

TEST_F(Motdump, DescribesAnAcceptedFile) {
  TBytes image = HeaderPage(true, "15/06/2009", 9, "fv\"\\01", 256);
  image.push_back(0xAB);
  const std::string path = Write("good.mot", MotFile(image, 0x8000, 32));
  const TRun r = Run("'" + path + "'");
  EXPECT_EQ(r.Status, 0);
  std::string hex0;
  char b[3];
  for (uint8_t x : image) {
    if (hex0.size() == 512) break;
    std::snprintf(b, sizeof b, "%02x", x);
    hex0 += b;
  }
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

TEST_F(Motdump, UsageErrorsAndUnreadableFiles) {
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
}

}  // namespace
