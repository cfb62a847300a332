// Windows: the firmware file in a folder whose name is not ASCII. A
// technician's folders carry accents ("C:\Users\Jérôme\..."), and a name the
// ANSI code page cannot hold ("Łukasz") must work as well.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "MotTestUtil.h"
#include "ScriptedPresenter.h"
#include "TestCatalogue.h"
#include "U_DecodeFileMot.h"
#include "U_Paths.h"

namespace {

// The test's own fixture writing goes through the wide API directly, not
// through the functions under test.
void WriteWide(const std::wstring& path, const std::string& bytes) {
  std::FILE* f = _wfopen(path.c_str(), L"wb");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
  std::fclose(f);
}

class WindowsPaths : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t tmp[MAX_PATH];
    ASSERT_GT(GetTempPathW(MAX_PATH, tmp), 0u);
    Root = std::wstring(tmp) + L"kvz-fw-" + std::to_wstring(GetCurrentProcessId());
    Dir = Root + L"\\J\u00E9r\u00F4me \u0141ukasz";
    std::filesystem::remove_all(Root);
    ASSERT_TRUE(CreateDirectoryW(Root.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(Dir.c_str(), nullptr));
    DirUtf8 = "J\xC3\xA9r\xC3\xB4me \xC5\x81ukasz";
  }
  void TearDown() override {
    SetExecutablePathForTesting(std::string());
    std::error_code ec;
    std::filesystem::remove_all(Root, ec);
  }
  // The folder as the program sees it: UTF-8, with a final separator.
  std::string Folder() const { return WideToUtf8(Root) + "\\" + DirUtf8 + "\\"; }

  TCatalogueScope Catalogue;
  TScriptedPresenter Presenter;
  std::wstring Root, Dir;
  std::string DirUtf8;
};

TEST_F(WindowsPaths, FirmwareBesideTheExecutableInAFolderWithAccents) {
  WriteWide(Dir + L"\\Version \u00E9t\u00E9.mot", MotFile(HeaderPage(true, "15/06/2009"), 0x8000));
  SetExecutablePathForTesting(Folder() + "VelmoraUpgrade.exe");
  EXPECT_EQ(ExecutableDir(), Folder());
  TObjFileMot mot;
  ASSERT_TRUE(mot.Load()) << (Presenter.Shown.empty() ? std::string() : Presenter.Shown[0].Text);
  EXPECT_EQ(mot.FileName, Folder() + "Version \xC3\xA9t\xC3\xA9.mot");
  EXPECT_EQ(mot.VersionName, "fv1234");
  EXPECT_GT(mot.Blocks.Count(), 0);
  EXPECT_TRUE(Presenter.Shown.empty());
}

TEST_F(WindowsPaths, Utf8PathsReachTheFileSystemWhole) {
  const std::string file = Folder() + "\xE2\x82\xAC.bin";  // the euro sign
  std::FILE* f = OpenFileUtf8(file, "wb");
  ASSERT_NE(f, nullptr);
  std::fclose(f);
  EXPECT_NE(GetFileAttributesW((Dir + L"\\\u20AC.bin").c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(Utf8FromPath(PathFromUtf8(file)), file);
  EXPECT_EQ(WideToUtf8(Utf8ToWide(file)), file);
  // Bytes that are not UTF-8 name no file, and throw nothing.
  EXPECT_EQ(OpenFileUtf8(Folder() + "\xE9.mot", "rb"), nullptr);
}

TEST(WindowsExecutablePath, TheRealPathNamesThisExecutable) {
  SetExecutablePathForTesting(std::string());
  const std::string path = ExecutablePath();
  ASSERT_FALSE(path.empty());
  EXPECT_NE(GetFileAttributesW(Utf8ToWide(path).c_str()), INVALID_FILE_ATTRIBUTES) << path;
  EXPECT_EQ(ExecutableDir() + ExecutableFileName(), path);
}

}  // namespace
