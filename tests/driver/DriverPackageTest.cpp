// The embedded package: the INF text, the udev rule and the resources.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <sstream>
#include <stdexcept>

#include "DriverTestSupport.h"
#include "driver.h"

namespace {
const std::string kInfPath = KVZ_SOURCE_DIR "/resources/driver/Termkvz.inf";
const std::string kRulePath = KVZ_SOURCE_DIR "/resources/driver/70-terminal-kvz.rules";
}  // namespace

// The INF is the committed text, byte for byte: its sections, banners and
// spacing, CR LF line ends with one empty line at the end, Windows-1252 (the
// only byte outside ASCII is the e acute of "Répertoire").
TEST(DriverInf, IsTheCommittedText) {
  const std::string inf = ReadFileBytes(kInfPath);
  EXPECT_EQ(inf.size(), 1634u);
  // FNV-1a of the whole file: any changed byte shows here.
  std::uint64_t h = 14695981039346656037ull;
  for (unsigned char c : inf) h = (h ^ c) * 1099511628211ull;
  EXPECT_EQ(h, 0x94ce9fcc38a32b31ull);
  // What a checkout's line-end conversion would break, said plainly.
  for (size_t i = 0; i < inf.size(); ++i) {
    ASSERT_TRUE(inf[i] != '\n' || (i > 0 && inf[i - 1] == '\r')) << "lone LF at " << i;
    ASSERT_TRUE(inf[i] != '\r' || (i + 1 < inf.size() && inf[i + 1] == '\n')) << "lone CR at " << i;
  }
  EXPECT_NE(inf.find("INSTDISK=\"R\xE9pertoire d'installation du Terminal\""), std::string::npos);
}

TEST(DriverUdevRule, GivesTheSeatAccessToTheTerminalOnly) {
  const std::string rule = ReadFileBytes(kRulePath);
  EXPECT_NE(rule.find("SUBSYSTEM!=\"hidraw\""), std::string::npos);
  EXPECT_NE(rule.find("ATTRS{idVendor}==\"1072\", ATTRS{idProduct}==\"0003\", TAG+=\"uaccess\""),
            std::string::npos);
  EXPECT_NE(rule.find("ATTRS{product}==\"Terminal KVZ-DORNAVE\", TAG+=\"uaccess\""), std::string::npos);
  // uaccess only works when applied before 73-seat-late.rules.
  EXPECT_LT(std::string(kUdevRuleFileName), std::string("73"));
  // No mode, group or owner assignment: nothing world-writable.
  std::istringstream in(rule);
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    EXPECT_EQ(line.find("MODE"), std::string::npos) << line;
    EXPECT_EQ(line.find("GROUP"), std::string::npos) << line;
    EXPECT_EQ(line.find("OWNER"), std::string::npos) << line;
    EXPECT_EQ(line.find("RUN"), std::string::npos) << line;
  }
}

// Each resource is the file the build was configured with, whatever the
// letter case of its name; the INF is always this program's own text.
TEST(DriverResources, EmbeddedBytesAreTheConfiguredFiles) {
  const struct {
    const char *Name, *Spelled;
    std::string File;
  } resources[] = {{"INF", "inf", KVZ_EMBEDDED_INF},
                   {"HEX", "Hex", KVZ_EMBEDDED_HEX},
                   {"SYSTERM", "SysTerm", KVZ_EMBEDDED_SYSTERM},
                   {"SYSGEN", "sysgen", KVZ_EMBEDDED_SYSGEN},
                   {"UDEV", "uDev", KVZ_EMBEDDED_UDEV}};
  for (const auto& r : resources) {
    SCOPED_TRACE(r.Name);
    EXPECT_EQ(DriverResourceBytes(r.Name), ReadFileBytes(r.File));
    EXPECT_EQ(DriverResourceBytes(r.Spelled), ReadFileBytes(r.File));
  }
  EXPECT_EQ(DriverResourceBytes("INF"), ReadFileBytes(kInfPath));
  for (const char* unknown : {"TXT", "", "../INF"})
    EXPECT_THROW(DriverResourceBytes(unknown), std::runtime_error);
}

TEST(DriverInstallerCommandLine, PathWithSpacesIsAppendedUnquoted) {
  EXPECT_EQ(InstallerCommandLine("C:\\Program Files\\Velmora Upgrade\\Termkvz.inf"),
            "rundll32.exe setupapi,InstallHinfSection DriverInstall.NT 128 "
            "C:\\Program Files\\Velmora Upgrade\\Termkvz.inf");
  EXPECT_EQ(InstallerCommandLine("x.inf", "fake.exe"),
            "fake.exe setupapi,InstallHinfSection DriverInstall.NT 128 x.inf");
}
