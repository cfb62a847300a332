#include <gtest/gtest.h>

#include <set>

#include "TestCatalogue.h"
#include "U_ConstDlg.h"
#include "U_Textes.h"

namespace {

class Tables : public testing::Test {
 protected:
  TCatalogueScope scope;
};

// The status table by its invariants: every status it knows has a key of
// its own, every key a catalogue text, and no two statuses share a text;
// any other code is told by its number.
TEST_F(Tables, EveryKnownStatusHasItsOwnKeyAndCatalogueText) {
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

TEST_F(Tables, StatusesTheProgramTells) {
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

TEST_F(Tables, ApplicationTypeTextsAndEveryKnownTypesOwnKey) {
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
