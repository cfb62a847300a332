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

TEST_F(Tables, StatusTextsOfTheTable) {
  EXPECT_EQ(StatusText(1), "Gestion correcte de la trame");
  EXPECT_EQ(StatusText(0), "Emission trame ok");
  EXPECT_EQ(StatusText(255), "Erreur inconnue");
  EXPECT_EQ(StatusText(-4), "Op\xC3\xA9ration impossible switch actif");
  EXPECT_EQ(StatusText(24), "Erreur pas de synchronisation, demande de chargement \"SYNC_BOOT\"  (ProgBoot)");
}

TEST_F(Tables, StatusCodesOutsideTheTableAreFormatted) {
  EXPECT_EQ(StatusText(30), "Code erreur inconnue (30)");
  EXPECT_EQ(StatusText(-6), "Code erreur inconnue (-6)");
  EXPECT_EQ(StatusText(254), "Code erreur inconnue (254)");
}

TEST_F(Tables, EveryKnownStatusHasACatalogueText) {
  for (int code = -5; code <= 255; ++code) {
    const std::string key = StatusKey(code);
    if (!key.empty()) {
      EXPECT_FALSE(GetTexte(key).empty()) << key;
    }
  }
}

TEST_F(Tables, ApplicationTypeTexts) {
  EXPECT_EQ(AppTypeText(-1), "Programme inconnu");
  EXPECT_EQ(AppTypeText(24), "Programme N\xC2\xB0 24");
  EXPECT_EQ(AppTypeText(255), "Programme boot");
  EXPECT_EQ(AppTypeText(9), "Terminal de prog.");
  for (int code : {24, 25, 26, 30, 31, 33, 100, 254}) EXPECT_STREQ(AppTypeKey(code), "") << code;
}

TEST_F(Tables, EveryApplicationTypeOfTheTableHasItsOwnKey) {
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
