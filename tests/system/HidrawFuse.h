// Emulated hidraw device nodes: a FUSE file system (low-level API) whose
// files behave as the kernel's hidraw character devices do.
//
//   - open: one input queue per open file; a report that arrives goes to
//     every file open at that moment (64 reports at most, newer ones are
//     dropped when full, as hidraw does). A node that refuses access fails
//     open with EACCES (and access(2) for reading or writing too), as a
//     root-owned 0600 node does for a technician.
//   - read: one report per read, without its report-ID byte (the device has
//     no report IDs), cut to the size asked; blocks until a report comes
//     (EAGAIN with O_NONBLOCK); after an unplug the reports still queued are
//     read, then EIO.
//   - write: one output report per write (byte 0 is the report ID), handed
//     to the node's writer; fewer than 2 bytes: EINVAL; after an unplug:
//     ENODEV.
//   - poll: POLLOUT always, POLLIN when a report waits, POLLERR|POLLHUP
//     after an unplug; pollers are woken when a report arrives or the node
//     goes.
//   - ioctl: HIDIOCGRDESCSIZE, HIDIOCGRDESC, HIDIOCGRAWINFO,
//     HIDIOCGRAWNAME(len), HIDIOCGRAWPHYS(len), HIDIOCGRAWUNIQ(len) (empty);
//     anything else ENOTTY; ENODEV after an unplug.
//   - files are named hidraw<minor>; the minor is the lowest one whose
//     previous node is gone and no longer open (the kernel frees a minor
//     only then). The inode number of a node is (generation << 8) | minor.
//
// Reads are served without holding a FUSE thread: a read that has to wait
// is kept and answered when a report arrives, the node goes, or the caller
// is interrupted.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct fuse_session;

struct THidrawNodeInfo {
  std::vector<uint8_t> Descriptor;
  uint16_t Vendor = 0;
  uint16_t Product = 0;
  std::string Name;  // HID_NAME
  std::string Phys;  // HID_PHYS
};

// Bytes written or -errno.
using THidrawWriter = std::function<int(const uint8_t*, std::size_t)>;

class THidrawFs;

class THidrawNode {
 public:
  THidrawNode(THidrawFs& fs, int minor, THidrawNodeInfo info, THidrawWriter writer)
      : FFs(fs), FMinor(minor), FInfo(std::move(info)), FWriter(std::move(writer)) {}
  int Minor() const { return FMinor; }
  std::string Name() const { return "hidraw" + std::to_string(FMinor); }

  // One input report as the device sends it (byte 0 = report ID 0): queued
  // for every open file.
  void Deliver(const uint8_t* report, std::size_t length);
  // Access for the technician: true makes open fail with EACCES.
  void SetRefusing(bool refusing);
  // The device went away: pending reads end (queued reports first, then
  // EIO), pollers see POLLERR|POLLHUP, writes and ioctls fail with ENODEV,
  // and the file leaves the directory.
  void Vanish();
  // Opens made since the node appeared (closed ones included).
  int Opened() const;

 private:
  friend class THidrawFs;
  friend struct THidrawOps;
  THidrawFs& FFs;
  const int FMinor;
  const THidrawNodeInfo FInfo;
  const THidrawWriter FWriter;
  // Guarded by the file system's mutex.
  bool FExists = true;
  bool FRefusing = false;
  int FOpen = 0;
  int FOpened = 0;
};

class THidrawFs {
 public:
  THidrawFs();
  ~THidrawFs();
  THidrawFs(const THidrawFs&) = delete;
  THidrawFs& operator=(const THidrawFs&) = delete;

  // Mounts the file system on `dir` and serves it from threads of its own.
  bool Mount(const std::string& dir, std::string& error);
  const std::string& Dir() const { return FDir; }
  // Ends the connection: every request waiting or to come fails at once.
  // A process that serves its own files must do this before it exits, or
  // closing its last open node would wait for a server that is gone.
  void Abort();

  // A new node at the lowest free minor. `writer` gets every output report
  // written (on a FUSE thread, without any lock held).
  std::shared_ptr<THidrawNode> AddNode(const THidrawNodeInfo& info, THidrawWriter writer);

  // Handshakes for the tests. A close(2) returns before the kernel tells the
  // server, which frees a node's minor only then: until every file is
  // released. A reader or poller that waits for a report: until one does.
  bool WaitAllReleased(int timeoutMs);
  bool WaitForWaiter(int timeoutMs);

 private:
  friend class THidrawNode;
  friend struct THidrawOps;  // the FUSE callbacks
  struct TOpenFile;
  template <typename P>
  bool WaitFor(int timeoutMs, P done);

  std::mutex FMutex;
  std::condition_variable FChanged;  // a file released, a read or a poll waiting
  std::string FDir;
  std::string FAbortFile;  // the connection's abort file in fusectl
  fuse_session* FSession = nullptr;
  std::thread FLoop;
  uint64_t FGeneration = 0;
  uint64_t FNextFh = 1;
  std::map<uint64_t, std::shared_ptr<THidrawNode>> FNodes;  // by inode
  std::map<uint64_t, std::unique_ptr<TOpenFile>> FFiles;    // by file handle
};
