#include <gtest/gtest.h>

#include "ScriptedPresenter.h"
#include "TestCatalogue.h"
#include "U_Messages.h"
#include "U_Textes.h"

namespace {

class ShippedCatalogue : public testing::Test {
 protected:
  TCatalogueScope scope;
};

TEST(CatalogueFile, Windows1252WithCrLfAfterEveryLine) {
  const std::string bytes = ReadFileBytes(KVZ_SOURCE_DIR "/resources/Textes.txt");
  ASSERT_GE(bytes.size(), 2u);
  EXPECT_EQ(bytes.substr(bytes.size() - 2), "\r\n");
  EXPECT_NE(static_cast<unsigned char>(bytes[0]), 0xEF) << "no byte-order mark";
  size_t lines = 0, crs = 0, lfs = 0;
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (bytes[i] == '\r') ++crs;
    if (bytes[i] == '\n') ++lfs;
    if (bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') ++lines;
  }
  EXPECT_EQ(crs, lines);
  EXPECT_EQ(lfs, lines);
  // "é" is one byte 0xE9, not UTF-8.
  EXPECT_NE(bytes.find("d\xE9tect\xE9"), std::string::npos);
}

TEST_F(ShippedCatalogue, LooksUpWholeKeysIgnoringCaseTextsKeepQuotesSpacesAndAccents) {
  EXPECT_EQ(GetTexte("_Exit"), "Quitter");
  EXPECT_EQ(GetTexte("_EXIT"), "Quitter");
  EXPECT_EQ(GetTexte("_exit"), "Quitter");
  EXPECT_EQ(GetTexte("_Err"), "");
  EXPECT_EQ(GetTexte(""), "");
  EXPECT_EQ(GetTexte("_NoSuchKey"), "");
  // The unknown error's pair gives the text without a period.
  EXPECT_EQ(GetTexte("_ERR_UNKNOWN"), "Erreur inconnue");
  EXPECT_EQ(GetTexte("_Err_Unknown"), "Erreur inconnue");
  // Texts keep their quotes, spaces and accents.
  EXPECT_EQ(GetTexte("_ERR_PROG_SYNC"),
            "Erreur pas de synchronisation, demande de chargement \"SYNC_BOOT\"  (ProgBoot)");
  EXPECT_EQ(GetTexte("_Err_NoVelmora"),
            "Aucun terminal de programmation d\xC3\xA9tect\xC3\xA9 sur votre ordinateur.");
  EXPECT_EQ(GetTexte("_Appli_ProgNoUnknown"), "Programme N\xC2\xB0 %d");
  EXPECT_EQ(FormatText(GetTexte("_Capt_F_Main_BtnLoad"), {"fvXXXX"}),
            "Chargement de la version fvXXXX du terminal de programmation");
  // Strings and integers filled in order.
  EXPECT_EQ(FormatText("%s par %s?", {"fv0100", "fv0099"}), "fv0100 par fv0099?");
  EXPECT_EQ(FormatText("Code (%d)", {-6}), "Code (-6)");
  EXPECT_EQ(FormatText("100%% %s", {}), "100% ");
}

TEST(CatalogueList, SortedCaseInsensitivelyRefusesDuplicatesAndSplitsAtTheFirstEquals) {
  TTextList list;
  list.Add("_b=2");
  list.Add("_A=1");
  list.Add("_Err_Unknown=Erreur inconnue.");
  list.Add("_ERR_UNKNOWN=Erreur inconnue");
  ASSERT_EQ(list.Count(), 4);
  EXPECT_EQ(list[0], "_A=1");
  EXPECT_EQ(list[1], "_b=2");
  EXPECT_EQ(list[2], "_ERR_UNKNOWN=Erreur inconnue");
  EXPECT_THROW(list.Add("_a=1"), ECatalogueError);
  EXPECT_EQ(list.Count(), 4);
  // Only the first "=" separates; a line without one is skipped.
  list.Add("_Eq=a=b");
  list.Add("_NoEqualsHere");
  EXPECT_EQ(list.GetTexte("_Eq"), "a=b");
  EXPECT_EQ(list.GetTexte("_NoEqualsHere"), "");
  EXPECT_EQ(list.GetTexte("_eq=a"), "");
  // A duplicate ends the loading of a catalogue.
  EXPECT_THROW(LoadCatalogue("_X=1\r\n_x=1\r\n"), ECatalogueError);
  ReleaseCatalogue();
  EXPECT_EQ(GetTexte("_X"), "") << "no catalogue, no text, no crash";
}

TEST(CatalogueLines, SplitAtCrLfLoneCrAndLoneLf) {
  const auto lines = SplitCatalogueLines("a=1\r\nb=2\rc=3\nd=4");
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[2], "c=3");
  EXPECT_EQ(lines[3], "d=4");
  EXPECT_EQ(SplitCatalogueLines("a=1\r\n").size(), 1u);
  EXPECT_EQ(SplitCatalogueLines("").size(), 0u);
}

TEST(Cp1252, DecodesTheWholeHighTable) {
  EXPECT_EQ(Cp1252ToUtf8("\x80"), "\xE2\x82\xAC");  // euro sign, not a C1 control
  EXPECT_EQ(Cp1252ToUtf8("\x92"), "\xE2\x80\x99");
  EXPECT_EQ(Cp1252ToUtf8("\x9C"), "\xC5\x93");
  EXPECT_EQ(Cp1252ToUtf8("\x81"), "\xEF\xBF\xBD");
  EXPECT_EQ(Cp1252ToUtf8("\xE0\xE7\xE8\xE9\xFB\xB0"), "\xC3\xA0\xC3\xA7\xC3\xA8\xC3\xA9\xC3\xBB\xC2\xB0");
  EXPECT_EQ(Utf8ToCp1252("\xE2\x82\xAC\xC3\xA9"), "\x80\xE9");
}

// The title is the executable name up to its first period; every box goes
// through the installed presenter.
TEST(MessageBoxes, TitleAndTheInstalledPresenter) {
  EXPECT_EQ(ApplicationTitleOf("VelmoraUpgrade.exe"), "Velmoraupgrade");
  EXPECT_EQ(ApplicationTitleOf("VelmoraUpgrade"), "Velmoraupgrade");
  EXPECT_EQ(ApplicationTitleOf("a.b.c"), "a");
  TCatalogueScope scope;
  TScriptedPresenter p;
  p.Script({TMsgResult::Cancel});
  EXPECT_FALSE(ConfirmWarning("Sûr ?"));
  ShowInformationKey("_Err_NoVelmora");
  bool retry = true;
  ShowErrorDlg(-1, false, retry);
  EXPECT_FALSE(retry);
  p.Push(TMsgResult::Retry);
  ShowErrorDlg(-1, true, retry);
  EXPECT_TRUE(retry);
  ASSERT_EQ(p.Shown.size(), 4u);
  EXPECT_EQ(p.Shown[1].Kind, TMsgKind::Information);
  EXPECT_EQ(p.Shown[1].Key, "_Err_NoVelmora");
  EXPECT_EQ(p.Shown[2].Text, "Pas de r\xC3\xA9ponse. V\xC3\xA9rifier le branchement du mat\xC3\xA9riel.");
  EXPECT_FALSE(p.Shown[2].RetryVisible);
  EXPECT_TRUE(p.Shown[3].RetryVisible);
  // Retry is never reported when it is hidden.
  p.Push(TMsgResult::Retry);
  ShowErrorDlg(3, false, retry);
  EXPECT_FALSE(retry);
}

}  // namespace
