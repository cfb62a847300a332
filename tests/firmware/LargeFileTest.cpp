// Firmware files read from disk: the size limit, files whose size the system
// does not give (a device, a pipe), lines cut by the reading in chunks,
// files the tool may not read, and the descriptor closed on exec.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "MotTestUtil.h"
#include "ScratchDir.h"
#include "ScriptedPresenter.h"
#include "TestCatalogue.h"
#include "U_DecodeFileMot.h"
#include "U_Paths.h"
#include "U_Textes.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kTooBig = "_Err_FileMotTooBig";

class LargeFile : public ::testing::Test, protected TScratchDir {
 protected:
  LargeFile() { std::signal(SIGPIPE, SIG_IGN); }  // a writer whose reader stopped gets EPIPE

  // `text`, then zero bytes up to `size` (a sparse file: nothing is written).
  std::string WriteSized(const std::string& name, const std::string& text, uint64_t size) {
    const std::string p = Write(name, text);
    fs::resize_file(p, size);
    return p;
  }

  // The key of the one message shown, "" when none (or several).
  std::string OnlyKey() const { return Presenter.Shown.size() == 1 ? Presenter.Shown[0].Key : "<none>"; }

  void ExpectTooBig() {
    ASSERT_EQ(Presenter.Shown.size(), 1u);
    EXPECT_EQ(Presenter.Shown[0].Key, kTooBig);
    EXPECT_EQ(Presenter.Shown[0].Kind, TMsgKind::Information);
    EXPECT_EQ(Presenter.Shown[0].Text,
              "Le fichier source est trop volumineux : un fichier firmware du terminal de programmation "
              "ne d\xC3\xA9passe pas 64 Mo.");
  }

  TCatalogueScope Catalogue;
  TScriptedPresenter Presenter;
};

// A named pipe fed by a thread: `head` once, then `fill` over and over
// until `total` bytes are written, then closed. The writer stops early when
// the reader closes its end.
class TFifoWriter {
 public:
  TFifoWriter(const fs::path& path, std::string head, std::string fill, uint64_t total)
      : Path(path.string()) {
    if (mkfifo(Path.c_str(), 0600) != 0) return;
    Made = true;
    Thread = std::thread([this, head = std::move(head), fill = std::move(fill), total] {
      // Opened without blocking once a reader is there, so that a reader
      // that never comes cannot hang the test.
      int fd = -1;
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
      while ((fd = open(Path.c_str(), O_WRONLY | O_NONBLOCK)) < 0 && errno == ENXIO &&
             std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      if (fd < 0) return;
      fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
      std::string chunk = head;
      uint64_t sent = 0;
      while (sent < total) {
        while (chunk.size() < (1u << 16)) chunk += fill.empty() ? std::string(1, '\0') : fill;
        const size_t n = static_cast<size_t>(std::min<uint64_t>(chunk.size(), total - sent));
        const ssize_t w = write(fd, chunk.data(), n);
        if (w <= 0) break;  // the reader has gone
        sent += static_cast<uint64_t>(w);
        chunk.erase(0, static_cast<size_t>(w));
      }
      Sent = sent;
      close(fd);
    });
  }
  ~TFifoWriter() {
    if (Thread.joinable()) Thread.join();
  }
  uint64_t Join() {
    if (Thread.joinable()) Thread.join();
    return Sent;
  }

  std::string Path;
  bool Made = false;

 private:
  std::thread Thread;
  uint64_t Sent = 0;
};

const std::string kGoodLine = "S107001001020304DE\r\n";

// The largest image a terminal takes, 65,535 pages, as S3 records of 32
// bytes with CR LF, stays below the limit of 64 MiB.
static_assert(kMaxMotFileBytes == 64u * 1024 * 1024);
static_assert(65535u * 256 / 32 * (4 + 2 * (4 + 32 + 1) + 2) < kMaxMotFileBytes);

TEST_F(LargeFile, AboveTheLimitRefusedBeforeItIsReadAtTheLimitReadToItsFirstBadLine) {
  // A valid start would be decoded if the file were read.
  const std::string head = MotFile(HeaderPage(true, "15/06/2009"), 0);
  TObjFileMot mot;
  EXPECT_FALSE(mot.LoadFile(WriteSized("big.mot", head, kMaxMotFileBytes + 1)));
  ExpectTooBig();
  EXPECT_EQ(mot.LineCount, 0u);  // not a line read
  EXPECT_EQ(mot.Blocks.Count(), 0);
  Presenter.Clear();
  EXPECT_FALSE(mot.LoadFile(WriteSized("huge.mot", head, (uint64_t{1} << 32) + 1)));
  ExpectTooBig();
  Presenter.Clear();
  // A file of exactly the limit is read and stops at its first bad line.
  EXPECT_FALSE(mot.LoadFile(WriteSized("limit.mot", "S0\r\n\r\n", kMaxMotFileBytes)));
  EXPECT_EQ(OnlyKey(), "_Err_FileError");
  EXPECT_EQ(mot.LineCount, 2u);  // line 2, the blank one
  Presenter.Clear();
  // A valid file padded after its end record to the limit loads.
  ASSERT_TRUE(
      mot.LoadFile(WriteSized("padded.mot", MotFile(HeaderPage(true, "15/06/2009"), 0), kMaxMotFileBytes)));
  EXPECT_EQ(mot.VersionName, "fv1234");
  EXPECT_TRUE(Presenter.Shown.empty());
  // Text in memory has the same limit.
  std::string text = "S0\r\n\r\n";
  text.resize(kMaxMotFileBytes + 1, '\n');
  EXPECT_FALSE(mot.LoadText(text));
  ExpectTooBig();
  Presenter.Clear();
  text.resize(kMaxMotFileBytes);
  EXPECT_FALSE(mot.LoadText(text));
  EXPECT_EQ(OnlyKey(), "_Err_FileError");
}

TEST_F(LargeFile, AnEndlessDeviceIsCutAtTheLimit) {
  if (!fs::exists("/dev/zero")) GTEST_SKIP() << "no /dev/zero";
  // In a child process with an alarm, so that a reading without end fails
  // instead of hanging the tests.
  EXPECT_EXIT(
      {
        alarm(60);
        TObjFileMot mot;
        const bool loaded = mot.LoadFile("/dev/zero");
        const bool tooBig = Presenter.Shown.size() == 1 && Presenter.Shown[0].Key == kTooBig &&
                            Presenter.Shown[0].Kind == TMsgKind::Information;
        std::_Exit(!loaded && tooBig && mot.Blocks.Count() == 0 ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

// Good lines, over and over, past the limit: every line passes its checks,
// so only the count stops the reading. The limit is on the file, whatever
// it holds: what follows the end record counts, and one byte over is
// refused when the system does not give the size as when it does.
TEST_F(LargeFile, APipeIsCountedAsItIsReadEndRecordOrNot) {
  struct TPipe {
    const char* Name;
    std::string Head, Fill;
    uint64_t Total;
  };
  for (const TPipe& p :
       {TPipe{"endless.mot", "S0\r\n", kGoodLine, kMaxMotFileBytes + (1u << 20)},
        TPipe{"tail.mot", MotFile(HeaderPage(true, "15/06/2009"), 0), "junk\n", kMaxMotFileBytes + 1}}) {
    SCOPED_TRACE(p.Name);
    TFifoWriter w(Dir / p.Name, p.Head, p.Fill, p.Total);
    ASSERT_TRUE(w.Made);
    TObjFileMot mot;
    EXPECT_FALSE(mot.LoadFile(w.Path));
    ExpectTooBig();
    Presenter.Clear();
    EXPECT_LE(w.Join(), p.Total);
  }
}

TEST_F(LargeFile, APipeStopsAtItsFirstBadLine) {
  // Line 3 is bad; what follows would pass the limit if it were read.
  TFifoWriter w(Dir / "bad.mot", "S0\r\n" + kGoodLine + "S1XX\r\n", kGoodLine, 2 * kMaxMotFileBytes);
  ASSERT_TRUE(w.Made);
  TObjFileMot mot;
  EXPECT_FALSE(mot.LoadFile(w.Path));
  EXPECT_EQ(OnlyKey(), "_Err_FileError");
  EXPECT_EQ(mot.LineCount, 3u);
  EXPECT_LT(w.Join(), kMaxMotFileBytes);  // the writer saw the reader go
}

TEST_F(LargeFile, APipeCarryingAValidFileLoads) {
  const std::string text = MotFile(HeaderPage(true, "15/06/2009", 9, "fvPIPE", 700), 0x8000);
  TFifoWriter w(Dir / "valid.mot", text, "", text.size());
  ASSERT_TRUE(w.Made);
  TObjFileMot mot;
  ASSERT_TRUE(mot.LoadFile(w.Path)) << OnlyKey();
  EXPECT_EQ(mot.VersionName, "fvPIPE");
  EXPECT_EQ(mot.BlockCount, 4);
  EXPECT_EQ(w.Join(), text.size());
}

// The file is read in chunks of 64 KiB: put every character of a line, and
// the CR LF after it, on the boundary in turn. The file must give exactly
// what its bytes give when decoded from memory.
TEST_F(LargeFile, LinesCutByTheReadingAreJoined) {
  const TBytes image = HeaderPage(true, "15/06/2009", 9, "fvCHNK", 3 * 256 + 10);
  const std::string body = [&] {
    std::string s;
    for (const std::string& l : DataLines(image, 0x10000, 32, 2)) s += l + "\r\n";
    return s + "S804000000FB\r\n";
  }();
  const size_t boundary = size_t{1} << 16;
  for (size_t shift = 0; shift < 90; ++shift) {
    SCOPED_TRACE(shift);
    // Line 1, not read, pads the file so that the boundary falls `shift`
    // characters before the end of the first data record's line.
    const size_t firstLine = DataLines(image, 0x10000, 32, 2)[0].size() + 2;
    const size_t pad = boundary - (firstLine - shift) - 2;
    const std::string text = "S0" + std::string(pad - 2, 'x') + "\r\n" + body;
    ASSERT_EQ(text.compare(boundary - firstLine + shift, 4, body, 0, 4), 0);
    TObjFileMot fromMemory, fromFile;
    ASSERT_TRUE(fromMemory.LoadText(text));
    ASSERT_TRUE(fromFile.LoadFile(Write("chunks.mot", text))) << OnlyKey();
    ASSERT_EQ(fromFile.BlockCount, fromMemory.BlockCount);
    for (int i = 0; i < fromFile.BlockCount; ++i)
      EXPECT_EQ(fromFile.Blocks.GetItem(i).GetTransferBlock(),
                fromMemory.Blocks.GetItem(i).GetTransferBlock());
    EXPECT_EQ(fromFile.LineCount, fromMemory.LineCount);
    EXPECT_EQ(fromFile.Lines[0].size(), 514u);  // the header line, cut
  }
  EXPECT_TRUE(Presenter.Shown.empty());
}

TEST_F(LargeFile, BadLinesCutByTheReadingAreRefusedAsInMemory) {
  const size_t boundary = size_t{1} << 16;
  // A line too long by one character, one far too long, a line that ends
  // early, and a CR alone before the boundary's LF.
  const std::string good = kGoodLine.substr(0, kGoodLine.size() - 2);
  const std::vector<std::pair<std::string, std::string>> cases = {
      {good + "0", "_ErrBadData"},
      {good + std::string(5000, 'A'), "_ErrBadData"},
      {good.substr(0, 10), "_ErrBadData"},
      {"S1" + std::string(3 * boundary, '0'), "_ErrBadData"},
  };
  for (const auto& [line, key] : cases) {
    for (size_t cut : {size_t{1}, size_t{2}, size_t{4}, size_t{9}}) {
      SCOPED_TRACE(key + " cut " + std::to_string(cut));
      const std::string lineText = line + "\r\n";
      const size_t pad = boundary - cut - 2;
      const std::string text = "S0" + std::string(pad - 2, 'x') + "\r\n" + lineText + "S9\r\n";
      TObjFileMot fromFile;
      EXPECT_FALSE(fromFile.LoadFile(Write("bad.mot", text)));
      EXPECT_EQ(OnlyKey(), key);
      Presenter.Clear();
      TObjFileMot fromMemory;
      EXPECT_FALSE(fromMemory.LoadText(text));
      EXPECT_EQ(OnlyKey(), key);
      Presenter.Clear();
    }
  }
  // CR at the end of a chunk and LF at the start of the next: one line end.
  const std::string text = "S0" + std::string(boundary - 3, 'x') + "\r\n" + "S9\r\n";
  ASSERT_EQ(text[boundary - 1], '\r');
  TObjFileMot mot;
  EXPECT_FALSE(mot.LoadFile(Write("crlf.mot", text)));
  EXPECT_EQ(OnlyKey(), "_Err_Unknown");  // no blank line between: S9 ends the file
}

}  // namespace

// The firmware file is opened close-on-exec: a program the tool starts (the
// driver's installer) never inherits it.
TEST(FirmwareFileDescriptor, IsClosedOnExec) {
  TScratchDir dir;
  std::FILE* f = OpenFileUtf8(dir.Write("a.mot", kGoodLine), "rb");
  ASSERT_NE(f, nullptr);
  EXPECT_NE(fcntl(fileno(f), F_GETFD) & FD_CLOEXEC, 0);
  std::fclose(f);
}

// A firmware file that cannot be read is named with the message the
// technician is promised: "Fichier firmware introuvable ou illisible : ...".
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
