#include "AppTrace.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <ctime>
#include <filesystem>
#ifdef _WIN32
#include <io.h>
#include <share.h>
#else
#include <unistd.h>
#endif

#ifndef KVZ_VERSION
#define KVZ_VERSION "?"
#endif

namespace {

namespace fs = std::filesystem;

bool IsMotName(const fs::path& p) {
  std::string ext = p.extension().string();
  std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
  return ext == ".mot";
}

// Whether the file open as `fd` (at `path`) is one of the guard's firmware
// files: the same file, whatever name or link leads to it.
bool IsFirmwareFile(int fd, const fs::path& path, const TTraceGuard& guard) {
  std::vector<fs::path> firmware;
  if (!guard.FirmwareFile.empty()) firmware.push_back(fs::u8path(guard.FirmwareFile));
  std::error_code ec;
  if (!guard.FirmwareFolder.empty())
    for (fs::directory_iterator it(fs::u8path(guard.FirmwareFolder), ec), end; !ec && it != end;
         it.increment(ec))
      if (IsMotName(it->path())) firmware.push_back(it->path());
#ifdef _WIN32
  (void)fd;
  for (const fs::path& f : firmware)
    if (fs::equivalent(path, f, ec)) return true;
#else
  (void)path;
  struct stat opened {};
  if (fstat(fd, &opened) != 0) return true;  // cannot tell: not written
  for (const fs::path& f : firmware) {
    struct stat st {};
    if (stat(f.c_str(), &st) == 0 && st.st_dev == opened.st_dev && st.st_ino == opened.st_ino) return true;
  }
#endif
  return false;
}

int OpenForAppend(const fs::path& path) {
#ifdef _WIN32
  int fd = -1;
  _wsopen_s(&fd, path.c_str(), _O_WRONLY | _O_APPEND | _O_CREAT | _O_BINARY | _O_NOINHERIT, _SH_DENYNO,
            _S_IREAD | _S_IWRITE);
  return fd;
#else
  // Not through a link, never emptied, new ones for the owner only; a FIFO
  // or a device does not block the opening (and is refused below).
  const int fd = ::open(path.c_str(),
                        O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0600);
  if (fd < 0) return -1;
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return -1;
  }
  const int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  return fd;
#endif
}

void CloseFd(int fd) {
#ifdef _WIN32
  _close(fd);
#else
  ::close(fd);
#endif
}

}  // namespace

std::FILE* OpenTraceFile(const std::string& path, const std::string& program, const TTraceGuard& guard,
                         bool* refused) {
  if (refused) *refused = false;
  if (path.empty()) return nullptr;
  const fs::path p = fs::u8path(path);
  std::error_code ec;
  const auto same = [&ec](const fs::path& a, const fs::path& b) {
    return fs::absolute(a, ec).lexically_normal() == fs::absolute(b, ec).lexically_normal();
  };
  // A firmware file by its name: one that does not exist yet, or a ".mot"
  // that would then lie beside the executable.
  if (IsMotName(p) || (!guard.FirmwareFile.empty() && same(p, fs::u8path(guard.FirmwareFile)))) {
    if (refused) *refused = true;
    return nullptr;
  }
  const int fd = OpenForAppend(p);
  if (fd < 0) return nullptr;
  // By what it is: a link or another name of a firmware file.
  if (IsFirmwareFile(fd, p, guard)) {
    CloseFd(fd);
    if (refused) *refused = true;
    return nullptr;
  }
#ifdef _WIN32
  std::FILE* f = _fdopen(fd, "ab");
#else
  std::FILE* f = fdopen(fd, "a");
#endif
  if (!f) {
    CloseFd(fd);
    return nullptr;
  }
  const std::string header =
      TAppTrace::StampText(std::chrono::system_clock::now()) + " --- " + program + " " + KVZ_VERSION + "\n";
  std::fputs(header.c_str(), f);
  std::fflush(f);
  return f;
}

TAppTrace::~TAppTrace() {
  if (FFile) std::fclose(FFile);
}

bool TAppTrace::Open(const std::string& path, const TTraceGuard& guard) {
  if (FFile) std::fclose(FFile);
  FFile = OpenTraceFile(path, "VelmoraUpgrade", guard, &FRefused);
  FPath = path;
  return FFile != nullptr;
}

std::string TAppTrace::FrameText(bool toTerminal, const std::vector<uint8_t>& frame) {
  static const char* const kHex = "0123456789ABCDEF";
  // The password frame: 55 82 FF, its length, the password, the checksum.
  const bool password =
      toTerminal && frame.size() > 6 && frame[0] == 0x55 && frame[1] == 0x82 && frame[2] == 0xFF;
  std::string s = toTerminal ? "TERM<" : "TERM>";
  for (size_t i = 0; i < frame.size(); ++i) {
    s += ' ';
    if (password && i >= 5 && i + 1 < frame.size()) {
      s += "**";
      continue;
    }
    s += kHex[frame[i] >> 4];
    s += kHex[frame[i] & 15];
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

std::string TAppTrace::StampText(std::chrono::system_clock::time_point now) {
  using namespace std::chrono;
  const std::time_t t = system_clock::to_time_t(now);
  long long ms = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
  if (ms < 0) ms += 1000;
  std::tm tm{};
#ifdef _WIN32
  localtime_s(&tm, &t);
#else
  localtime_r(&t, &tm);
#endif
  char stamp[48];
  const size_t n = std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tm);
  std::snprintf(stamp + n, sizeof stamp - n, ".%03d", static_cast<int>(ms));
  return stamp;
}

void TAppTrace::Line(const std::string& text) {
  if (!FFile) return;
  std::fprintf(FFile, "%s %s\n", StampText(std::chrono::system_clock::now()).c_str(), text.c_str());
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
