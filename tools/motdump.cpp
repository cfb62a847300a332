// motdump [--frames] FICHIER
// motdump --texte FICHIER
//
// Shows what a firmware file holds, as the application reads it.
//
// Without --texte: one JSON object on standard output, for other tools (its
// form does not change).
//   exit 0: the file is accepted   {"ok": true, "appliType": 9, ...}
//   exit 1: the file is refused    {"ok": false, "error": KEY, "message": TEXT}
//   exit 2: usage error (nothing on stdout) or unreadable file
//
// With --texte: a French summary for a person (application type and name,
// version, date, layout, blocks, pages, sizes) and the line of every
// S-record whose checksum does not match its bytes. The application itself
// does not look at checksums and takes such files: the inspector tells.
// Same exit codes.
#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "Frames.h"
#include "U_ConstDlg.h"
#include "U_DecodeFileMot.h"
#include "U_Messages.h"
#include "U_Textes.h"

extern const unsigned char kEmbeddedCatalogue[];
extern const std::size_t kEmbeddedCatalogueSize;

namespace {

constexpr uint16_t kCmdSendBlock = 0xFF8A;
constexpr std::size_t kMaxLinesListed = 50;

// The command frame that carries `data`, built by the protocol's own code.
std::vector<uint8_t> MakeFrame(uint16_t code, const std::vector<uint8_t>& data) {
  return BuildFrame(data, code);
}

// Keeps the first message the loading shows instead of showing it.
class TFirstMessage : public IMessagePresenter {
 public:
  TMsgResult Present(const TMessage& msg) override {
    if (!Seen) {
      Seen = true;
      First = msg;
    }
    return msg.Kind == TMsgKind::TransmissionError ? TMsgResult::Cancel : TMsgResult::Ok;
  }
  bool Seen = false;
  TMessage First;
};

std::string Hex(const std::vector<uint8_t>& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string s;
  s.reserve(2 * bytes.size());
  for (uint8_t b : bytes) {
    s += kDigits[b >> 4];
    s += kDigits[b & 0xF];
  }
  return s;
}

// UTF-8 text with its control characters escaped as JSON escapes them
// (\n, \r, \t, \u001b...), so that a file name or a header holding escape
// sequences cannot drive the terminal. `json` also escapes the quote and the
// backslash. The summary also escapes the C1 controls (U+0080 to U+009F),
// which some terminals obey as well.
std::string Escaped(const std::string& text, bool json) {
  std::string s;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const unsigned char next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
    int code = -1;
    if (json && (c == '"' || c == '\\')) {
      s += '\\';
    } else if (c == '\n' || c == '\r' || c == '\t') {
      s += c == '\n' ? "\\n" : c == '\r' ? "\\r" : "\\t";
      continue;
    } else if (c < 0x20 || c == 0x7F) {
      code = c;
    } else if (!json && c == 0xC2 && next >= 0x80 && next <= 0x9F) {
      code = next;
      ++i;
    }
    if (code < 0) {
      s += static_cast<char>(c);
      continue;
    }
    char buf[8];
    std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(code));
    s += buf;
  }
  return s;
}

// A JSON string of UTF-8 text.
std::string Quote(const std::string& text) { return "\"" + Escaped(text, true) + "\""; }

// Text of the file, for the terminal.
std::string Shown(const std::string& text) { return Escaped(text, false); }

std::string Refusal(const TFirstMessage& seen) {
  std::ostringstream out;
  out << "{\"ok\": false, \"error\": ";
  if (seen.Seen && !seen.First.Key.empty())
    out << Quote(seen.First.Key);
  else
    out << "null";
  out << ", \"message\": " << (seen.Seen ? Quote(seen.First.Text) : std::string("null")) << "}";
  return out.str();
}

std::string Success(const TObjFileMot& mot, bool frames) {
  std::ostringstream out;
  out << "{\"ok\": true, \"appliType\": " << mot.AppliType
      << ", \"versionName\": " << Quote(Cp1252ToUtf8(mot.VersionName))
      << ", \"appliDate\": " << Quote(mot.AppliDate.ToIso())
      << ", \"newLayout\": " << (mot.NewLayout ? "true" : "false") << ", \"blockCount\": " << mot.BlockCount
      << ", \"blocks\": [";
  for (int i = 0; i < mot.Blocks.Count(); ++i) {
    const TDatasToSend& b = mot.Blocks.GetItem(i);
    const std::vector<uint8_t> transfer = b.GetTransferBlock();
    if (i > 0) out << ", ";
    out << "{\"number\": " << b.BlockNumber << ", \"dataLength\": " << b.DataLength << ", \"transfer\": \""
        << Hex(transfer) << "\"";
    if (frames) out << ", \"frame\": \"" << Hex(MakeFrame(kCmdSendBlock, transfer)) << "\"";
    out << "}";
  }
  out << "]}";
  return out.str();
}

// ---------------------------------------------------------------------------
// The summary for a person.

// 1234567 -> "1 234 567".
std::string Grouped(unsigned long long n) {
  std::string digits = std::to_string(n);
  std::string out;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ' ';
    out += digits[i];
  }
  return out;
}

std::string HexAddress(unsigned long long a) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "0x%06llX", a);
  return buf;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// What the checksum pass found on one line.
struct TLineNote {
  std::size_t Line;  // counted from 1, as an editor counts
  bool Unreadable;   // not a record whose checksum can be read
  int Read = 0;      // the checksum written on the line
  int Computed = 0;  // the one its bytes give
};

struct TChecksums {
  std::size_t Records = 0;  // records whose checksum was verified
  std::vector<TLineNote> Notes;
};

// Checks one S-record: "S", its type digit, then the count byte, the
// address, the data and the checksum, in hexadecimal pairs. The checksum is
// the ones' complement of the low byte of the sum of the count, address and
// data bytes.
void CheckRecord(const std::string& s, std::size_t number, TChecksums& out) {
  if (s.empty()) return;
  const bool shape =
      s.size() >= 6 && s[0] == 'S' && std::isdigit(static_cast<unsigned char>(s[1])) && s.size() % 2 == 0;
  std::vector<int> bytes;
  for (std::size_t i = 2; shape && i + 1 < s.size(); i += 2) {
    const int hi = HexDigit(s[i]), lo = HexDigit(s[i + 1]);
    if (hi < 0 || lo < 0) break;
    bytes.push_back(hi << 4 | lo);
  }
  if (!shape || bytes.size() != (s.size() - 2) / 2 || bytes[0] != static_cast<int>(bytes.size()) - 1) {
    out.Notes.push_back({number, true});
    return;
  }
  int sum = 0;
  for (std::size_t i = 0; i + 1 < bytes.size(); ++i) sum += bytes[i];
  const int computed = ~sum & 0xFF;
  ++out.Records;
  if (computed != bytes.back()) out.Notes.push_back({number, false, bytes.back(), computed});
}

// Splits the file into lines as the application does (SplitLines: CR LF, LF
// and CR end a line) and checks every record. False when the file cannot be
// read whole (unreadable, or above the firmware size limit).
bool CheckFile(const std::string& path, TChecksums& out) {
  std::string bytes, error;
  if (!ReadMotFile(path, bytes, error)) return false;
  std::size_t number = 0;
  for (const std::string& line : SplitLines(bytes)) CheckRecord(line, ++number, out);
  return true;
}

void PrintChecksums(std::ostream& out, const TChecksums& sums) {
  std::size_t wrong = 0, unreadable = 0;
  for (const TLineNote& n : sums.Notes) (n.Unreadable ? unreadable : wrong)++;
  if (sums.Records == 0)
    out << "Sommes de contrôle : aucun enregistrement lisible.\n";
  else if (wrong == 0)
    out << "Sommes de contrôle : toutes justes (" << Grouped(sums.Records)
        << " enregistrement(s) vérifié(s)).\n";
  else
    out << "Sommes de contrôle fausses : " << Grouped(wrong) << " enregistrement(s) sur "
        << Grouped(sums.Records) << " (le programme ne les vérifie pas) :\n";
  std::size_t listed = 0;
  for (const TLineNote& n : sums.Notes) {
    if (n.Unreadable) continue;
    if (listed++ == kMaxLinesListed) {
      out << "  ... et " << Grouped(wrong - kMaxLinesListed) << " autre(s)\n";
      break;
    }
    char buf[96];
    std::snprintf(buf, sizeof buf, "  ligne %zu : somme lue %02X, ses octets donnent %02X\n", n.Line, n.Read,
                  n.Computed);
    out << buf;
  }
  if (unreadable > 0) {
    out << "Lignes qui ne sont pas des enregistrements S lisibles (somme non vérifiable) : "
        << Grouped(unreadable) << "\n ";
    listed = 0;
    for (const TLineNote& n : sums.Notes) {
      if (!n.Unreadable) continue;
      if (listed++ == kMaxLinesListed) {
        out << " ...";
        break;
      }
      out << " " << n.Line;
    }
    out << "\n";
  }
}

void PrintSummary(std::ostream& out, const std::string& path, const TObjFileMot& mot, bool ok,
                  const TFirstMessage& seen) {
  std::error_code ec;
  const auto size = std::filesystem::file_size(path, ec);
  out << "Fichier : " << Shown(path);
  if (!ec) out << " (" << Grouped(size) << " octets)";
  out << "\n";
  if (!ok) {
    out << "Refusé par le programme : "
        << (seen.Seen ? Shown(seen.First.Text) : std::string("raison inconnue"));
    if (seen.Seen && !seen.First.Key.empty()) out << " (" << seen.First.Key << ")";
    out << "\n";
    return;
  }
  out << "Accepté par le programme.\n";
  out << "Application : type " << mot.AppliType << " (" << AppTypeText(mot.AppliType) << ")\n";
  out << "Version : " << Shown(Cp1252ToUtf8(mot.VersionName)) << "\n";
  char date[16];
  std::snprintf(date, sizeof date, "%02d/%02d/%04d", mot.AppliDate.Day, mot.AppliDate.Month,
                mot.AppliDate.Year);
  out << "Date : " << date << "\n";
  out << "Disposition : "
      << (mot.NewLayout ? "nouvelle (l'image commence par FF FF, date écrite JJ/MM/AAAA)"
                        : "ancienne (date écrite « Mmm JJ AAAA »)")
      << "\n";
  int pages = 0, lastPage = 0;
  unsigned long long data = 0;
  for (int i = 0; i < mot.Blocks.Count(); ++i) {
    const TDatasToSend& b = mot.Blocks.GetItem(i);
    if (b.IsEndBlock()) continue;
    ++pages;
    lastPage = std::max(lastPage, b.BlockNumber);
    data += static_cast<unsigned long long>(b.DataLength);
  }
  out << "Blocs : " << mot.BlockCount << " (" << pages
      << " page(s) de 256 octets au plus, puis le bloc de fin)\n";
  const unsigned long long first = static_cast<unsigned long long>(mot.FirstPage) * 256;
  const unsigned long long end = first + static_cast<unsigned long long>(lastPage + 1) * 256 - 1;
  out << "Pages utilisées : " << pages << " sur " << (lastPage + 1) << ", blocs 0 à " << lastPage
      << ", adresses " << HexAddress(first) << " à " << HexAddress(end) << "\n";
  out << "Taille : " << Grouped(data) << " octets envoyés au terminal\n";
}

int Usage(std::ostream& os, int status) {
  os << "Usage : motdump [--frames] FICHIER\n"
        "        motdump --texte FICHIER\n"
        "Lit un fichier firmware .mot comme le programme le lit.\n"
        "  (sans option)  un objet JSON sur la sortie standard, pour les autres outils\n"
        "  --frames       avec, pour chaque bloc, la trame 0xFF8A complète\n"
        "  --texte        un résumé en français : type et nom de l'application, version, date,\n"
        "                 disposition, blocs, pages, tailles, et la ligne de chaque enregistrement S\n"
        "                 dont la somme de contrôle ne correspond pas à ses octets (le programme\n"
        "                 ne vérifie pas ces sommes)\n"
        "  --help, -h     cette aide\n"
        "Code de sortie : 0 fichier accepté, 1 fichier refusé, 2 erreur d'usage ou fichier illisible.\n";
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  bool frames = false, text = false;
  std::string file;
  bool haveFile = false;
  bool optionsDone = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (!optionsDone && arg == "--frames") {
      frames = true;
    } else if (!optionsDone && arg == "--texte") {
      text = true;
    } else if (!optionsDone && (arg == "--help" || arg == "-h")) {
      return Usage(std::cout, 0);
    } else if (!optionsDone && arg == "--") {
      optionsDone = true;
    } else if (!optionsDone && arg.size() > 1 && arg[0] == '-') {
      std::cerr << "motdump : option inconnue " << arg << "\n";
      return Usage(std::cerr, 2);
    } else if (haveFile) {
      std::cerr << "motdump : un seul fichier\n";
      return Usage(std::cerr, 2);
    } else {
      file = arg;
      haveFile = true;
    }
  }
  if (!haveFile) return Usage(std::cerr, 2);
  if (frames && text) {
    std::cerr << "motdump : --frames et --texte s'excluent\n";
    return Usage(std::cerr, 2);
  }

  // A file that cannot be opened is a usage matter, not a refusal. As the
  // program does, only a regular file (a link to one included) is read: a
  // pipe would keep the reading waiting for ever, a device might never end.
  std::error_code ec;
  const bool regular = std::filesystem::is_regular_file(file, ec);
  if (!regular || !std::ifstream(file, std::ios::binary)) {
    const std::string error = "Impossible d'ouvrir le fichier \"" + file + "\"." +
                              (regular || ec ? "" : " Ce n'est pas un fichier ordinaire.");
    std::cerr << "motdump : " << Shown(error) << "\n";
    if (text)
      std::cout << "Fichier illisible : " << Shown(file) << "\n";
    else
      std::cout << "{\"ok\": false, \"error\": null, \"message\": " << Quote(error) << "}" << std::endl;
    return 2;
  }

  LoadCatalogue(std::string(reinterpret_cast<const char*>(kEmbeddedCatalogue), kEmbeddedCatalogueSize));
  TFirstMessage seen;
  SetMessagePresenter(&seen);
  TObjFileMot mot;
  const bool ok = mot.LoadFile(file);
  SetMessagePresenter(nullptr);
  if (text) {
    PrintSummary(std::cout, file, mot, ok, seen);
    TChecksums sums;
    if (CheckFile(file, sums)) PrintChecksums(std::cout, sums);
    std::cout.flush();
  } else {
    std::cout << (ok ? Success(mot, frames) : Refusal(seen)) << std::endl;
  }
  return ok ? 0 : 1;
}
