// motdump [--frames] FILE
//
// Shows what a firmware file holds, as the application reads it: one JSON
// object on standard output.
//   exit 0: the file is accepted   {"ok": true, "appliType": 9, ...}
//   exit 1: the file is refused    {"ok": false, "error": KEY, "message": TEXT}
//   exit 2: usage error (nothing on stdout) or unreadable file
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "U_DecodeFileMot.h"
#include "U_Messages.h"
#include "U_Textes.h"

#include "Frames.h"

extern const unsigned char kEmbeddedCatalogue[];
extern const std::size_t kEmbeddedCatalogueSize;

namespace {

constexpr uint16_t kCmdSendBlock = 0xFF8A;

// The command frame that carries `data`, built by the protocol's own code.
std::vector<uint8_t> MakeFrame(uint16_t code, const std::vector<uint8_t>& data) { return BuildFrame(data, code); }

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

// A JSON string of UTF-8 text.
std::string Quote(const std::string& text) {
  std::string s = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"': s += "\\\""; break;
      case '\\': s += "\\\\"; break;
      case '\n': s += "\\n"; break;
      case '\r': s += "\\r"; break;
      case '\t': s += "\\t"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          s += buf;
        } else {
          s += static_cast<char>(c);
        }
    }
  }
  return s + "\"";
}

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

int Usage(std::ostream& os, int status) {
  os << "usage: motdump [--frames] FILE\n"
        "Decodes a firmware .mot file as the application does and prints one JSON object.\n"
        "  --frames  also give, for every block, the whole 0xFF8A command frame\n"
        "Exit status: 0 accepted, 1 refused, 2 usage error or unreadable file.\n";
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  bool frames = false;
  std::string file;
  bool haveFile = false;
  bool optionsDone = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (!optionsDone && arg == "--frames") {
      frames = true;
    } else if (!optionsDone && (arg == "--help" || arg == "-h")) {
      return Usage(std::cout, 0);
    } else if (!optionsDone && arg == "--") {
      optionsDone = true;
    } else if (!optionsDone && arg.size() > 1 && arg[0] == '-') {
      std::cerr << "motdump: unknown option " << arg << "\n";
      return Usage(std::cerr, 2);
    } else if (haveFile) {
      std::cerr << "motdump: one file only\n";
      return Usage(std::cerr, 2);
    } else {
      file = arg;
      haveFile = true;
    }
  }
  if (!haveFile) return Usage(std::cerr, 2);

  LoadCatalogue(std::string(reinterpret_cast<const char*>(kEmbeddedCatalogue), kEmbeddedCatalogueSize));
  TFirstMessage seen;
  SetMessagePresenter(&seen);

  std::string bytes, error;
  if (!ReadMotFile(file, bytes, error)) {
    SetMessagePresenter(nullptr);
    std::cerr << "motdump: " << error << "\n";
    std::cout << "{\"ok\": false, \"error\": null, \"message\": " << Quote(error) << "}" << std::endl;
    return 2;
  }
  TObjFileMot mot;
  const bool ok = mot.LoadText(bytes);
  SetMessagePresenter(nullptr);
  std::cout << (ok ? Success(mot, frames) : Refusal(seen)) << std::endl;
  return ok ? 0 : 1;
}
