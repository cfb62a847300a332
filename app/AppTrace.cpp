#include "AppTrace.h"

#include <chrono>
#include <ctime>

TAppTrace::~TAppTrace() {
  if (FFile) std::fclose(FFile);
}

bool TAppTrace::Open(const std::string& path) {
  if (FFile) std::fclose(FFile);
  FFile = std::fopen(path.c_str(), "w");
  FPath = path;
  return FFile != nullptr;
}

std::string TAppTrace::FrameText(bool toTerminal, const std::vector<uint8_t>& frame) {
  static const char* const kHex = "0123456789ABCDEF";
  std::string s = toTerminal ? "TERM<" : "TERM>";
  for (uint8_t b : frame) {
    s += ' ';
    s += kHex[b >> 4];
    s += kHex[b & 15];
  }
  return s;
}

std::string TAppTrace::MessageText(const TMessage& msg) {
  std::string s = std::string("MSG ") + MsgKindName(msg.Kind) + " " + (msg.Key.empty() ? "-" : msg.Key) + " ";
  for (char c : msg.Text) {
    if (c == '\r')
      s += "\\r";
    else if (c == '\n')
      s += "\\n";
    else
      s += c;
  }
  return s;
}

void TAppTrace::Frame(bool toTerminal, const std::vector<uint8_t>& frame) {
  Line(FrameText(toTerminal, frame));
}

void TAppTrace::Message(const TMessage& msg) { Line(MessageText(msg)); }

void TAppTrace::Line(const std::string& text) {
  if (!FFile) return;
  using namespace std::chrono;
  const auto now = system_clock::now();
  const std::time_t t = system_clock::to_time_t(now);
  const int ms = static_cast<int>(duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000);
  std::tm tm{};
#ifdef _WIN32
  localtime_s(&tm, &t);
#else
  localtime_r(&t, &tm);
#endif
  char stamp[40];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tm);
  std::fprintf(FFile, "%s.%03d %s\n", stamp, ms, text.c_str());
  std::fflush(FFile);
}

TMsgResult TTracingPresenter::Present(const TMessage& msg) {
  FTrace.Message(msg);
  return FInner.Present(msg);
}

bool ParseAppCommandLine(const std::vector<std::string>& args, TAppCommandLine& out, std::string& error) {
  out = TAppCommandLine();
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--help" || a == "-h") {
      out.Help = true;
    } else if (a == "--trace") {
      if (i + 1 >= args.size()) {
        error = "L'option --trace attend le nom du fichier de trace.";
        return false;
      }
      out.TraceFile = args[++i];
    } else if (a.rfind("--trace=", 0) == 0) {
      out.TraceFile = a.substr(8);
      if (out.TraceFile.empty()) {
        error = "L'option --trace attend le nom du fichier de trace.";
        return false;
      }
    } else if (a.size() > 1 && a[0] == '-') {
      error = "Option inconnue : " + a;
      return false;
    } else if (!out.FirmwareFile.empty()) {
      error = "Un seul fichier firmware peut être donné (" + out.FirmwareFile + ", " + a + ").";
      return false;
    } else {
      out.FirmwareFile = a;
    }
  }
  return true;
}

std::string AppUsage() {
  return "Usage : VelmoraUpgrade [--trace FICHIER] [FICHIER.mot]\n"
         "\n"
         "Charge le firmware du terminal de programmation et installe son pilote.\n"
         "\n"
         "  FICHIER.mot       le fichier firmware à charger (par défaut : le seul\n"
         "                    fichier .mot du dossier du programme)\n"
         "  --trace FICHIER   écrit dans FICHIER chaque trame échangée avec le\n"
         "                    terminal et chaque message affiché, avec l'heure\n"
         "  -h, --help        affiche cette aide\n";
}
