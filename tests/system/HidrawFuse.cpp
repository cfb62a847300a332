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

void FillAttr(struct stat& st, uint64_t ino, bool dir) {
  std::memset(&st, 0, sizeof st);
  st.st_ino = ino;
  st.st_mode = dir ? (S_IFDIR | 0755) : (S_IFREG | 0600);
  st.st_nlink = dir ? 2 : 1;
  st.st_uid = 0;
  st.st_gid = 0;
}

}  // namespace

struct THidrawFs::TOpenFile {
  uint64_t Fh = 0;
  std::shared_ptr<THidrawNode> Node;
  std::deque<std::vector<uint8_t>> Queue;
  struct TRead {
    fuse_req_t Req;
    std::size_t Size;
  };
  std::deque<TRead> Reads;
  fuse_pollhandle* Poll = nullptr;
};

// ---- node --------------------------------------------------------------------

THidrawNode::THidrawNode(THidrawFs& fs, int minor, uint64_t ino, THidrawNodeInfo info,
                         std::function<int(const uint8_t*, std::size_t)> writer)
    : FFs(fs), FMinor(minor), FIno(ino), FInfo(std::move(info)), FWriter(std::move(writer)) {}

void THidrawNode::Deliver(const uint8_t* report, std::size_t length) {
  if (report == nullptr || length == 0) return;
  // Without report IDs the kernel hands the report over without the ID byte.
  const uint8_t* data = FInfo.ReportIds ? report : report + 1;
  const std::size_t size = FInfo.ReportIds ? length : length - 1;
  std::lock_guard<std::mutex> lock(FFs.FMutex);
  if (!FExists) return;
  for (auto& kv : FFs.FFiles) {
    THidrawFs::TOpenFile& f = *kv.second;
    if (f.Node.get() != this) continue;
    if (f.Queue.size() >= kQueueLimit) {
      ++FDropped;
      continue;
    }
    f.Queue.emplace_back(data, data + size);
    FFs.WakeFile(f);
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
    if (kv.second->Node.get() == this) FFs.WakeFile(*kv.second);
}

bool THidrawNode::Exists() const {
  std::lock_guard<std::mutex> lock(FFs.FMutex);
  return FExists;
}

int THidrawNode::OpenCount() const {
  std::lock_guard<std::mutex> lock(FFs.FMutex);
  return FOpen;
}

int THidrawNode::Opened() const {
  std::lock_guard<std::mutex> lock(FFs.FMutex);
  return FOpened;
}

uint64_t THidrawNode::Dropped() const {
  std::lock_guard<std::mutex> lock(FFs.FMutex);
  return FDropped;
}

// ---- callback table ------------------------------------------------------------

struct THidrawOps {
  static THidrawFs& Fs(fuse_req_t req) { return *static_cast<THidrawFs*>(fuse_req_userdata(req)); }
  static void Lookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
    Fs(req).OpLookup(req, parent, name);
  }
  static void Getattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info*) { Fs(req).OpGetattr(req, ino); }
  static void Access(fuse_req_t req, fuse_ino_t ino, int mask) { Fs(req).OpAccess(req, ino, mask); }
  static void Open(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) { Fs(req).OpOpen(req, ino, fi); }
  static void Release(fuse_req_t req, fuse_ino_t, fuse_file_info* fi) { Fs(req).OpRelease(req, fi); }
  static void Flush(fuse_req_t req, fuse_ino_t, fuse_file_info*) { fuse_reply_err(req, 0); }
  static void Read(fuse_req_t req, fuse_ino_t, size_t size, off_t, fuse_file_info* fi) {
    Fs(req).OpRead(req, size, fi);
  }
  static void Write(fuse_req_t req, fuse_ino_t, const char* buf, size_t size, off_t, fuse_file_info* fi) {
    Fs(req).OpWrite(req, buf, size, fi);
  }
  static void Poll(fuse_req_t req, fuse_ino_t, fuse_file_info* fi, fuse_pollhandle* ph) {
    Fs(req).OpPoll(req, fi, ph);
  }
  static void Ioctl(fuse_req_t req, fuse_ino_t, unsigned int cmd, void*, fuse_file_info* fi, unsigned,
                    const void*, size_t, size_t outSize) {
    Fs(req).OpIoctl(req, cmd, fi, outSize);
  }
  static void Readdir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, fuse_file_info*) {
    Fs(req).OpReaddir(req, ino, size, static_cast<long>(off));
  }
  static void Interrupted(fuse_req_t req, void* data) { static_cast<THidrawFs*>(data)->OpInterrupt(req); }
};

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
  static fuse_lowlevel_ops ops = [] {
    fuse_lowlevel_ops o;
    std::memset(&o, 0, sizeof o);
    o.lookup = THidrawOps::Lookup;
    o.getattr = THidrawOps::Getattr;
    o.access = THidrawOps::Access;
    o.open = THidrawOps::Open;
    o.release = THidrawOps::Release;
    o.flush = THidrawOps::Flush;
    o.read = THidrawOps::Read;
    o.write = THidrawOps::Write;
    o.poll = THidrawOps::Poll;
    o.ioctl = THidrawOps::Ioctl;
    o.readdir = THidrawOps::Readdir;
    return o;
  }();
  const char* argv[] = {"kvz-hidraw", "-o", "fsname=kvz-hidraw,subtype=hidraw"};
  fuse_args args = FUSE_ARGS_INIT(3, const_cast<char**>(argv));
  FSession = fuse_session_new(&args, &ops, sizeof ops, this);
  if (FSession == nullptr) {
    error = "fuse_session_new failed";
    return false;
  }
  if (fuse_session_mount(FSession, dir.c_str()) != 0) {
    error = "mounting the device nodes on " + dir + " failed";
    fuse_session_destroy(FSession);
    FSession = nullptr;
    return false;
  }
  FDir = dir;
  FLoop = std::thread([this] { Serve(); });
  // The connection's control files, for Abort().
  struct stat st;
  const std::string ctl = dir + "-ctl";
  if (stat(dir.c_str(), &st) == 0 && (mkdir(ctl.c_str(), 0700) == 0 || errno == EEXIST) &&
      mount("fusectl", ctl.c_str(), "fusectl", 0, nullptr) == 0)
    FAbortFile = ctl + "/" + std::to_string(minor(st.st_dev)) + "/abort";
  return true;
}

void THidrawFs::Abort() {
  if (FAbortFile.empty()) return;
  const int fd = open(FAbortFile.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return;
  if (write(fd, "1", 1) != 1) {
  }
  close(fd);
}

void THidrawFs::Serve() {
  fuse_loop_config config;
  config.clone_fd = 0;
  config.max_idle_threads = 8;
  fuse_session_loop_mt(FSession, &config);
}

std::shared_ptr<THidrawNode> THidrawFs::AddNode(const THidrawNodeInfo& info,
                                                std::function<int(const uint8_t*, std::size_t)> writer) {
  std::lock_guard<std::mutex> lock(FMutex);
  // Nodes that are gone and closed are forgotten; their minors are free.
  for (auto it = FNodes.begin(); it != FNodes.end();)
    it = !it->second->FExists && it->second->FOpen == 0 ? FNodes.erase(it) : std::next(it);
  int minor = 0;
  for (;; ++minor) {
    bool used = false;
    for (auto& kv : FNodes) used = used || kv.second->FMinor == minor;
    if (!used) break;
  }
  const uint64_t ino = (++FGeneration << 8) | static_cast<uint64_t>(minor);
  std::shared_ptr<THidrawNode> node(new THidrawNode(*this, minor, ino, info, std::move(writer)));
  FNodes[ino] = node;
  return node;
}

std::shared_ptr<THidrawNode> THidrawFs::NodeByIno(uint64_t ino) {
  auto it = FNodes.find(ino);
  return it == FNodes.end() ? nullptr : it->second;
}

void THidrawFs::WakeFile(TOpenFile& f) {
  while (!f.Reads.empty() && (!f.Queue.empty() || !f.Node->FExists)) {
    const TOpenFile::TRead r = f.Reads.front();
    f.Reads.pop_front();
    if (f.Queue.empty()) {
      fuse_reply_err(r.Req, EIO);
    } else {
      const std::vector<uint8_t> report = std::move(f.Queue.front());
      f.Queue.pop_front();
      fuse_reply_buf(r.Req, reinterpret_cast<const char*>(report.data()), std::min(r.Size, report.size()));
    }
  }
  if (f.Poll != nullptr && (!f.Queue.empty() || !f.Node->FExists)) {
    fuse_lowlevel_notify_poll(f.Poll);
    fuse_pollhandle_destroy(f.Poll);
    f.Poll = nullptr;
  }
}

void THidrawFs::OpLookup(fuse_req* req, uint64_t parent, const char* name) {
  fuse_entry_param e;
  std::memset(&e, 0, sizeof e);
  {
    std::lock_guard<std::mutex> lock(FMutex);
    if (parent == FUSE_ROOT_ID) {
      for (auto& kv : FNodes) {
        if (kv.second->FExists && kv.second->Name() == name) {
          e.ino = kv.first;
          FillAttr(e.attr, kv.first, false);
          break;
        }
      }
    }
  }
  if (e.ino == 0) {
    fuse_reply_err(req, ENOENT);
    return;
  }
  e.attr_timeout = 0;
  e.entry_timeout = 0;
  fuse_reply_entry(req, &e);
}

void THidrawFs::OpGetattr(fuse_req* req, uint64_t ino) {
  struct stat st;
  if (ino == FUSE_ROOT_ID) {
    FillAttr(st, ino, true);
  } else {
    std::lock_guard<std::mutex> lock(FMutex);
    if (!NodeByIno(ino)) {
      fuse_reply_err(req, ENOENT);
      return;
    }
    FillAttr(st, ino, false);
  }
  fuse_reply_attr(req, &st, 0);
}

void THidrawFs::OpAccess(fuse_req* req, uint64_t ino, int mask) {
  int err = 0;
  if (ino != FUSE_ROOT_ID) {
    std::lock_guard<std::mutex> lock(FMutex);
    auto node = NodeByIno(ino);
    if (!node || !node->FExists)
      err = ENOENT;
    else if (node->FRefusing && (mask & (R_OK | W_OK)) != 0)
      err = EACCES;
  }
  fuse_reply_err(req, err);
}

void THidrawFs::OpOpen(fuse_req* req, uint64_t ino, fuse_file_info* fi) {
  uint64_t fh = 0;
  int err = 0;
  {
    std::lock_guard<std::mutex> lock(FMutex);
    auto node = NodeByIno(ino);
    if (!node || !node->FExists) {
      err = ENODEV;
    } else if (node->FRefusing) {
      err = EACCES;
    } else {
      auto f = std::make_unique<TOpenFile>();
      fh = f->Fh = FNextFh++;
      f->Node = node;
      ++node->FOpen;
      ++node->FOpened;
      FFiles[fh] = std::move(f);
    }
  }
  if (err != 0) {
    fuse_reply_err(req, err);
    return;
  }
  fi->fh = fh;
  fi->direct_io = 1;
  fi->nonseekable = 1;
  fi->keep_cache = 0;
  if (fuse_reply_open(req, fi) != 0) {
    // The opener was interrupted: the file was never opened.
    std::lock_guard<std::mutex> lock(FMutex);
    auto it = FFiles.find(fh);
    if (it != FFiles.end()) {
      --it->second->Node->FOpen;
      FFiles.erase(it);
    }
  }
}

void THidrawFs::OpRelease(fuse_req* req, fuse_file_info* fi) {
  {
    std::lock_guard<std::mutex> lock(FMutex);
    auto it = FFiles.find(fi->fh);
    if (it != FFiles.end()) {
      TOpenFile& f = *it->second;
      for (const auto& r : f.Reads) fuse_reply_err(r.Req, EBADF);
      if (f.Poll) fuse_pollhandle_destroy(f.Poll);
      --f.Node->FOpen;
      FFiles.erase(it);
    }
  }
  FChanged.notify_all();
  fuse_reply_err(req, 0);
}

bool THidrawFs::WaitAllReleased(int timeoutMs) {
  std::unique_lock<std::mutex> lock(FMutex);
  return FChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return FFiles.empty(); });
}

bool THidrawFs::WaitForWaiter(int timeoutMs) {
  std::unique_lock<std::mutex> lock(FMutex);
  return FChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] {
    for (const auto& kv : FFiles)
      if (!kv.second->Reads.empty() || kv.second->Poll) return true;
    return false;
  });
}

void THidrawFs::OpRead(fuse_req* req, std::size_t size, fuse_file_info* fi) {
  // Answered at once when a report waits or the node is gone.
  auto now = [&](TOpenFile& f) {
    if (f.Queue.empty() && f.Node->FExists) return false;
    f.Reads.push_back({req, size});
    WakeFile(f);
    return true;
  };
  {
    std::lock_guard<std::mutex> lock(FMutex);
    auto it = FFiles.find(fi->fh);
    if (it == FFiles.end()) {
      fuse_reply_err(req, EBADF);
      return;
    }
    if (now(*it->second)) return;
    if ((fi->flags & O_NONBLOCK) != 0) {
      fuse_reply_err(req, EAGAIN);
      return;
    }
  }
  // A blocking read waits for the next report; a signal to the reader ends
  // it. The interrupt hook is set before the read is visible to the writers
  // of reports, so that nobody can answer it while the hook is being set.
  fuse_req_interrupt_func(req, THidrawOps::Interrupted, this);
  std::lock_guard<std::mutex> lock(FMutex);
  auto it = FFiles.find(fi->fh);
  if (it == FFiles.end()) {
    fuse_reply_err(req, EBADF);
  } else if (fuse_req_interrupted(req)) {
    fuse_reply_err(req, EINTR);
  } else if (!now(*it->second)) {
    it->second->Reads.push_back({req, size});
    FChanged.notify_all();
  }
}

void THidrawFs::OpInterrupt(fuse_req* req) {
  std::lock_guard<std::mutex> lock(FMutex);
  for (auto& kv : FFiles) {
    auto& reads = kv.second->Reads;
    for (auto it = reads.begin(); it != reads.end(); ++it) {
      if (it->Req == req) {
        reads.erase(it);
        fuse_reply_err(req, EINTR);
        return;
      }
    }
  }
}

std::shared_ptr<THidrawNode> THidrawFs::LiveNodeOf(fuse_req* req, fuse_file_info* fi) {
  std::lock_guard<std::mutex> lock(FMutex);
  auto it = FFiles.find(fi->fh);
  if (it == FFiles.end()) {
    fuse_reply_err(req, EBADF);
    return nullptr;
  }
  if (!it->second->Node->FExists) {
    fuse_reply_err(req, ENODEV);
    return nullptr;
  }
  return it->second->Node;
}

void THidrawFs::OpWrite(fuse_req* req, const char* buf, std::size_t size, fuse_file_info* fi) {
  const std::shared_ptr<THidrawNode> node = LiveNodeOf(req, fi);
  if (!node) return;
  if (size < 2 || size > 16384) {  // HID_MAX_BUFFER_SIZE
    fuse_reply_err(req, EINVAL);
    return;
  }
  const int rc = node->FWriter ? node->FWriter(reinterpret_cast<const uint8_t*>(buf), size) : -EIO;
  if (rc < 0)
    fuse_reply_err(req, -rc);
  else
    fuse_reply_write(req, static_cast<size_t>(rc));
}

void THidrawFs::OpPoll(fuse_req* req, fuse_file_info* fi, fuse_pollhandle* ph) {
  unsigned revents = POLLOUT | POLLWRNORM;
  {
    std::lock_guard<std::mutex> lock(FMutex);
    auto it = FFiles.find(fi->fh);
    if (it == FFiles.end()) {
      if (ph) fuse_pollhandle_destroy(ph);
      fuse_reply_err(req, EBADF);
      return;
    }
    TOpenFile& f = *it->second;
    if (!f.Queue.empty()) revents |= POLLIN | POLLRDNORM;
    if (!f.Node->FExists) revents |= POLLERR | POLLHUP;
    if (ph) {
      if (f.Poll) fuse_pollhandle_destroy(f.Poll);
      f.Poll = ph;
    }
  }
  FChanged.notify_all();
  fuse_reply_poll(req, revents);
}

void THidrawFs::OpIoctl(fuse_req* req, unsigned int cmd, fuse_file_info* fi, std::size_t outSize) {
  const std::shared_ptr<THidrawNode> node = LiveNodeOf(req, fi);
  if (!node) return;
  const THidrawNodeInfo& info = node->FInfo;
  if (cmd == HIDIOCGRDESCSIZE) {
    const int size = static_cast<int>(info.Descriptor.size());
    fuse_reply_ioctl(req, 0, &size, sizeof size);
    return;
  }
  if (cmd == HIDIOCGRDESC) {
    // The caller's size field does not reach a FUSE server (the argument is
    // only written back): the whole descriptor is returned.
    hidraw_report_descriptor d;
    std::memset(&d, 0, sizeof d);
    d.size = static_cast<__u32>(std::min<std::size_t>(info.Descriptor.size(), HID_MAX_DESCRIPTOR_SIZE));
    std::memcpy(d.value, info.Descriptor.data(), d.size);
    fuse_reply_ioctl(req, 0, &d, std::min(outSize, sizeof d));
    return;
  }
  if (cmd == HIDIOCGRAWINFO) {
    hidraw_devinfo di;
    di.bustype = info.BusType;
    di.vendor = static_cast<__s16>(info.Vendor);
    di.product = static_cast<__s16>(info.Product);
    fuse_reply_ioctl(req, 0, &di, sizeof di);
    return;
  }
  if (_IOC_TYPE(cmd) == 'H' && _IOC_DIR(cmd) == _IOC_READ &&
      (_IOC_NR(cmd) == 0x04 || _IOC_NR(cmd) == 0x05 || _IOC_NR(cmd) == 0x08)) {
    const std::string& s = _IOC_NR(cmd) == 0x04 ? info.Name : _IOC_NR(cmd) == 0x05 ? info.Phys : info.Uniq;
    std::vector<char> buf(s.begin(), s.end());
    buf.push_back('\0');
    const std::size_t len = std::min<std::size_t>(buf.size(), _IOC_SIZE(cmd));
    fuse_reply_ioctl(req, static_cast<int>(len), buf.data(), len);
    return;
  }
  if (_IOC_TYPE(cmd) == 'H' && _IOC_NR(cmd) >= 0x06 && _IOC_NR(cmd) <= 0x0C && _IOC_NR(cmd) != 0x08) {
    fuse_reply_err(req, EPIPE);  // feature, input and output report requests: the device has none
    return;
  }
  fuse_reply_err(req, ENOTTY);
}

void THidrawFs::OpReaddir(fuse_req* req, uint64_t ino, std::size_t size, long off) {
  if (ino != FUSE_ROOT_ID) {
    fuse_reply_err(req, ENOTDIR);
    return;
  }
  std::vector<std::pair<std::string, uint64_t>> names = {{".", FUSE_ROOT_ID}, {"..", FUSE_ROOT_ID}};
  {
    std::lock_guard<std::mutex> lock(FMutex);
    for (auto& kv : FNodes)
      if (kv.second->FExists) names.emplace_back(kv.second->Name(), kv.first);
  }
  std::vector<char> buf(size);
  std::size_t used = 0;
  for (std::size_t i = static_cast<std::size_t>(off); i < names.size(); ++i) {
    struct stat st;
    FillAttr(st, names[i].second, i < 2);
    const std::size_t n = fuse_add_direntry(req, buf.data() + used, size - used, names[i].first.c_str(), &st,
                                            static_cast<off_t>(i + 1));
    if (n > size - used) break;
    used += n;
  }
  fuse_reply_buf(req, buf.data(), used);
}
