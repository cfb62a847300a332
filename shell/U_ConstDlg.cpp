#include "U_ConstDlg.h"

#include "U_Textes.h"

const char* StatusKey(int code) {
  switch (code) {
    case -5: return "_ERR_CRC_APP";
    case -4: return "_ERR_SWITCH_ON";
    case -3: return "_ERR_WEIGAND_INVALID";
    case -2: return "_ERR_TIMEOUT_APP";
    case -1: return "_ERR_NO_ANSWER";
    case 0: return "_ERR_EMIT_TRAM";
    case 1: return "_ERR_TRAM_CORRECT";
    case 2: return "_ERR_TRAM_TIME_OUT";
    case 3: return "_ERR_CRC_TRAM";
    case 4: return "_ERR_PAS_MEMOIRE";
    case 5: return "_ERR_PAS_VGKDISQUE";
    case 6: return "_ERR_ECRITURE_VGKDISQUE";
    case 7: return "_ERR_PAS_DE_CLE";
    case 8: return "_ERR_ECRIT_CLE";
    case 9: return "_ERR_EFFACEMENT";
    case 10: return "_ERR_MESSAGE_INCONNU";
    case 11: return "_ERR_COMMANDE";
    case 12: return "_ERR_NUMBLOC";
    case 13: return "_ERR_PROGMIC";
    case 14: return "_ERR_LECT_VGKMEM";
    case 15: return "_ERR_PAS_VGKMEM";
    case 16: return "_ERR_MOT_PASSE";
    case 17: return "_ERR_MPD_IDENTI";
    case 18: return "_ERR_ECRIT_FLASH";
    case 19: return "_ERR_RW_RTC";
    case 20: return "_ERR_PARAM";
    case 21: return "_ERR_DEBORDEMENT";
    case 22: return "_ERR_SIZE_TRAME";
    case 23: return "_ERR_PRG_APPLIC";
    case 24: return "_ERR_PROG_SYNC";
    case 25: return "_ERR_COPY_PROG";
    case 26: return "_ERR_CRC_PROG";
    case 27: return "_ERR_PAS_CPP";
    case 28: return "_ERR_LECT_CPP";
    case 29: return "_ERR_WR_CARD";
    case 255: return "_ERR_UNKNOWN";
    default: return "";
  }
}

std::string StatusText(int code) {
  const char* key = StatusKey(code);
  if (*key) return GetTexte(key);
  return FormatText(GetTexte("_ERR_CODEUNKNOWN"), {code});
}

const char* AppTypeKey(int code) {
  switch (code) {
    case -1: return "_Appli_ProgUnknown";
    case 0: return "_Appli_Centrale";
    case 1: return "_Appli_Lecteur";
    case 2: return "_Appli_Clavier";
    case 3: return "_Appli_Interphone";
    case 4: return "_Appli_Recepteur";
    case 5: return "_Appli_Platine";
    case 6: return "_Appli_Ventouse";
    case 7: return "_Appli_Extension";
    case 8: return "_Appli_GestPorte";
    case 9: return "_Appli_Velmora";
    case 10: return "_Appli_Badge";
    case 11: return "_Appli_Digicode";
    case 12: return "_Appli_Ascenseur";
    case 13: return "_Appli_Portail";
    case 14: return "_Appli_VelmoraSyc";
    case 15: return "_Appli_Horloge";
    case 16: return "_Appli_Concentrateur";
    case 17: return "_Appli_Passerelle";
    case 18: return "_Appli_Emetteur";
    case 19: return "_Appli_Relais";
    case 20: return "_Appli_Combine";
    case 21: return "_Appli_Video";
    case 22: return "_Appli_Afficheur";
    case 23: return "_Appli_Biometrie";
    case 27: return "_Appli_Telecommande";
    case 28: return "_Appli_Serrure";
    case 29: return "_Appli_Tourniquet";
    case 32: return "_Appli_Barriere";
    case 255: return "_Appli_ProgBoot";
    default: return "";
  }
}

std::string AppTypeText(int code) {
  const char* key = AppTypeKey(code);
  if (*key) return GetTexte(key);
  return FormatText(GetTexte("_Appli_ProgNoUnknown"), {code});
}
