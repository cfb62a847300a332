// Linux: the package carries a udev rule that gives the logged-in user access
// to the terminal's hidraw node. The installer puts it into the system's udev
// rules directory through pkexec (an argument vector, no shell) and reloads
// udev; the fallback copies it there when the process has the rights.
//
// The folder beside the executable may be writable by others. So files are
// always created new there, never through whatever stands at their path (a
// link made after the old file was deleted makes the creation fail), links
// are never followed when a file is read from there, and the rule handed to
// pkexec is first copied into a folder only this user can enter: what root
// installs is what was read, however long the authentication dialog waits.
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

bool CopyFileNoOverwrite(const std::string& source, const std::string& target) {
  const int in = ::open(source.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (in < 0) return false;
  struct stat st;
  if (::fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {  // not a pipe or a device either
    ::close(in);
    return false;
  }
  const int out = ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (out < 0) {
    ::close(in);
    return false;
  }
  bool ok = ::fchmod(out, 0644) == 0;
  char buf[65536];
  while (ok) {
    const ssize_t n = ::read(in, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = n == 0;
      break;
    }
    ok = WriteAll(out, buf, static_cast<size_t>(n));
  }
  ::close(in);
  if (::close(out) != 0) ok = false;
  if (!ok) ::unlink(target.c_str());
  return ok;
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

std::string DirectoryOf(const std::string& path) {
  const size_t s = path.find_last_of('/');
  return s == std::string::npos ? std::string() : path.substr(0, s + 1);
}

// A folder that only this user can enter (mode 0700), made under
// $XDG_RUNTIME_DIR when it is set, else under /tmp; removed with its files.
class TPrivateDir {
 public:
  TPrivateDir() {
    std::vector<std::string> bases;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/') bases.emplace_back(runtime);
    bases.emplace_back("/tmp");
    for (std::string& base : bases) {
      while (base.size() > 1 && base.back() == '/') base.pop_back();
      std::string tmpl = base + "/kvz-rule-XXXXXX";
      if (::mkdtemp(tmpl.data()) != nullptr) {
        Dir = tmpl;
        break;
      }
    }
  }
  ~TPrivateDir() {
    for (const std::string& f : Files) ::unlink(f.c_str());
    if (!Dir.empty()) ::rmdir(Dir.c_str());
  }
  TPrivateDir(const TPrivateDir&) = delete;
  TPrivateDir& operator=(const TPrivateDir&) = delete;

  // A copy of `source` in the folder under `name`; empty when it cannot be
  // made.
  std::string Copy(const std::string& source, const std::string& name) {
    if (Dir.empty()) return std::string();
    const std::string target = Dir + "/" + name;
    if (!CopyFileNoOverwrite(source, target)) return std::string();
    Files.push_back(target);
    return target;
  }

 private:
  std::string Dir;
  std::vector<std::string> Files;
};

// Starts `argv` (looked up in PATH) with the caller's environment and waits
// for it without a time limit; true when it ran and exited with code 0.
bool RunAndWait(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = 0;
  if (::posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0) return false;
  int status = 0;
  for (;;) {
    const pid_t r = ::waitpid(pid, &status, 0);
    if (r == pid) break;
    if (r < 0 && errno != EINTR) return false;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

class TLinuxDriverPlatform : public IDriverPlatform {
 public:
  explicit TLinuxDriverPlatform(const TDriverPlatformOptions& o) : Options(o) {
    if (Options.Installer.empty()) Options.Installer = "pkexec";
    if (Options.InstallTool.empty())
      Options.InstallTool = FirstExisting({"/usr/bin/install", "/bin/install"});
    if (Options.UdevadmTool.empty())
      Options.UdevadmTool =
          FirstExisting({"/usr/bin/udevadm", "/bin/udevadm", "/usr/sbin/udevadm", "/sbin/udevadm"});
    while (Options.SystemDir.size() > 1 && Options.SystemDir.back() == '/') Options.SystemDir.pop_back();
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

  // The rule lies beside the INF; pkexec gets a private copy of it. The
  // show-window value means nothing here: pkexec asks through the session's
  // authentication agent. False, without running anything, when the copy
  // cannot be made (no rule, or a link in its place).
  bool RunDriverInstaller(const std::string& infPath, std::uint16_t /*showWindow*/) override {
    TPrivateDir dir;
    const std::string source = dir.Copy(DirectoryOf(infPath) + kUdevRuleFileName, kUdevRuleFileName);
    if (source.empty()) return false;
    if (!RunAndWait({Options.Installer, Options.InstallTool, "-m", "0644", "-T", "--", source,
                     InstalledDriverFile()}))
      return false;
    return RunAndWait({Options.Installer, Options.UdevadmTool, "control", "--reload-rules"});
  }

  void CopyDriverFiles() override {
    CopyFileNoOverwrite(ExecutableDir() + kUdevRuleFileName, InstalledDriverFile());
  }

  std::string InstalledDriverFile() override { return GetSystemDir() + "/" + kUdevRuleFileName; }

  std::pair<std::string, std::string> ManualInstallPaths() override {
    return {ExecutableDir() + kUdevRuleFileName, GetSystemDir()};
  }

 private:
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
