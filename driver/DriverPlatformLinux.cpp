// Linux: no kernel driver is needed, only a udev rule that gives the
// logged-in user access to the terminal's hidraw node. A rule already in any
// udev rules folder (the package's) needs nothing more than a replug.
// Otherwise one pkexec call, run by its absolute path with an argument
// vector, installs the embedded rule into /etc/udev/rules.d and reloads
// udev's rules; the fallback writes it there when the process has the
// rights.
//
// Nothing is read back from the folder beside the executable, which others
// may be able to write: the rule handed to pkexec is written from the
// embedded bytes into a folder only this user can enter, so what root
// installs is what the program carries, however long the authentication
// dialog waits. Files written beside the executable (a copy of the program
// of its own) are created new, never through whatever stands at their path.
#ifndef _WIN32

#include <errno.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "DriverFileIO.h"
#include "U_Paths.h"
#include "driver.h"

extern char** environ;

// ---------------------------------------------------------------------------
// Error texts

std::string SystemErrorText(int code) {
  switch (code) {
    case EACCES: return "Permission non accordée";
    case EPERM: return "Opération non permise";
    case ENOENT: return "Aucun fichier ou dossier de ce type";
    case ENOTDIR: return "N'est pas un dossier";
    case EISDIR: return "Est un dossier";
    case EROFS: return "Système de fichiers accessible en lecture seulement";
    case ENOSPC: return "Aucun espace disponible sur le périphérique";
    case EDQUOT: return "Quota d'espace disque dépassé";
    case EFBIG: return "Fichier trop volumineux";
    case ENAMETOOLONG: return "Nom de fichier trop long";
    case ELOOP: return "Trop de niveaux de liens symboliques";
    case EIO: return "Erreur d'entrée/sortie";
    case EMFILE: return "Trop de fichiers ouverts";
    case ENFILE: return "Trop de fichiers ouverts dans le système";
    case EEXIST: return "Le fichier existe";
    case ETXTBSY: return "Fichier texte occupé";
    case EBUSY: return "Périphérique ou ressource occupé";
    default: break;
  }
  char buf[256];
  // The GNU strerror_r returns its text, which need not be in buf.
  const char* text = strerror_r(code, buf, sizeof buf);
  return text ? std::string(text) : "Erreur " + std::to_string(code);
}

// ---------------------------------------------------------------------------
// File primitives

namespace {
std::string CreateErrorText(const std::string& path, int err) {
  return "Impossible de créer le fichier \"" + path + "\". " + SystemErrorText(err);
}
std::string WriteErrorText(const std::string& path, int err) {
  return "Impossible d'écrire le fichier \"" + path + "\". " + SystemErrorText(err);
}

// Writes all of `bytes`; false with errno set on failure.
bool WriteAll(int fd, const char* bytes, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, bytes, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}
}  // namespace

void DeleteFileIfPresent(const std::string& path) { ::unlink(path.c_str()); }

void WriteWholeFile(const std::string& path, const std::string& bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) {
    int err = errno;
    struct stat st;
    // A folder of that name is a better reason than "it exists".
    if (err == EEXIST && ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) err = EISDIR;
    throw EDriverFileError(CreateErrorText(path, err));
  }
  bool ok = WriteAll(fd, bytes.data(), bytes.size());
  int err = ok ? 0 : errno;
  if (::close(fd) != 0 && ok) {
    ok = false;
    err = errno;
  }
  if (!ok) {
    ::unlink(path.c_str());
    throw EDriverFileError(WriteErrorText(path, err));
  }
}

bool FileExists(const std::string& path) {
  struct stat st;
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// ---------------------------------------------------------------------------
// The platform

namespace {
std::string FirstExisting(std::initializer_list<const char*> candidates) {
  for (const char* c : candidates)
    if (::access(c, X_OK) == 0) return c;
  return *candidates.begin();
}

std::string WithSeparator(std::string dir) {
  if (!dir.empty() && dir.back() != '/') dir += '/';
  return dir;
}

std::string WithoutSeparator(std::string dir) {
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return dir;
}

// Creates `path` as a new file holding `bytes` with mode `mode` (the umask
// left aside), never through a link; false, leaving nothing, when it cannot.
bool CreateWithBytes(const std::string& path, const std::string& bytes, mode_t mode) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  bool ok = ::fchmod(fd, mode) == 0 && WriteAll(fd, bytes.data(), bytes.size());
  if (::close(fd) != 0) ok = false;
  if (!ok) ::unlink(path.c_str());
  return ok;
}

// A folder that only this user can enter (mode 0700), made under
// $XDG_RUNTIME_DIR when it is set, else under /tmp; removed with its files
// unless kept.
class TPrivateDir {
 public:
  TPrivateDir() {
    std::vector<std::string> bases;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/') bases.emplace_back(runtime);
    bases.emplace_back("/tmp");
    for (const std::string& base : bases) {
      std::string tmpl = WithoutSeparator(base) + "/kvz-rule-XXXXXX";
      if (::mkdtemp(tmpl.data()) != nullptr) {
        Dir = tmpl;
        break;
      }
    }
  }
  ~TPrivateDir() {
    if (Kept) return;
    for (const std::string& f : Files) ::unlink(f.c_str());
    if (!Dir.empty()) ::rmdir(Dir.c_str());
  }
  TPrivateDir(const TPrivateDir&) = delete;
  TPrivateDir& operator=(const TPrivateDir&) = delete;

  // The embedded rule written into the folder; empty when it cannot be.
  std::string WriteRule() {
    if (Dir.empty()) return std::string();
    const std::string target = Dir + "/" + kUdevRuleFileName;
    if (!CreateWithBytes(target, DriverResourceBytes("UDEV"), 0644)) return std::string();
    Files.push_back(target);
    return target;
  }
  void Keep() { Kept = true; }

 private:
  std::string Dir;
  std::vector<std::string> Files;
  bool Kept = false;
};

// Starts `argv`, whose program is an absolute path (no PATH search), with
// the caller's environment and none of its descriptors beyond the standard
// three, and waits for it without a time limit; true when it ran and exited
// with code 0.
bool RunAndWait(const std::vector<std::string>& argv) {
  if (argv.empty() || argv[0].empty() || argv[0][0] != '/') return false;
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  if (::posix_spawn_file_actions_init(&actions) != 0) return false;
  // Whatever any part of the process left open without close-on-exec stays
  // out of a program that may run as root.
  ::posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  pid_t pid = 0;
  const int started = ::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  ::posix_spawn_file_actions_destroy(&actions);
  if (started != 0) return false;
  int status = 0;
  for (;;) {
    const pid_t r = ::waitpid(pid, &status, 0);
    if (r == pid) break;
    if (r < 0 && errno != EINTR) return false;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Run by pkexec as root: installs the rule ($3) as $4 with install ($1),
// then has udev reload its rules with udevadm ($2). Every path is an
// argument: nothing is pasted into the script.
const char* const kInstallScript = "\"$1\" -m 0644 -T -- \"$3\" \"$4\" && \"$2\" control --reload-rules";

class TLinuxDriverPlatform : public IDriverPlatform {
 public:
  explicit TLinuxDriverPlatform(const TDriverPlatformOptions& o) : Options(o) {
    if (Options.Installer.empty()) Options.Installer = FirstExisting({"/usr/bin/pkexec", "/bin/pkexec"});
    if (Options.InstallTool.empty())
      Options.InstallTool = FirstExisting({"/usr/bin/install", "/bin/install"});
    if (Options.UdevadmTool.empty())
      Options.UdevadmTool =
          FirstExisting({"/usr/bin/udevadm", "/bin/udevadm", "/usr/sbin/udevadm", "/sbin/udevadm"});
    if (Options.RulesDirs.empty())
      Options.RulesDirs = {kUdevRulesDir, "/run/udev/rules.d", "/usr/local/lib/udev/rules.d",
                           "/usr/lib/udev/rules.d", "/lib/udev/rules.d"};
    Options.SystemDir = WithoutSeparator(Options.SystemDir);
  }

  std::string ExecutableDir() override {
    return WithSeparator(Options.ExecutableDir.empty() ? ::ExecutableDir() : Options.ExecutableDir);
  }

  std::string GetSystemDir() override {
    return Options.SystemDir.empty() ? std::string(kUdevRulesDir) : Options.SystemDir;
  }

  // There is no Windows directory here.
  std::string GetWindowsDir() override { return std::string(); }

  std::vector<TDriverFile> PackageFiles() override {
    std::vector<TDriverFile> files = DriverPackage();
    files.push_back({"UDEV", kUdevRuleFileName});
    return files;
  }

  // Nothing here needs the files beside the executable. An installed program
  // (a package's) leaves its folder to the package manager; a copy of its
  // own (a build, a folder carried around) gets them when its folder can be
  // written.
  bool WritesPackageBeside() override {
    const std::string dir = ExecutableDir();
    return !InstalledProgramDir(dir) && ::faccessat(AT_FDCWD, dir.c_str(), W_OK | X_OK, AT_EACCESS) == 0;
  }

  // The first rules folder that holds the rule (the package's, or one
  // installed before), whatever its content.
  std::string InstalledBefore() override {
    for (const std::string& dir : Options.RulesDirs) {
      const std::string rule = WithoutSeparator(dir) + "/" + kUdevRuleFileName;
      if (FileExists(rule)) return rule;
    }
    return std::string();
  }

  // One administrator prompt: pkexec runs a shell that installs the rule and
  // reloads udev's rules. The rule is the embedded one, written into a
  // private folder: nobody else can change what root installs, however long
  // the authentication dialog waits. `infPath` and the show-window value
  // mean nothing here.
  bool RunDriverInstaller(const std::string& /*infPath*/, std::uint16_t /*showWindow*/) override {
    TPrivateDir dir;
    const std::string source = dir.WriteRule();
    if (source.empty()) return false;
    return RunAndWait({Options.Installer, "/bin/sh", "-c", kInstallScript, "sh", Options.InstallTool,
                       Options.UdevadmTool, source, InstalledDriverFile()});
  }

  // Succeeds only with the rights to write the rules folder; never replaces
  // a rule that is there.
  void CopyDriverFiles() override {
    CreateWithBytes(InstalledDriverFile(), DriverResourceBytes("UDEV"), 0644);
  }

  std::string InstalledDriverFile() override { return GetSystemDir() + "/" + kUdevRuleFileName; }

  // A copy of the embedded rule that stays for the administrator, in a
  // folder only this user can write (gone at the end of the session, or of
  // the boot), and the rules folder it goes into. Where no such folder can
  // be made, the rule beside the executable, when it was written there.
  std::pair<std::string, std::string> ManualInstallPaths() override {
    TPrivateDir dir;
    std::string copy = dir.WriteRule();
    if (!copy.empty())
      dir.Keep();
    else if (FileExists(ExecutableDir() + kUdevRuleFileName))
      copy = ExecutableDir() + kUdevRuleFileName;
    return {copy, GetSystemDir()};
  }

 private:
  // Whether `dir` lies in the folder the installation puts the programs in
  // (Packaging.cmake: <prefix>/lib/velmoraupgrade, the demo below it).
  static bool InstalledProgramDir(const std::string& dir) {
    return dir.find(std::string("/") + KVZ_INSTALL_LIBDIR + "/") != std::string::npos;
  }

  TDriverPlatformOptions Options;
};
}  // namespace

std::unique_ptr<IDriverPlatform> NewDriverPlatform(const TDriverPlatformOptions& options) {
  return std::make_unique<TLinuxDriverPlatform>(options);
}

IDriverPlatform& DefaultDriverPlatform() {
  static TLinuxDriverPlatform platform{TDriverPlatformOptions{}};
  return platform;
}

#endif  // !_WIN32
