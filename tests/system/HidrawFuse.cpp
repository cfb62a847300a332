#define FUSE_USE_VERSION 35
#include "HidrawFuse.h"

#include <fcntl.h>
#include <fuse_lowlevel.h>
#include <linux/hidraw.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>

namespace {

constexpr std::size_t kQueueLimit = 64;  // reports kept per open file, as hidraw does

struct stat Attr(uint64_t ino) {
  struct stat st {};
  st.st_ino = ino;
  st.st_mode = ino == FUSE_ROOT_ID ? (S_IFDIR | 0755) : (S_IFREG | 0600);
  st.st_nlink = ino == FUSE_ROOT_ID ? 2 : 1;
  return st;
}

}  // namespace

struct THidrawFs::TOpenFile {
  std::shared_ptr<THidrawNode> Node;
  std::deque<std::vector<uint8_t>> Queue;
  std::deque<std::pair<fuse_req_t, std::size_t>> Reads;  // waiting, with the size asked
  fuse_pollhandle* Poll = nullptr;
};

// The FUSE callbacks; each answers its request.
struct THidrawOps {
  using TFile = THidrawFs::TOpenFile;
  static THidrawFs& Fs(fuse_req_t req) { return *static_cast<THidrawFs*>(fuse_req_userdata(req)); }

  // Answers the waiting reads and the poller once there is something to
  // tell them. The file system's mutex is held.
  static void Wake(TFile& f) {
    while (!f.Reads.empty() && (!f.Queue.empty() || !f.Node->FExists)) {
      const auto r = f.Reads.front();
      f.Reads.pop_front();
      if (f.Queue.empty()) {
        fuse_reply_err(r.first, EIO);
      } else {
        const std::vector<uint8_t> report = std::move(f.Queue.front());
        f.Queue.pop_front();
        fuse_reply_buf(r.first, reinterpret_cast<const char*>(report.data()),
                       std::min(r.second, report.size()));
      }
    }
    if (f.Poll != nullptr && (!f.Queue.empty() || !f.Node->FExists)) {
      fuse_lowlevel_notify_poll(f.Poll);
      fuse_pollhandle_destroy(f.Poll);
      f.Poll = nullptr;
    }
  }

  // The open file of a request, or null once the request is answered with
  // EBADF (not open). The file system's mutex is held.
  static TFile* File(fuse_req_t req, fuse_file_info* fi) {
    auto& files = Fs(req).FFiles;
    auto it = files.find(fi->fh);
    if (it != files.end()) return it->second.get();
    fuse_reply_err(req, EBADF);
    return nullptr;
  }

  // The node of an open file that is still there; otherwise the request is
  // answered (EBADF: not open, ENODEV: unplugged).
  static std::shared_ptr<THidrawNode> LiveNode(fuse_req_t req, fuse_file_info* fi) {
    std::lock_guard<std::mutex> lock(Fs(req).FMutex);
    TFile* f = File(req, fi);
    if (f == nullptr) return nullptr;
    if (f->Node->FExists) return f->Node;
    fuse_reply_err(req, ENODEV);
    return nullptr;
  }

  // A node that is there (nullptr for the directory and unknown inodes).
  static std::shared_ptr<THidrawNode> Node(THidrawFs& fs, fuse_ino_t ino) {
    auto it = fs.FNodes.find(ino);
    return it != fs.FNodes.end() && it->second->FExists ? it->second : nullptr;
  }

  static void Lookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
    THidrawFs& fs = Fs(req);
    fuse_entry_param e{};
    {
      std::lock_guard<std::mutex> lock(fs.FMutex);
      for (auto& kv : fs.FNodes)
        if (parent == FUSE_ROOT_ID && kv.second->FExists && kv.second->Name() == name) e.ino = kv.first;
    }
    e.attr = Attr(e.ino);
    e.ino != 0 ? fuse_reply_entry(req, &e) : fuse_reply_err(req, ENOENT);
  }

  static void Getattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info*) {
    bool known = ino == FUSE_ROOT_ID;
    if (!known) {
      std::lock_guard<std::mutex> lock(Fs(req).FMutex);
      known = Fs(req).FNodes.count(ino) > 0;
    }
    const struct stat st = Attr(ino);
    known ? fuse_reply_attr(req, &st, 0) : fuse_reply_err(req, ENOENT);
  }

  static void Access(fuse_req_t req, fuse_ino_t ino, int mask) {
    int err = 0;
    if (ino != FUSE_ROOT_ID) {
      std::lock_guard<std::mutex> lock(Fs(req).FMutex);
      const auto node = Node(Fs(req), ino);
      err = !node ? ENOENT : node->FRefusing && (mask & (R_OK | W_OK)) != 0 ? EACCES : 0;
    }
    fuse_reply_err(req, err);
  }

  static void Open(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
    THidrawFs& fs = Fs(req);
    {
      std::lock_guard<std::mutex> lock(fs.FMutex);
      const auto node = Node(fs, ino);
      if (!node || node->FRefusing) {
        fuse_reply_err(req, node ? EACCES : ENODEV);
        return;
      }
      auto f = std::make_unique<TFile>();
      f->Node = node;
      ++node->FOpen;
      ++node->FOpened;
      fi->fh = fs.FNextFh++;
      fs.FFiles[fi->fh] = std::move(f);
    }
    fi->direct_io = 1;
    fi->nonseekable = 1;
    // An opener interrupted meanwhile never gets the file: it is released.
    if (fuse_reply_open(req, fi) != 0) Forget(fs, fi->fh);
  }

  static void Forget(THidrawFs& fs, uint64_t fh) {
    {
      std::lock_guard<std::mutex> lock(fs.FMutex);
      auto it = fs.FFiles.find(fh);
      if (it == fs.FFiles.end()) return;
      for (const auto& r : it->second->Reads) fuse_reply_err(r.first, EBADF);
      if (it->second->Poll) fuse_pollhandle_destroy(it->second->Poll);
      --it->second->Node->FOpen;
      fs.FFiles.erase(it);
    }
    fs.FChanged.notify_all();
  }

  static void Release(fuse_req_t req, fuse_ino_t, fuse_file_info* fi) {
    Forget(Fs(req), fi->fh);
    fuse_reply_err(req, 0);
  }

  static void Read(fuse_req_t req, fuse_ino_t, size_t size, off_t, fuse_file_info* fi) {
    THidrawFs& fs = Fs(req);
    {
      std::lock_guard<std::mutex> lock(fs.FMutex);
      TFile* f = File(req, fi);
      if (f == nullptr) return;
      if (f->Queue.empty() && f->Node->FExists && (fi->flags & O_NONBLOCK) != 0) {
        fuse_reply_err(req, EAGAIN);
        return;
      }
      if (!f->Queue.empty() || !f->Node->FExists) {  // answered at once
        f->Reads.emplace_back(req, size);
        Wake(*f);
        return;
      }
    }
    // A blocking read waits for the next report; a signal to the reader ends
    // it. The interrupt hook is set before the read is visible to the writers
    // of reports, so that nobody can answer it while the hook is being set.
    fuse_req_interrupt_func(req, Interrupted, &fs);
    std::lock_guard<std::mutex> lock(fs.FMutex);
    TFile* f = File(req, fi);
    if (f == nullptr) return;
    if (fuse_req_interrupted(req)) {
      fuse_reply_err(req, EINTR);
      return;
    }
    f->Reads.emplace_back(req, size);
    Wake(*f);
    fs.FChanged.notify_all();
  }

  static void Interrupted(fuse_req_t req, void* data) {
    THidrawFs& fs = *static_cast<THidrawFs*>(data);
    std::lock_guard<std::mutex> lock(fs.FMutex);
    for (auto& kv : fs.FFiles) {
      auto& reads = kv.second->Reads;
      for (auto it = reads.begin(); it != reads.end(); ++it) {
        if (it->first == req) {
          reads.erase(it);
          fuse_reply_err(req, EINTR);
          return;
        }
      }
    }
  }

  static void Write(fuse_req_t req, fuse_ino_t, const char* buf, size_t size, off_t, fuse_file_info* fi) {
    const auto node = LiveNode(req, fi);
    if (!node) return;
    const int rc = size < 2 ? -EINVAL : node->FWriter(reinterpret_cast<const uint8_t*>(buf), size);
    rc < 0 ? fuse_reply_err(req, -rc) : fuse_reply_write(req, static_cast<size_t>(rc));
  }

  static void Poll(fuse_req_t req, fuse_ino_t, fuse_file_info* fi, fuse_pollhandle* ph) {
    THidrawFs& fs = Fs(req);
    unsigned revents = POLLOUT | POLLWRNORM;
    {
      std::lock_guard<std::mutex> lock(fs.FMutex);
      TFile* f = File(req, fi);
      if (f == nullptr) {
        if (ph) fuse_pollhandle_destroy(ph);
        return;
      }
      if (!f->Queue.empty()) revents |= POLLIN | POLLRDNORM;
      if (!f->Node->FExists) revents |= POLLERR | POLLHUP;
      if (ph) {
        if (f->Poll) fuse_pollhandle_destroy(f->Poll);
        f->Poll = ph;
      }
    }
    fs.FChanged.notify_all();
    fuse_reply_poll(req, revents);
  }

  static void Ioctl(fuse_req_t req, fuse_ino_t, unsigned int cmd, void*, fuse_file_info* fi, unsigned,
                    const void*, size_t, size_t outSize) {
    const auto node = LiveNode(req, fi);
    if (!node) return;
    const THidrawNodeInfo& info = node->FInfo;
    if (cmd == HIDIOCGRDESCSIZE) {
      const int size = static_cast<int>(info.Descriptor.size());
      fuse_reply_ioctl(req, 0, &size, sizeof size);
    } else if (cmd == HIDIOCGRDESC) {
      // The caller's size field does not reach a FUSE server (the argument is
      // only written back): the whole descriptor is returned.
      hidraw_report_descriptor d{};
      d.size = static_cast<__u32>(info.Descriptor.size());
      std::memcpy(d.value, info.Descriptor.data(), d.size);
      fuse_reply_ioctl(req, 0, &d, std::min(outSize, sizeof d));
    } else if (cmd == HIDIOCGRAWINFO) {
      const hidraw_devinfo di{3 /* BUS_USB */, static_cast<__s16>(info.Vendor),
                              static_cast<__s16>(info.Product)};
      fuse_reply_ioctl(req, 0, &di, sizeof di);
    } else if (_IOC_TYPE(cmd) == 'H' && _IOC_DIR(cmd) == _IOC_READ &&
               (_IOC_NR(cmd) == 0x04 || _IOC_NR(cmd) == 0x05 || _IOC_NR(cmd) == 0x08)) {
      const std::string s = _IOC_NR(cmd) == 0x04 ? info.Name : _IOC_NR(cmd) == 0x05 ? info.Phys : "";
      const std::size_t len = std::min<std::size_t>(s.size() + 1, _IOC_SIZE(cmd));  // with its NUL
      fuse_reply_ioctl(req, static_cast<int>(len), s.c_str(), len);
    } else {
      fuse_reply_err(req, ENOTTY);
    }
  }
};

// ---- node --------------------------------------------------------------------

void THidrawNode::Deliver(const uint8_t* report, std::size_t length) {
  if (length == 0) return;
  std::lock_guard<std::mutex> lock(FFs.FMutex);
  if (!FExists) return;
  for (auto& kv : FFs.FFiles) {
    THidrawFs::TOpenFile& f = *kv.second;
    if (f.Node.get() != this || f.Queue.size() >= kQueueLimit) continue;
    f.Queue.emplace_back(report + 1, report + length);  // without the report ID
    THidrawOps::Wake(f);
  }
}

void THidrawNode::SetRefusing(bool refusing) {
  std::lock_guard<std::mutex> lock(FFs.FMutex);
  FRefusing = refusing;
}

void THidrawNode::Vanish() {
  std::lock_guard<std::mutex> lock(FFs.FMutex);
  FExists = false;
  for (auto& kv : FFs.FFiles)
    if (kv.second->Node.get() == this) THidrawOps::Wake(*kv.second);
}

int THidrawNode::Opened() const {
  std::lock_guard<std::mutex> lock(FFs.FMutex);
  return FOpened;
}

// ---- file system ---------------------------------------------------------------

THidrawFs::THidrawFs() = default;

THidrawFs::~THidrawFs() {
  if (!FSession) return;
  Abort();
  fuse_session_exit(FSession);
  umount2(FDir.c_str(), MNT_DETACH);
  if (FLoop.joinable()) FLoop.join();
  fuse_session_destroy(FSession);
}

bool THidrawFs::Mount(const std::string& dir, std::string& error) {
  static const fuse_lowlevel_ops ops = [] {
    fuse_lowlevel_ops o{};
    o.lookup = THidrawOps::Lookup;
    o.getattr = THidrawOps::Getattr;
    o.access = THidrawOps::Access;
    o.open = THidrawOps::Open;
    o.release = THidrawOps::Release;
    o.read = THidrawOps::Read;
    o.write = THidrawOps::Write;
    o.poll = THidrawOps::Poll;
    o.ioctl = THidrawOps::Ioctl;
    return o;
  }();
  const char* argv[] = {"kvz-hidraw", "-o", "fsname=kvz-hidraw,subtype=hidraw"};
  fuse_args args = FUSE_ARGS_INIT(3, const_cast<char**>(argv));
  FSession = fuse_session_new(&args, &ops, sizeof ops, this);
  if (FSession == nullptr || fuse_session_mount(FSession, dir.c_str()) != 0) {
    error = "mounting the device nodes on " + dir + " failed";
    return false;
  }
  FDir = dir;
  FLoop = std::thread([this] {
    fuse_loop_config config{};
    config.max_idle_threads = 8;
    fuse_session_loop_mt(FSession, &config);
  });
  // The connection's control files, for Abort().
  struct stat st;
  const std::string ctl = dir + "-ctl";
  if (stat(dir.c_str(), &st) == 0 && (mkdir(ctl.c_str(), 0700) == 0 || errno == EEXIST) &&
      mount("fusectl", ctl.c_str(), "fusectl", 0, nullptr) == 0)
    FAbortFile = ctl + "/" + std::to_string(minor(st.st_dev)) + "/abort";
  return true;
}

void THidrawFs::Abort() {
  const int fd = FAbortFile.empty() ? -1 : open(FAbortFile.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return;
  if (write(fd, "1", 1) != 1) {
  }
  close(fd);
}

std::shared_ptr<THidrawNode> THidrawFs::AddNode(const THidrawNodeInfo& info, THidrawWriter writer) {
  std::lock_guard<std::mutex> lock(FMutex);
  // Nodes that are gone and closed are forgotten; their minors are free.
  for (auto it = FNodes.begin(); it != FNodes.end();)
    it = !it->second->FExists && it->second->FOpen == 0 ? FNodes.erase(it) : std::next(it);
  int minor = 0;
  while (
      std::any_of(FNodes.begin(), FNodes.end(), [&](const auto& kv) { return kv.second->FMinor == minor; }))
    ++minor;
  auto node = std::make_shared<THidrawNode>(*this, minor, info, std::move(writer));
  FNodes[(++FGeneration << 8) | static_cast<uint64_t>(minor)] = node;
  return node;
}

template <typename P>
bool THidrawFs::WaitFor(int timeoutMs, P done) {
  std::unique_lock<std::mutex> lock(FMutex);
  return FChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs), done);
}

bool THidrawFs::WaitAllReleased(int timeoutMs) {
  return WaitFor(timeoutMs, [this] { return FFiles.empty(); });
}

bool THidrawFs::WaitForWaiter(int timeoutMs) {
  return WaitFor(timeoutMs, [this] {
    return std::any_of(FFiles.begin(), FFiles.end(),
                       [](const auto& kv) { return !kv.second->Reads.empty() || kv.second->Poll; });
  });
}
