// A firmware file that cannot be read is named with the message the
// technician is promised: "Fichier firmware introuvable ou illisible : ...".
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
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
  // Root reads whatever the mode says: the loads run in a child process
  // with the rights of "nobody", as a technician's session has none. What
  // is wrong is the child's output.
  EXPECT_EXIT(
      {
        if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0))
          std::_Exit(2);
        const std::string text = wrong();
        std::fputs(text.c_str(), stderr);
        std::_Exit(text.empty() ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
  std::filesystem::remove_all(dir);
}
