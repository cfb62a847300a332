#include "EmulatedTerminal.h"

#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <mutex>

namespace {

TSystemWorld* gWorld = nullptr;

// The one reader of the simulated terminal's reports. The pump waits for
// them and queues each for the node's open files; a writer that wants what
// is already there takes the handle over (the pump's wait is cancelled) and
// moves it at once.
struct TReportConsumer {
  void Pump(IHidHandle& handle, THidrawNode& node) {
    for (;;) {
      {
        std::unique_lock<std::mutex> wait(WaitMutex);
        Cond.wait(wait, [this] { return Drainers == 0; });
      }
      std::lock_guard<std::mutex> lock(ReadMutex);
      const EHidReadStatus s = Move(handle, node, 250);
      if (s != EHidReadStatus::Completed && s != EHidReadStatus::TimedOut && s != EHidReadStatus::Cancelled)
        break;  // unplugged
    }
  }

  void DrainNow(IHidHandle& handle, THidrawNode& node) {
    {
      std::lock_guard<std::mutex> wait(WaitMutex);
      ++Drainers;
    }
    handle.CancelRead();
    {
      std::lock_guard<std::mutex> lock(ReadMutex);
      // Cancelled: our own cancel, when the pump did not wait.
      for (EHidReadStatus s;
           (s = Move(handle, node, 0)) == EHidReadStatus::Completed || s == EHidReadStatus::Cancelled;) {
      }
    }
    {
      std::lock_guard<std::mutex> wait(WaitMutex);
      --Drainers;
    }
    Cond.notify_all();
  }

  // One report from the terminal to the node.
  EHidReadStatus Move(IHidHandle& handle, THidrawNode& node, int timeoutMs) {
    const THidReadResult r = handle.Read(Buffer, sizeof Buffer, timeoutMs);
    if (r.Status == EHidReadStatus::Completed) node.Deliver(Buffer, r.Bytes);
    return r.Status;
  }

  uint8_t Buffer[4096];   // guarded by ReadMutex
  std::mutex WriteMutex;  // one write at a time on the terminal
  std::mutex ReadMutex;   // one reader of its reports at a time
  std::mutex WaitMutex;
  std::condition_variable Cond;
  int Drainers = 0;
};

}  // namespace

TSystemWorld* SystemWorld() { return gWorld; }

std::string StartSystemWorld() {
  // Lives until the process ends: the FUSE threads serve the nodes to the
  // last moment, whatever still holds one open.
  auto* world = new TSystemWorld;
  std::string error;
  if (!world->Nodes.Mount(kSandboxFuseDir, error)) return error;
  if (!world->Udev.Ok()) return "no netlink socket for the udev notices";
  gWorld = world;
  return std::string();
}

TEmulatedTerminal::TEmulatedTerminal(const TEmulatedTerminalConfig& config)
    : FConfig(config), FTerminal(TVirtualTerminal::Create(config.Terminal)), FSysfs(config.Terminal) {}

// The kernel's and udev's order: on arrival the sysfs entries and the node
// exist before the notices go out; on removal the open files fail first,
// then node and entries go, then the notices.
void TEmulatedTerminal::Plug() {
  if (Present()) return;
  const std::string path = FTerminal->Plug(FBus)->Path();
  auto reader = FBus.Open(path, EHidAccess::Read, nullptr);
  auto writer = FBus.Open(path, EHidAccess::ReadWrite, nullptr);
  if (!reader || !writer) {
    FError = "the simulated terminal could not be opened";
    return;
  }
  auto fail = [this](const std::string& e) {
    if (FError.empty()) FError = e;
  };
  // A report the terminal sends while a write is being made (an answer
  // within the write) reaches the open files before write() returns: the
  // worst case of a fast terminal, made certain rather than left to the
  // threads' timing.
  auto consumer = std::make_shared<TReportConsumer>();
  auto nodeRef = std::make_shared<std::weak_ptr<THidrawNode>>();
  const THidrawNodeInfo info{VendorReportDescriptor(FConfig.Terminal.InputReportLength - 1),
                             FConfig.Terminal.VendorID, FConfig.Terminal.ProductID, FSysfs.HidName(),
                             FSysfs.HidPhys()};
  FNode = SystemWorld()->Nodes.AddNode(info, [=](const uint8_t* data, std::size_t size) -> int {
    std::size_t written = 0;
    bool ok;
    {
      std::lock_guard<std::mutex> lock(consumer->WriteMutex);
      ok = writer->Write(data, size, written);
    }
    if (auto n = nodeRef->lock()) consumer->DrainNow(*reader, *n);
    return ok ? static_cast<int>(size) : -ENODEV;
  });
  *nodeRef = FNode;
  FNode->SetRefusing(FConfig.Refusing);
  std::string error;
  if (!FSysfs.Create(FNode->Minor(), error)) fail(error);
  const std::string dev = FSysfs.DevNode();
  unlink(dev.c_str());
  if (symlink((SystemWorld()->Nodes.Dir() + "/" + FNode->Name()).c_str(), dev.c_str()) != 0)
    fail("creating " + dev);
  FPump = std::thread([reader, node = FNode, consumer] { consumer->Pump(*reader, *node); });
  FReader = reader;
  if (!FSysfs.Announce(SystemWorld()->Udev, true)) fail("the udev notices of the arrival could not be sent");
}

void TEmulatedTerminal::Unplug() {
  if (!Present()) return;
  FTerminal->Unplug();
  FNode->Vanish();
  unlink(FSysfs.DevNode().c_str());
  FSysfs.Remove();
  if (!FSysfs.Announce(SystemWorld()->Udev, false) && FError.empty())
    FError = "the udev notices of the removal could not be sent";
  FReader->CancelRead();
  FPump.join();
  FNode.reset();
  FReader.reset();
}

void TEmulatedTerminal::SetRefusing(bool refusing) {
  FConfig.Refusing = refusing;
  if (FNode) FNode->SetRefusing(refusing);
}
