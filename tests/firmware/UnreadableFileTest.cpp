// A firmware file that cannot be read is named with the message the
// technician is promised: "Fichier firmware introuvable ou illisible : ...".
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "MotTestUtil.h"
#include "ScriptedPresenter.h"
#include "TestCatalogue.h"
#include "U_DecodeFileMot.h"

namespace {

namespace fs = std::filesystem;

// What is wrong with the load of `path`; "" when it is refused with the
// documented message naming it.
std::string Refusal(const std::string& path) {
  TScriptedPresenter presenter;
  TObjFileMot mot;
  if (mot.LoadFile(path)) return path + " was loaded";
  const std::string text = "Fichier firmware introuvable ou illisible : " + path;
  if (presenter.Shown.size() != 1 || presenter.Shown[0].Key != "_Err_FileMotNotFound" ||
      presenter.Shown[0].Text != text || presenter.Shown[0].Kind != TMsgKind::Information)
    return path + ": " + (presenter.Shown.empty() ? "nothing shown" : presenter.Shown[0].Text);
  return std::string();
}

}  // namespace

TEST(UnreadableFirmware, IsNamedWithTheDocumentedMessage) {
  TCatalogueScope catalogue;
  char dirName[] = "/tmp/kvz-unreadable-XXXXXX";
  ASSERT_NE(mkdtemp(dirName), nullptr);
  const fs::path dir(dirName);
  chmod(dirName, 0755);
  const std::string locked = (dir / "sans-droit.mot").string();
  std::ofstream(locked) << MotFile(HeaderPage(true, "15/06/2009", 9, "fv0100"), 0);
  ASSERT_EQ(chmod(locked.c_str(), 0), 0);
  const std::vector<std::string> paths{locked, (dir / "absent.mot").string(), dir.string()};
  auto all = [&paths] {
    std::string wrong;
    for (const std::string& p : paths) wrong += Refusal(p);
    return wrong;
  };
  if (geteuid() != 0) {
    EXPECT_EQ(all(), "");
  } else {
    // Root reads whatever the mode says: the loads run in a child process
    // with the rights of "nobody", as a technician's session has none.
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      close(out[0]);
      std::string wrong = setgroups(0, nullptr) == 0 && setgid(65534) == 0 && setuid(65534) == 0
                              ? all()
                              : "cannot become nobody";
      if (write(out[1], wrong.data(), wrong.size()) < 0) _exit(2);
      _exit(0);
    }
    close(out[1]);
    std::string wrong;
    char buf[512];
    for (ssize_t n; (n = read(out[0], buf, sizeof buf)) > 0;) wrong.append(buf, static_cast<size_t>(n));
    close(out[0]);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(wrong, "");
  }
  fs::remove_all(dir);
}
