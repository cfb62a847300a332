#include <gtest/gtest.h>

#include <set>

#include "ScriptedPresenter.h"
#include "TestCatalogue.h"
#include "U_ConstDlg.h"
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

// The status table by its invariants: every status it knows has a key of
// its own, every key a catalogue text, and no two statuses share a text;
// any other code is told by its number.
TEST_F(ShippedCatalogue, EveryKnownStatusHasItsOwnKeyAndCatalogueText) {
  std::set<std::string> keys, texts;
  for (int code = -300; code <= 300; ++code) {
    SCOPED_TRACE(code);
    const std::string key = StatusKey(code);
    if (key.empty()) {
      EXPECT_EQ(StatusText(code), "Code erreur inconnue (" + std::to_string(code) + ")");
      continue;
    }
    EXPECT_EQ(key.rfind("_ERR_", 0), 0u);
    EXPECT_FALSE(GetTexte(key).empty());
    EXPECT_EQ(StatusText(code), GetTexte(key));
    keys.insert(key);
    texts.insert(StatusText(code));
  }
  EXPECT_EQ(keys.size(), 36u) << "-5 to 29 and 255";
  EXPECT_EQ(texts.size(), keys.size());
}

TEST_F(ShippedCatalogue, StatusesTheProgramTells) {
  EXPECT_EQ(StatusText(kStatusNoAnswer), "Pas de réponse. Vérifier le branchement du matériel.");
  EXPECT_EQ(StatusText(kStatusSwitchOn), "Opération impossible switch actif");
  EXPECT_EQ(StatusText(kStatusOk), "Gestion correcte de la trame");
  EXPECT_EQ(StatusText(kStatusBadPassword), "Erreur le mot de passe est incorrecte");
  EXPECT_EQ(StatusText(kStatusNeedPassword),
            "Erreur l'identification (via le mot de passe) n'est pas réalisée");
  EXPECT_EQ(StatusText(18), "Erreur d'écriture en flash");
  EXPECT_EQ(StatusText(255), "Erreur inconnue");
  EXPECT_STREQ(StatusKey(255), "_ERR_UNKNOWN");
}

TEST_F(ShippedCatalogue, ApplicationTypeTextsAndEveryKnownTypesOwnKey) {
  EXPECT_EQ(AppTypeText(-1), "Programme inconnu");
  EXPECT_EQ(AppTypeText(24), "Programme N\xC2\xB0 24");
  EXPECT_EQ(AppTypeText(255), "Programme boot");
  EXPECT_EQ(AppTypeText(9), "Terminal de prog.");
  for (int code : {24, 25, 26, 30, 31, 33, 100, 254}) EXPECT_STREQ(AppTypeKey(code), "") << code;
  // Every application type of the table has its own key.
  const int known[] = {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13,  14,
                       15, 16, 17, 18, 19, 20, 21, 22, 23, 27, 28, 29, 32, 255, -1};
  std::set<std::string> keys;
  for (int code : known) {
    const std::string key = AppTypeKey(code);
    ASSERT_FALSE(key.empty()) << code;
    EXPECT_EQ(key.rfind("_Appli_", 0), 0u);
    EXPECT_FALSE(GetTexte(key).empty()) << key;
    keys.insert(key);
  }
  EXPECT_EQ(keys.size(), sizeof known / sizeof known[0]);
}

}  // namespace
