// Temporary folders, files and fake installers for the driver tests.
#pragma once

#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "TestCatalogue.h"  // ReadFileBytes
#include "driver.h"

// A fresh folder whose path contains spaces, removed with its contents.
class TTempDir {
 public:
  TTempDir();
  ~TTempDir();
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;
  // Without a final separator.
  const std::string& Path() const { return Dir; }
  // Creates a sub-folder and returns its path with a final separator.
  std::string MakeDir(const std::string& name) const;

 private:
  std::string Dir;
};

void WriteBytes(const std::string& path, const std::string& bytes);
bool Exists(const std::string& path);

// A shell script standing in for pkexec. It records its arguments, one a
// line, each call closed by a "----" line, in <script>.log; then runs
// `before` (shell text, the arguments in "$@": what happens while pkexec's
// authentication dialog waits); then, when `runCommand` is set, runs the
// arguments as a command and fails as it fails; then exits with `code`. A
// negative code makes the script kill itself instead.
struct TFakeInstaller {
  TFakeInstaller(const TTempDir& dir, int code, bool runCommand = false,
                 const std::string& before = std::string());
  std::string Script;
  std::string Log;
  // The recorded calls, each a list of arguments.
  std::vector<std::vector<std::string>> Calls() const;
};

// Sets an environment variable (unsets it for a null value) for its life.
class TEnvScope {
 public:
  TEnvScope(const char* name, const char* value) : Name(name) {
    if (const char* old = std::getenv(name)) Old = old;
    Set(value);
  }
  ~TEnvScope() { Set(Old ? Old->c_str() : nullptr); }
  TEnvScope(const TEnvScope&) = delete;
  TEnvScope& operator=(const TEnvScope&) = delete;

 private:
  void Set(const char* value) { value ? ::setenv(Name.c_str(), value, 1) : ::unsetenv(Name.c_str()); }
  std::string Name;
  std::optional<std::string> Old;
};

// Options for a platform working in the given folders with `installer`
// (udevadm stood in by /bin/true so that a run command succeeds); a rule
// counts as installed only in `rulesDir`, whatever this machine holds.
TDriverPlatformOptions TestOptions(const std::string& exeDir, const std::string& rulesDir,
                                   const std::string& installer);

// Runs `body` in a child process that, when this one is root, has dropped
// its privileges to the unprivileged user 65534 (as setpriv --reuid
// --regid --clear-groups does): what an ordinary user sees, even in a root
// CI. Returns what the body returned, or "child failed: ..." when the child
// could not drop its rights or did not end normally.
std::string RunAsUnprivileged(const std::function<std::string()>& body);
// Gives `path` to the unprivileged user (nothing when this process is not
// root: its files are its own already).
void GiveToUnprivileged(const std::string& path);
