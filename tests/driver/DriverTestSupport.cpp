#include "DriverTestSupport.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

TTempDir::TTempDir() {
  std::string tmpl = (fs::temp_directory_path() / "kvz driver test XXXXXX").string();
  if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
  Dir = tmpl;
}

TTempDir::~TTempDir() {
  std::error_code ec;
  // Give back write rights removed by a test before removing.
  for (auto it = fs::recursive_directory_iterator(Dir, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec))
    if (it->is_directory(ec)) fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
  fs::remove_all(Dir, ec);
}

std::string TTempDir::MakeDir(const std::string& name) const {
  const std::string p = Dir + "/" + name;
  fs::create_directories(p);
  return p + "/";
}

void WriteBytes(const std::string& path, const std::string& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  if (!f) throw std::runtime_error("cannot write " + path);
  f << bytes;
}

bool Exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

TFakeInstaller::TFakeInstaller(const TTempDir& dir, int code, bool runCommand, const std::string& before) {
  static int serial = 0;
  Script = dir.Path() + "/fake pkexec " + std::to_string(++serial);
  Log = Script + ".log";
  std::string s = "#!/bin/sh\n";
  s += "for a in \"$@\"; do printf '%s\\n' \"$a\" >> '" + Log + "'; done\n";
  s += "printf '%s\\n' ---- >> '" + Log + "'\n";
  s += before + "\n";
  if (runCommand) s += "\"$@\" || exit $?\n";
  s += code < 0 ? "kill -9 $$\n" : "exit " + std::to_string(code) + "\n";
  WriteBytes(Script, s);
  ::chmod(Script.c_str(), 0755);
}

std::vector<std::vector<std::string>> TFakeInstaller::Calls() const {
  std::vector<std::vector<std::string>> calls(1);  // the last one not closed yet
  std::istringstream in(Exists(Log) ? ReadFileBytes(Log) : std::string());
  for (std::string line; std::getline(in, line);) {
    if (line == "----")
      calls.emplace_back();
    else
      calls.back().push_back(line);
  }
  calls.pop_back();
  return calls;
}

TDriverPlatformOptions TestOptions(const std::string& exeDir, const std::string& rulesDir,
                                   const std::string& installer) {
  TDriverPlatformOptions o;
  o.ExecutableDir = exeDir;
  o.SystemDir = rulesDir;
  o.Installer = installer;
  o.InstallTool = "/usr/bin/install";
  o.UdevadmTool = "/bin/true";
  o.RulesDirs = {rulesDir};
  return o;
}

std::string RunAsUnprivileged(const std::function<std::string()>& body) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return "child failed: no pipe";
  const pid_t pid = ::fork();
  if (pid == 0) {
    std::string out = "child failed: rights not dropped";
    try {
      if (::geteuid() != 0 || (::setgroups(0, nullptr) == 0 && ::setresgid(65534, 65534, 65534) == 0 &&
                               ::setresuid(65534, 65534, 65534) == 0))
        out = body();
    } catch (const std::exception& e) {
      out = std::string("child failed: ") + e.what();
    }
    // Small enough for the pipe: read once the child has ended.
    ::_exit(::write(fds[1], out.data(), out.size()) == static_cast<ssize_t>(out.size()) ? 0 : 1);
  }
  ::close(fds[1]);
  int status = 0;
  const bool ended =
      pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  std::string out;
  char buf[4096];
  for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) out.append(buf, static_cast<size_t>(n));
  ::close(fds[0]);
  return ended ? out : "child failed: status " + std::to_string(status);
}

void GiveToUnprivileged(const std::string& path) {
  if (::geteuid() == 0 && ::chown(path.c_str(), 65534, 65534) != 0) throw std::runtime_error("chown " + path);
}
