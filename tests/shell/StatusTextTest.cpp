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

// Every row of the status table, key and text as the catalogue holds them.
struct TStatusRow {
  int Code;
  const char* Key;
  const char* Text;
};

const TStatusRow kStatusRows[] = {
    {-5, "_ERR_CRC_APP", "CRC Incorrect"},
    {-4, "_ERR_SWITCH_ON", "Opération impossible switch actif"},
    {-3, "_ERR_WEIGAND_INVALID", "Type de protocole non géré par l'application"},
    {-2, "_ERR_TIMEOUT_APP", "TimeOut d'attente trame atteint"},
    {-1, "_ERR_NO_ANSWER", "Pas de réponse. Vérifier le branchement du matériel."},
    {0, "_ERR_EMIT_TRAM", "Emission trame ok"},
    {1, "_ERR_TRAM_CORRECT", "Gestion correcte de la trame"},
    {2, "_ERR_TRAM_TIME_OUT", "Erreur de time out (tous les caractères de la trame ne sont pas reçus)"},
    {3, "_ERR_CRC_TRAM", "Erreur sur le CRC de la trame"},
    {4, "_ERR_PAS_MEMOIRE", "Erreur PAS MEMOIRE"},
    {5, "_ERR_PAS_VGKDISQUE", "Erreur PAS VGKDISQUE ou PAS VGKMASTER"},
    {6, "_ERR_ECRITURE_VGKDISQUE", "Erreur ECRITURE VGKDISQUE"},
    {7, "_ERR_PAS_DE_CLE", "Erreur PAS DE CLE"},
    {8, "_ERR_ECRIT_CLE", "Erreur ECRIT CLE"},
    {9, "_ERR_EFFACEMENT", "Erreur EFFACEMENT"},
    {10, "_ERR_MESSAGE_INCONNU", "Erreur numéro de message inconnu"},
    {11, "_ERR_COMMANDE", "Erreur COMMANDE"},
    {12, "_ERR_NUMBLOC", "Erreur NUMBLOC"},
    {13, "_ERR_PROGMIC", "Erreur PROGMIC"},
    {14, "_ERR_LECT_VGKMEM", "Erreur LECT VGKMEM"},
    {15, "_ERR_PAS_VGKMEM", "Erreur PAS VGKMEM"},
    {16, "_ERR_MOT_PASSE", "Erreur le mot de passe est incorrecte"},
    {17, "_ERR_MPD_IDENTI", "Erreur l'identification (via le mot de passe) n'est pas réalisée"},
    {18, "_ERR_ECRIT_FLASH", "Erreur d'écriture en flash"},
    {19, "_ERR_RW_RTC", "Erreur de lecture ou d'écriture dans la RTC"},
    {20, "_ERR_PARAM", "Erreur sur un paramètre de la trame"},
    {21, "_ERR_DEBORDEMENT", "Erreur débordement de l'espace mémoire"},
    {22, "_ERR_SIZE_TRAME", "Erreur la longueur de la trame est incorrecte"},
    {23, "_ERR_PRG_APPLIC", "Erreur le header du programme application est incorrecte (ProgBoot)"},
    {24, "_ERR_PROG_SYNC", "Erreur pas de synchronisation, demande de chargement \"SYNC_BOOT\"  (ProgBoot)"},
    {25, "_ERR_COPY_PROG", "Erreur la copie du programme n'est pas valide"},
    {26, "_ERR_CRC_PROG", "Erreur le CRC interne au programme d'application est incorrecte"},
    {27, "_ERR_PAS_CPP", "Erreur pas de carte à puce"},
    {28, "_ERR_LECT_CPP",
     "Erreur lecture carte à puce. Vérifier que la puce de votre carte est orientée vers le bas."},
    {29, "_ERR_WR_CARD", "Erreur d'écriture dans la carte"},
    {255, "_ERR_UNKNOWN", "Erreur inconnue"},
};

TEST_F(Tables, EveryStatusCodeShowsItsOwnText) {
  std::set<std::string> texts;
  for (const TStatusRow& row : kStatusRows) {
    SCOPED_TRACE(row.Code);
    EXPECT_STREQ(StatusKey(row.Code), row.Key);
    EXPECT_EQ(StatusText(row.Code), row.Text);
    texts.insert(StatusText(row.Code));
  }
  // No two codes share a text.
  EXPECT_EQ(texts.size(), sizeof kStatusRows / sizeof kStatusRows[0]);
  // Every other code from -6 to 256 falls under the last row.
  std::set<int> known;
  for (const TStatusRow& row : kStatusRows) known.insert(row.Code);
  for (int code = -6; code <= 256; ++code) {
    if (known.count(code)) continue;
    SCOPED_TRACE(code);
    EXPECT_STREQ(StatusKey(code), "");
    EXPECT_EQ(StatusText(code), "Code erreur inconnue (" + std::to_string(code) + ")");
  }
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
