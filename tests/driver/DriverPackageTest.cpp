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
const std::string kDashes = ";" + std::string(78, '-');

// Lines of a CR LF text, the last (empty) line after the final CR LF left out.
std::vector<std::string> CrLfLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t p; (p = text.find("\r\n", start)) != std::string::npos; start = p + 2)
    lines.push_back(text.substr(start, p - start));
  return lines;
}
}  // namespace

// The INF is the committed text: its bytes, CR LF line ends, Windows-1252,
// its sections, banners and spacing.
TEST(DriverInf, IsTheCommittedText) {
  const std::string inf = ReadFileBytes(kInfPath);
  ASSERT_EQ(inf.size(), 1634u);
  // FNV-1a of the whole file: any changed byte shows here.
  std::uint64_t h = 14695981039346656037ull;
  for (unsigned char c : inf) h = (h ^ c) * 1099511628211ull;
  EXPECT_EQ(h, 0x94ce9fcc38a32b31ull);
  for (size_t i = 0; i < inf.size(); ++i) {
    ASSERT_TRUE(inf[i] != '\n' || (i > 0 && inf[i - 1] == '\r')) << "lone LF at " << i;
    ASSERT_TRUE(inf[i] != '\r' || (i + 1 < inf.size() && inf[i + 1] == '\n')) << "lone CR at " << i;
  }
  // One empty line at the end, not two.
  EXPECT_EQ(inf.substr(inf.size() - 5), "\"\r\n\r\n");
  // Windows-1252: the only byte outside ASCII is the e acute of "Répertoire".
  EXPECT_EQ(std::count_if(inf.begin(), inf.end(), [](unsigned char c) { return c >= 0x80; }), 1);
  EXPECT_NE(inf.find("INSTDISK=\"R\xE9pertoire d'installation du Terminal\""), std::string::npos);

  const std::vector<std::string> lines = CrLfLines(inf);
  std::vector<std::string> sections, banners;
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string& l = lines[i];
    if (!l.empty() && l[0] == '[') {
      sections.push_back(l);
      EXPECT_TRUE(i == 0 || lines[i - 1].empty()) << l;
      EXPECT_TRUE(i < 2 || !lines[i - 2].empty()) << "two empty lines before " << l;
    }
    if (l == kDashes && i + 2 < lines.size() && lines[i + 2] == kDashes) {
      banners.push_back(lines[i + 1]);
      EXPECT_EQ(lines[i - 1], "");
      EXPECT_EQ(lines[i + 3], "");
      EXPECT_EQ(lines[i + 4][0], '[');
    }
  }
  const std::vector<std::string> wanted = {
      "[Version]",          "[Manufacturer]",        "[DestinationDirs]",
      "[SourceDisksFiles]", "[SourceDisksNames]",    "[DeviceList]",
      "[DriverInstall.NT]", "[DriverCopyFiles]",     "[DriverInstall.NT.Services]",
      "[DriverService]",    "[DriverInstall.nt.hw]", "[DriverHwAddReg]",
      "[DriverInstall]",    "[DriverAddReg]",        "[DriverInstall.HW]",
      "[Strings]"};
  EXPECT_EQ(sections, wanted);
  EXPECT_EQ(banners, (std::vector<std::string>{";  Windows 2000 Sections", ";  Windows 98 Sections",
                                               ";  String Definitions"}));
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
