#include "EmulatedTerminal.h"

#include <unistd.h>

#include <cerrno>

#include "MotTestUtil.h"
#include "Sandbox.h"

namespace {
TSystemWorld* gWorld = nullptr;
}

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
    : FConfig(config),
      FBus(std::make_shared<TSimHidBus>()),
      FTerminal(TVirtualTerminal::Create(config.Terminal)),
      FSysfs([&] {
        TUsbHidIdentity id;
        id.VendorID = config.Terminal.VendorID;
        id.ProductID = config.Terminal.ProductID;
        id.BcdDevice = config.Terminal.UsbVersion;
        id.Manufacturer = config.Manufacturer;
        id.Product = config.Terminal.ProductString;
        id.Serial = config.Serial;
        id.ReportDescriptor = VendorReportDescriptor(config.Terminal.InputReportLength - 1);
        return id;
      }()),
      FRefusing(config.Refusing) {
  FBus->SetListener([this] { Request(); });
  FWorker = std::thread([this] { Worker(); });
}

TEmulatedTerminal::~TEmulatedTerminal() {
  Unplug();
  FBus->SetListener({});
  {
    std::lock_guard<std::mutex> lock(FMutex);
    FStop = true;
  }
  FCond.notify_all();
  FWorker.join();
}

void TEmulatedTerminal::Plug() {
  std::shared_ptr<TSimHidDevice> dev;
  {
    std::lock_guard<std::mutex> lock(FMutex);
    dev = FDevice;
  }
  if (!dev) {
    dev = FTerminal->Plug(*FBus);
    std::lock_guard<std::mutex> lock(FMutex);
    FDevice = dev;
  } else {
    FTerminal->Replug();
  }
  Request();
  WaitIdle();
}

void TEmulatedTerminal::Unplug() {
  FTerminal->Unplug();
  Request();
  WaitIdle();
}

bool TEmulatedTerminal::Present() const {
  std::lock_guard<std::mutex> lock(FMutex);
  return FPresent;
}

void TEmulatedTerminal::SetRefusing(bool refusing) {
  std::lock_guard<std::mutex> lock(FMutex);
  FRefusing = refusing;
  if (FNode) FNode->SetRefusing(refusing);
}

std::string TEmulatedTerminal::DevNode() const {
  std::lock_guard<std::mutex> lock(FMutex);
  return FPresent ? FSysfs.DevNode() : std::string();
}

std::string TEmulatedTerminal::Syspath() const {
  std::lock_guard<std::mutex> lock(FMutex);
  return FPresent ? FSysfs.HidrawSyspath() : std::string();
}

std::shared_ptr<THidrawNode> TEmulatedTerminal::Node() const {
  std::lock_guard<std::mutex> lock(FMutex);
  return FNode;
}

int TEmulatedTerminal::Transitions() const {
  std::lock_guard<std::mutex> lock(FMutex);
  return FTransitions;
}

std::string TEmulatedTerminal::Error() const {
  std::lock_guard<std::mutex> lock(FMutex);
  return FError;
}

void TEmulatedTerminal::Request() {
  {
    std::lock_guard<std::mutex> lock(FMutex);
    ++FRequested;
  }
  FCond.notify_all();
}

void TEmulatedTerminal::WaitIdle() {
  std::unique_lock<std::mutex> lock(FMutex);
  FCond.wait(lock, [this] { return FDone == FRequested || FStop; });
}

void TEmulatedTerminal::Worker() {
  std::unique_lock<std::mutex> lock(FMutex);
  for (;;) {
    FCond.wait(lock, [this] { return FStop || FDone != FRequested; });
    if (FStop) break;
    const uint64_t target = FRequested;
    const bool plugged = FDevice && FDevice->Plugged();
    lock.unlock();
    Apply(plugged);
    lock.lock();
    FDone = target;
    FCond.notify_all();
  }
}

// The kernel's and udev's order: on arrival the sysfs entries and the node
// exist before the notices go out; on removal the open files fail first,
// then node and entries go, then the notices.
void TEmulatedTerminal::Apply(bool plugged) {
  TSystemWorld* world = SystemWorld();
  bool present;
  {
    std::lock_guard<std::mutex> lock(FMutex);
    present = FPresent;
  }
  if (plugged == present || world == nullptr) return;
  auto fail = [this](const std::string& e) {
    std::lock_guard<std::mutex> lock(FMutex);
    if (FError.empty()) FError = e;
  };
  if (plugged) {
    const std::string path = FDevice->Path();
    uint32_t err = 0;
    auto reader = FBus->Open(path, EHidAccess::Read, &err);
    auto writer = FBus->Open(path, EHidAccess::ReadWrite, &err);
    if (!reader || !writer) {
      fail("the simulated terminal could not be opened");
      return;
    }
    THidrawNodeInfo info;
    info.Descriptor = VendorReportDescriptor(FConfig.Terminal.InputReportLength - 1);
    info.ReportIds = false;
    info.Vendor = FConfig.Terminal.VendorID;
    info.Product = FConfig.Terminal.ProductID;
    info.Name = FSysfs.HidName();
    info.Phys = FSysfs.HidPhys();
    info.Uniq = FConfig.Serial;
    // A report the terminal sends while a write is being made (an answer
    // within the write) reaches the open files before write() returns: the
    // worst case of a fast terminal, made certain rather than left to the
    // threads' timing.
    auto consumer = std::make_shared<TReportConsumer>();
    auto nodeRef = std::make_shared<std::weak_ptr<THidrawNode>>();
    auto node = world->Nodes.AddNode(
        info, [writer, reader, consumer, nodeRef](const uint8_t* data, std::size_t size) -> int {
          std::size_t written = 0;
          bool ok;
          {
            std::lock_guard<std::mutex> lock(consumer->WriteMutex);
            ok = writer->Write(data, size, written);
          }
          if (auto n = nodeRef->lock()) consumer->DrainNow(*reader, *n);
          return ok ? static_cast<int>(size) : -ENODEV;
        });
    *nodeRef = node;
    bool refusing;
    {
      std::lock_guard<std::mutex> lock(FMutex);
      refusing = FRefusing;
    }
    node->SetRefusing(refusing);
    std::string error;
    if (!FSysfs.Create(node->Minor(), error)) fail(error);
    const std::string dev = FSysfs.DevNode();
    unlink(dev.c_str());
    if (symlink((world->Nodes.Dir() + "/" + node->Name()).c_str(), dev.c_str()) != 0) fail("creating " + dev);
    FPumpThread = std::thread([reader, node, consumer] { consumer->Pump(*reader, *node); });
    {
      std::lock_guard<std::mutex> lock(FMutex);
      FNode = node;
      FHandle = reader;
      FPresent = true;
      ++FTransitions;
    }
    if (!FSysfs.Announce(world->Udev, true)) fail("the udev notices of the arrival could not be sent");
  } else {
    std::shared_ptr<THidrawNode> node;
    std::shared_ptr<IHidHandle> reader;
    {
      std::lock_guard<std::mutex> lock(FMutex);
      node = FNode;
      reader = FHandle;
    }
    if (node) node->Vanish();
    unlink(FSysfs.DevNode().c_str());
    FSysfs.Remove();
    if (!FSysfs.Announce(world->Udev, false)) fail("the udev notices of the removal could not be sent");
    if (reader) reader->CancelRead();
    if (FPumpThread.joinable()) FPumpThread.join();
    std::lock_guard<std::mutex> lock(FMutex);
    FNode.reset();
    FHandle.reset();
    FPresent = false;
    ++FTransitions;
  }
}

// The pump waits for the terminal's reports and queues each for the node's
// open files; a writer that wants what is already there takes the handle
// over (the pump's wait is cancelled) and moves it at once.
void TReportConsumer::Pump(IHidHandle& handle, THidrawNode& node) {
  std::vector<uint8_t> buf(4096);
  for (;;) {
    {
      std::unique_lock<std::mutex> wait(WaitMutex);
      Cond.wait(wait, [this] { return Drainers == 0; });
    }
    std::lock_guard<std::mutex> lock(ReadMutex);
    const THidReadResult r = handle.Read(buf.data(), buf.size(), 250);
    if (r.Status == EHidReadStatus::TimedOut || r.Status == EHidReadStatus::Cancelled) continue;
    if (r.Status != EHidReadStatus::Completed) break;  // unplugged
    if (r.Bytes > 0) node.Deliver(buf.data(), r.Bytes);
  }
}

void TReportConsumer::DrainNow(IHidHandle& handle, THidrawNode& node) {
  {
    std::lock_guard<std::mutex> wait(WaitMutex);
    ++Drainers;
  }
  handle.CancelRead();
  {
    std::lock_guard<std::mutex> lock(ReadMutex);
    std::vector<uint8_t> buf(4096);
    for (;;) {
      const THidReadResult r = handle.Read(buf.data(), buf.size(), 0);
      if (r.Status == EHidReadStatus::Cancelled) continue;  // our own cancel, when the pump did not wait
      if (r.Status != EHidReadStatus::Completed) break;
      if (r.Bytes > 0) node.Deliver(buf.data(), r.Bytes);
    }
  }
  {
    std::lock_guard<std::mutex> wait(WaitMutex);
    --Drainers;
  }
  Cond.notify_all();
}

TTestFirmware MakeTestFirmware(int pages, const std::string& version, const std::string& date) {
  TTestFirmware fw;
  fw.Image = HeaderPage(true, date, 9, version, 256);
  for (int p = 1; p < pages; ++p)
    for (int i = 0; i < 256; ++i) fw.Image.push_back(static_cast<uint8_t>(p * 37 + i * 7));
  fw.MotText = MotFile(fw.Image, 0x8000, 32);
  return fw;
}

bool TerminalHasImage(const TVirtualTerminal& terminal, const std::vector<uint8_t>& image, std::string* why) {
  auto say = [&](const std::string& s) {
    if (why) *why = s;
    return false;
  };
  if (!terminal.ImageComplete()) return say("the terminal did not receive the end block");
  const auto blocks = terminal.Blocks();
  const int pages = static_cast<int>(image.size() / 256);
  for (int p = 0; p < pages; ++p) {
    auto it = blocks.find(p);
    if (it == blocks.end()) return say("block " + std::to_string(p) + " is missing");
    if (it->second != std::vector<uint8_t>(image.begin() + p * 256, image.begin() + (p + 1) * 256))
      return say("block " + std::to_string(p) + " differs from the file");
  }
  return true;
}
