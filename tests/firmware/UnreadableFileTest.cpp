// A firmware file that cannot be read is named with the message the
// technician is promised: "Fichier firmware introuvable ou illisible : ...".
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "MotTestUtil.h"
#include "ScriptedPresenter.h"
#include "TestCatalogue.h"
#include "U_DecodeFileMot.h"

TEST(UnreadableFirmware, IsNamedWithTheDocumentedMessage) {
  TCatalogueScope catalogue;
  char dir[] = "/tmp/kvz-unreadable-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  chmod(dir, 0755);
  const std::string locked = std::string(dir) + "/sans-droit.mot";
  std::ofstream(locked) << MotFile(HeaderPage(true, "15/06/2009", 9, "fv0100"), 0);
  ASSERT_EQ(chmod(locked.c_str(), 0), 0);
  // What is wrong with the loads; "" when each is refused with the message.
  auto wrong = [&] {
    std::string out;
    for (const std::string& path : {locked, std::string(dir) + "/absent.mot", std::string(dir)}) {
      TScriptedPresenter presenter;
      TObjFileMot mot;
      const bool loaded = mot.LoadFile(path);
      if (loaded || presenter.Shown.size() != 1 || presenter.Shown[0].Key != "_Err_FileMotNotFound" ||
          presenter.Shown[0].Text != "Fichier firmware introuvable ou illisible : " + path)
        out += path + (loaded ? " loaded; "
                              : ": " + (presenter.Shown.empty() ? "" : presenter.Shown[0].Text) + "; ");
    }
    return out;
  };
  if (geteuid() != 0) {
    EXPECT_EQ(wrong(), "");
  } else {
    // Root reads whatever the mode says: the loads run in a child process
    // with the rights of "nobody", as a technician's session has none.
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      close(out[0]);
      const bool dropped = setgroups(0, nullptr) == 0 && setgid(65534) == 0 && setuid(65534) == 0;
      const std::string text = dropped ? wrong() : "cannot become nobody";
      _exit(write(out[1], text.data(), text.size()) < 0 ? 2 : 0);
    }
    close(out[1]);
    std::string text;
    char buf[512];
    for (ssize_t n; (n = read(out[0], buf, sizeof buf)) > 0;) text.append(buf, static_cast<size_t>(n));
    close(out[0]);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(text, "");
  }
  std::filesystem::remove_all(dir);
}
