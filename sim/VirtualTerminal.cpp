#include "VirtualTerminal.h"

#include <algorithm>
#include <cstdio>

namespace {

constexpr size_t kMaxFrame = 4096;

uint8_t Xor(const TTermBytes& f, size_t n) {
  uint8_t x = 0;
  for (size_t i = 0; i < n && i < f.size(); ++i) x ^= f[i];
  return x;
}

TTermBytes Frame(uint16_t code, const TTermBytes& data) {
  const size_t L = data.size() + 6;
  // Sized once, then filled: an insert behind a five-byte list sets off a
  // false bounds warning of some compilers.
  TTermBytes f(L - 1);
  f[0] = 0x55;
  f[1] = static_cast<uint8_t>(code & 0xFF);
  f[2] = static_cast<uint8_t>(code >> 8);
  f[3] = static_cast<uint8_t>(L & 0xFF);
  f[4] = static_cast<uint8_t>((L >> 8) & 0xFF);
  std::copy(data.begin(), data.end(), f.begin() + 5);
  f.push_back(Xor(f, f.size()));
  return f;
}

std::string Fit(const std::string& s, size_t n) {
  std::string r = s.substr(0, n);
  r.resize(n, ' ');
  return r;
}

int MonthOf(const std::string& m) {
  static const char* names[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  for (int i = 0; i < 12; ++i)
    if (m == names[i]) return i + 1;
  return 0;
}

bool Digits(const std::string& s) {
  return !s.empty() &&
         std::all_of(s.begin(), s.end(), [](char c) { return (c >= '0' && c <= '9') || c == ' '; });
}

}  // namespace

std::shared_ptr<TVirtualTerminal> TVirtualTerminal::Create(const TVirtualTerminalConfig& config) {
  return std::shared_ptr<TVirtualTerminal>(new TVirtualTerminal(config));
}

TVirtualTerminal::TVirtualTerminal(const TVirtualTerminalConfig& config)
    : FConfig(config), FLoader(config.StartInLoader), FWorker([this] { WorkerBody(); }) {}

TVirtualTerminal::~TVirtualTerminal() {
  {
    std::lock_guard<std::mutex> lock(FTaskMutex);
    FStop = true;
  }
  FTaskCond.notify_all();
  FWorker.join();
}

TSimHidDeviceConfig TVirtualTerminal::DeviceConfig() const {
  std::lock_guard<std::mutex> lock(FMutex);
  TSimHidDeviceConfig c =
      TSimHidDeviceConfig::Make(FConfig.VendorID, FConfig.ProductID, FConfig.UsbVersion,
                                FConfig.ProductString, FConfig.InputReportLength, FConfig.OutputReportLength);
  c.UsbFramePaced = FConfig.UsbPaced;
  return c;
}

std::shared_ptr<TSimHidDevice> TVirtualTerminal::Plug(TSimHidBus& bus) {
  if (auto dev = Device()) {
    Replug();
    return dev;
  }
  {
    std::lock_guard<std::mutex> lock(FMutex);
    FBus = &bus;
  }
  auto dev = bus.Plug(DeviceConfig(), shared_from_this());
  std::lock_guard<std::mutex> lock(FMutex);
  FDevice = dev;
  return dev;
}

bool TVirtualTerminal::Unplug() {
  TSimHidBus* bus;
  std::shared_ptr<TSimHidDevice> dev;
  {
    std::lock_guard<std::mutex> lock(FMutex);
    bus = FBus;
    dev = FDevice.lock();
  }
  return bus && dev && bus->Unplug(dev);
}

bool TVirtualTerminal::Replug() {
  TSimHidBus* bus;
  std::shared_ptr<TSimHidDevice> dev;
  {
    std::lock_guard<std::mutex> lock(FMutex);
    bus = FBus;
    dev = FDevice.lock();
  }
  return bus && dev && bus->Replug(dev);
}

std::shared_ptr<TSimHidDevice> TVirtualTerminal::Device() const {
  std::lock_guard<std::mutex> lock(FMutex);
  return FDevice.lock();
}

TVirtualTerminalConfig TVirtualTerminal::Config() const {
  std::lock_guard<std::mutex> lock(FMutex);
  return FConfig;
}
void TVirtualTerminal::SetConfig(const TVirtualTerminalConfig& config) {
  std::lock_guard<std::mutex> lock(FMutex);
  FConfig = config;
}
void TVirtualTerminal::SetLatencyMs(int ms) {
  std::lock_guard<std::mutex> lock(FMutex);
  FConfig.LatencyMs = ms;
}
void TVirtualTerminal::SetCommandLatencyMs(TTermCommand command, int ms) {
  std::lock_guard<std::mutex> lock(FMutex);
  if (ms > 0)
    FConfig.CommandLatencyMs[command] = ms;
  else
    FConfig.CommandLatencyMs.erase(command);
}
void TVirtualTerminal::SetReportChunk(int bytes) {
  std::lock_guard<std::mutex> lock(FMutex);
  FConfig.ReportChunk = bytes;
}
void TVirtualTerminal::SetSwitchActive(bool on) {
  std::lock_guard<std::mutex> lock(FMutex);
  FConfig.SwitchActive = on;
}
void TVirtualTerminal::SetApplication(const TTermIdentity& id) {
  std::lock_guard<std::mutex> lock(FMutex);
  FConfig.Application = id;
}

void TVirtualTerminal::AddFault(TTermCommand command, TTermFault fault) {
  std::lock_guard<std::mutex> lock(FMutex);
  FFaults[command].push_back(fault);
}
void TVirtualTerminal::AddBlockFault(int blockNumber, TTermFault fault) {
  std::lock_guard<std::mutex> lock(FMutex);
  FBlockFaults[blockNumber].push_back(fault);
}
void TVirtualTerminal::ClearFaults() {
  std::lock_guard<std::mutex> lock(FMutex);
  FFaults.clear();
  FBlockFaults.clear();
}

bool TVirtualTerminal::InLoader() const {
  std::lock_guard<std::mutex> lock(FMutex);
  return FLoader;
}
bool TVirtualTerminal::Identified() const {
  std::lock_guard<std::mutex> lock(FMutex);
  return FIdentified;
}
int TVirtualTerminal::LoaderEntries() const {
  std::lock_guard<std::mutex> lock(FMutex);
  return FLoaderEntries;
}
TTermIdentity TVirtualTerminal::RunningIdentity() const {
  std::lock_guard<std::mutex> lock(FMutex);
  return FLoader ? FConfig.Boot : FConfig.Application;
}
std::map<int, TTermBytes> TVirtualTerminal::Blocks() const {
  std::lock_guard<std::mutex> lock(FMutex);
  return FBlocks;
}
TTermBytes TVirtualTerminal::Image() const {
  std::lock_guard<std::mutex> lock(FMutex);
  TTermBytes image;
  for (const auto& b : FBlocks) {
    const size_t at = static_cast<size_t>(b.first) * 256;
    if (image.size() < at + b.second.size()) image.resize(at + b.second.size(), 0xFF);
    std::copy(b.second.begin(), b.second.end(), image.begin() + static_cast<std::ptrdiff_t>(at));
  }
  return image;
}
bool TVirtualTerminal::ImageComplete() const {
  std::lock_guard<std::mutex> lock(FMutex);
  return FEndReceived;
}
std::vector<TTermBytes> TVirtualTerminal::FramesReceived() const {
  std::lock_guard<std::mutex> lock(FMutex);
  return FReceived;
}
std::vector<TTermBytes> TVirtualTerminal::FramesSent() const {
  std::lock_guard<std::mutex> lock(FMutex);
  return FSent;
}
int TVirtualTerminal::CommandCount(TTermCommand command) const {
  std::lock_guard<std::mutex> lock(FMutex);
  auto it = FCounts.find(command);
  return it == FCounts.end() ? 0 : it->second;
}
void TVirtualTerminal::ClearHistory() {
  std::lock_guard<std::mutex> lock(FMutex);
  FReceived.clear();
  FSent.clear();
  FCounts.clear();
}

TTermCommand TVirtualTerminal::CommandOf(const TTermBytes& f) {
  if (f.size() < 6) return TTermCommand::Other;
  const int code = f[1] | (f[2] << 8);
  switch (code) {
    case 0xFF80: return f[5] == 0x00 ? TTermCommand::Close : TTermCommand::Identity;
    case 0xFF82: return TTermCommand::Password;
    case 0xFF88:
      if (f.size() >= 8 && f[5] == 0x88)
        return f[6] == 0x00 ? TTermCommand::EnterLoader : TTermCommand::LeaveLoader;
      return TTermCommand::Other;
    case 0xFF8A: return TTermCommand::Block;
    default: return TTermCommand::Other;
  }
}

// ---------------------------------------------------------------------------
// Receiving

void TVirtualTerminal::OnOutputReport(TSimHidDevice& device, const uint8_t* data, std::size_t length) {
  (void)device;
  if (length < 2) return;
  const size_t n = std::min<size_t>(data[1], length - 2);
  std::vector<TAnswer> answers;
  std::vector<TTermBytes> frames;
  bool unplugMidFrame = false;
  {
    std::lock_guard<std::mutex> lock(FMutex);
    if (FPartial.empty() && (n == 0 || data[2] != 0x55)) return;  // not the start of a frame
    FPartial.insert(FPartial.end(), data + 2, data + 2 + n);
    while (FPartial.size() >= 5) {
      const size_t L = FPartial[3] | (FPartial[4] << 8);
      if (L > kMaxFrame || L < 6) {
        FPartial.clear();
        break;
      }
      if (FPartial.size() < L) {
        // The first piece of a frame of several reports.
        if (FPartial.size() == n) {
          const TTermCommand cmd = CommandOf(TTermBytes(FPartial.begin(), FPartial.end()));
          const int block = FPartial.size() >= 9 ? (FPartial[7] | (FPartial[8] << 8)) : -1;
          auto peek = [&](std::deque<TTermFault>& q) {
            for (auto it = q.begin(); it != q.end(); ++it)
              if (it->Kind == TTermFaultKind::UnplugMidFrame) {
                if (!it->Always) q.erase(it);
                return true;
              }
            return false;
          };
          if (cmd == TTermCommand::Block && block >= 0 && FBlockFaults.count(block))
            unplugMidFrame = peek(FBlockFaults[block]);
          if (!unplugMidFrame && FFaults.count(cmd)) unplugMidFrame = peek(FFaults[cmd]);
          if (!unplugMidFrame && FFaults.count(TTermCommand::Other) && cmd == TTermCommand::Other)
            unplugMidFrame = peek(FFaults[TTermCommand::Other]);
        }
        break;
      }
      TTermBytes frame(FPartial.begin(), FPartial.begin() + static_cast<std::ptrdiff_t>(L));
      FPartial.erase(FPartial.begin(), FPartial.begin() + static_cast<std::ptrdiff_t>(L));
      FReceived.push_back(frame);
      ++FCounts[CommandOf(frame)];
      frames.push_back(frame);
      answers.push_back(HandleFrame(frame));
      // What follows a frame in the same piece is not a frame start.
      if (!FPartial.empty() && FPartial[0] != 0x55) FPartial.clear();
    }
  }
  if (unplugMidFrame) {
    RunAndWait([this] { UnplugNow(); });
    return;
  }
  for (size_t i = 0; i < frames.size(); ++i) {
    if (OnFrameReceived) OnFrameReceived(frames[i]);
    Dispatch(std::move(answers[i]));
  }
}

void TVirtualTerminal::OnPlugged(TSimHidDevice& device) {
  (void)device;
  std::lock_guard<std::mutex> lock(FMutex);
  FPartial.clear();
  FIdentified = false;
  if (FLoader && FEndReceived) {
    ApplyImageIdentity();
    FLoader = false;
  }
}

void TVirtualTerminal::OnUnplugged(TSimHidDevice& device) {
  (void)device;
  std::lock_guard<std::mutex> lock(FMutex);
  FPartial.clear();
}

bool TVirtualTerminal::TakeFault(TTermCommand command, int blockNumber, TTermFault& out) {
  auto take = [&](std::deque<TTermFault>& q) {
    // Once-faults first, in order; then the always-fault.
    for (auto it = q.begin(); it != q.end(); ++it)
      if (!it->Always && it->Kind != TTermFaultKind::UnplugMidFrame) {
        out = *it;
        q.erase(it);
        return true;
      }
    for (const TTermFault& f : q)
      if (f.Always && f.Kind != TTermFaultKind::UnplugMidFrame) {
        out = f;
        return true;
      }
    return false;
  };
  if (command == TTermCommand::Block && blockNumber >= 0) {
    auto it = FBlockFaults.find(blockNumber);
    if (it != FBlockFaults.end() && take(it->second)) return true;
  }
  auto it = FFaults.find(command);
  return it != FFaults.end() && take(it->second);
}

TVirtualTerminal::TAnswer TVirtualTerminal::HandleFrame(const TTermBytes& frame) {
  TAnswer a;
  const uint16_t code = static_cast<uint16_t>(frame[1] | (frame[2] << 8));
  const uint16_t answerCode = static_cast<uint16_t>(code + 1);
  const TTermCommand cmd = CommandOf(frame);
  a.Command = cmd;
  const int block = (cmd == TTermCommand::Block && frame.size() >= 10) ? (frame[7] | (frame[8] << 8)) : -1;

  TTermFault fault;
  const bool faulty = TakeFault(cmd, block, fault);
  if (faulty) {
    switch (fault.Kind) {
      case TTermFaultKind::NoAnswer: a.Send = false; return a;
      case TTermFaultKind::Nak: a.Frame = Frame(0x0015, {}); return a;
      case TTermFaultKind::Ack: a.Frame = Frame(0x0006, {}); return a;
      case TTermFaultKind::Unplug:
        a.Send = false;
        a.Unplug = true;
        return a;
      case TTermFaultKind::Overlong: {
        const size_t L = fault.Value > 6 ? static_cast<size_t>(fault.Value) : 1500;
        TTermBytes data(L - 6, 0xEE);
        data[0] = 1;
        a.Frame = Frame(answerCode, data);
        return a;
      }
      case TTermFaultKind::Status: {
        TTermBytes data{static_cast<uint8_t>(fault.Value)};
        if (fault.Value == 16) {
          TTermBytes enc = FConfig.EncryptedPassword;
          if (enc.empty()) enc = TTermBytes(16, 0x5A);
          data.insert(data.end(), enc.begin(), enc.end());
        }
        a.Frame = Frame(answerCode, data);
        return a;
      }
      default: break;
    }
  }

  int status = 1;
  TTermBytes data;
  TTermBytes normal = Carry(frame, status, data);
  a.Frame = normal;
  if (faulty) {
    switch (fault.Kind) {
      case TTermFaultKind::OtherCode: {
        a.Frame[1] = static_cast<uint8_t>(fault.Value & 0xFF);
        a.Frame[2] = static_cast<uint8_t>((fault.Value >> 8) & 0xFF);
        a.Frame.back() = Xor(a.Frame, a.Frame.size() - 1);
        break;
      }
      case TTermFaultKind::BadChecksum: a.Frame.back() ^= 0xFF; break;
      case TTermFaultKind::LeadingBytes: a.Leading = fault.Value > 0 ? fault.Value : 1; break;
      case TTermFaultKind::UnplugAfterAnswer: a.UnplugAfter = true; break;
      default: break;
    }
  }
  if (cmd == TTermCommand::Block && block == 0xFFFF && status == 1 && FConfig.RestartOnEndBlock) {
    ApplyImageIdentity();
    FLoader = false;
  }
  return a;
}

// Carries out a command; returns its normal answer.
TTermBytes TVirtualTerminal::Carry(const TTermBytes& frame, int& status, TTermBytes& data) {
  const uint16_t code = static_cast<uint16_t>(frame[1] | (frame[2] << 8));
  const uint16_t answerCode = static_cast<uint16_t>(code + 1);
  const size_t L = frame.size();
  TTermBytes in(frame.begin() + 5, frame.end() - 1);
  auto answer = [&](int st, const TTermBytes& rest = {}) {
    status = st;
    data.assign(1, static_cast<uint8_t>(st));
    data.insert(data.end(), rest.begin(), rest.end());
    return Frame(answerCode, data);
  };

  if (Xor(frame, L - 1) != frame.back()) return answer(3);
  switch (code) {
    case 0xFF80: {
      if (in.size() != 1) return answer(22);
      const TTermIdentity& id = FLoader ? FConfig.Boot : FConfig.Application;
      TTermBytes rest{static_cast<uint8_t>(id.FrameVersion), static_cast<uint8_t>(id.AppType)};
      const std::string name = Fit(id.VersionName, 6), date = Fit(id.AppDate, 10);
      rest.insert(rest.end(), name.begin(), name.end());
      rest.insert(rest.end(), date.begin(), date.end());
      return answer(1, rest);
    }
    case 0xFF82: {
      if (FConfig.SwitchActive) return answer(1, {1});
      TTermBytes expected(FConfig.Password.begin(), FConfig.Password.end());
      if (expected.size() < 16) expected.resize(16, 0);
      if (FConfig.Password.empty() || in == expected) {
        FIdentified = true;
        return answer(1, {0});
      }
      TTermBytes enc = FConfig.EncryptedPassword;
      if (enc.empty())
        for (uint8_t b : expected) enc.push_back(static_cast<uint8_t>(b ^ 0x5A));
      return answer(16, enc);
    }
    case 0xFF88: {
      if (in.size() != 2 || in[0] != 0x88 || in[1] > 1) return answer(20);
      if (in[1] == 0x00) {
        if (!FConfig.Password.empty() && FConfig.PasswordForLoader && !FIdentified) return answer(17);
        if (!FLoader) ++FLoaderEntries;
        FLoader = true;
        FBlocks.clear();
        FLastBlock = -1;
        FEndReceived = false;
        return answer(1);
      }
      if (FLoader) {
        if (FEndReceived) ApplyImageIdentity();
        FLoader = false;
      }
      return answer(1);
    }
    case 0xFF8A: {
      if (!FLoader) return answer(24);
      if (in.size() < 6) return answer(22);
      const int number = in[2] | (in[3] << 8);
      const size_t len = static_cast<size_t>(in[4] | (in[5] << 8));
      if (in.size() != 6 + len) return answer(22);
      if (FEndReceived) return answer(12);
      if (number == 0xFFFF) {
        if (FLastBlock < 0) return answer(12);
        FEndReceived = true;
        return answer(1);
      }
      if ((FLastBlock < 0 && number != 0) || number < FLastBlock) return answer(12);
      FBlocks[number] = TTermBytes(in.begin() + 6, in.end());
      FLastBlock = number;
      return answer(1);
    }
    default: return answer(10);
  }
}

void TVirtualTerminal::ApplyImageIdentity() {
  auto it = FBlocks.find(0);
  if (it == FBlocks.end()) return;
  const TTermBytes& b = it->second;
  if (b.size() < 46) return;
  std::string date;
  const bool newLayout = b[0] == 0xFF && b[1] == 0xFF;
  if (newLayout) {
    date.assign(b.begin() + 36, b.begin() + 46);
    if (!Digits(date.substr(0, 2)) || date[2] == 0 || !Digits(date.substr(3, 2)) ||
        !Digits(date.substr(6, 4)))
      return;
  } else {
    if (b.size() < 47) return;
    const std::string s(b.begin() + 36, b.begin() + 47);  // "Jun 15 2009"
    const int month = MonthOf(s.substr(0, 3));
    if (month == 0 || !Digits(s.substr(4, 2)) || !Digits(s.substr(7, 4))) return;
    char buf[16];
    std::string day = s.substr(4, 2);
    if (day[0] == ' ') day[0] = '0';
    std::snprintf(buf, sizeof(buf), "%s/%02d/%s", day.c_str(), month, s.substr(7, 4).c_str());
    date = buf;
  }
  FConfig.Application.AppType = b[21];
  FConfig.Application.VersionName.assign(b.begin() + 30, b.begin() + 36);
  FConfig.Application.AppDate = date;
}

// ---------------------------------------------------------------------------
// Sending

std::vector<TTermBytes> TVirtualTerminal::Reports(const TAnswer& a, const TVirtualTerminalConfig& c) const {
  std::vector<TTermBytes> reports;
  TTermBytes body;
  for (int i = 0; i < a.Leading; ++i) body.push_back(static_cast<uint8_t>(0xA0 + (i % 16)));
  body.insert(body.end(), a.Frame.begin(), a.Frame.end());
  const size_t full = c.InputReportLength > 1 ? c.InputReportLength - 1u : 64u;  // bytes after the id
  size_t pos = 0;
  bool first = true;
  while (pos < body.size()) {
    const bool count = first && c.CountByte;
    size_t n = c.ReportChunk > 0 ? static_cast<size_t>(c.ReportChunk) : full - (count ? 1 : 0);
    n = std::min({n, body.size() - pos, full - (count ? 1 : 0)});
    TTermBytes r{0x00};
    if (count) r.push_back(static_cast<uint8_t>(n));
    r.insert(r.end(), body.begin() + static_cast<std::ptrdiff_t>(pos),
             body.begin() + static_cast<std::ptrdiff_t>(pos + n));
    pos += n;
    if (pos >= body.size() && r.size() < full + 1) r.resize(full + 1, 0);
    reports.push_back(std::move(r));
    first = false;
  }
  return reports;
}

void TVirtualTerminal::Dispatch(TAnswer answer) {
  TVirtualTerminalConfig c;
  std::shared_ptr<TSimHidDevice> dev;
  {
    std::lock_guard<std::mutex> lock(FMutex);
    c = FConfig;
    dev = FDevice.lock();
  }
  int latency = c.LatencyMs;
  auto own = c.CommandLatencyMs.find(answer.Command);
  if (own != c.CommandLatencyMs.end()) latency += own->second;
  if (answer.Unplug) {
    Later(latency, [this] { UnplugNow(); });
    return;
  }
  if (!answer.Send || !dev) return;
  auto send = [this, dev, answer, c] {
    {
      std::lock_guard<std::mutex> lock(FMutex);
      FSent.push_back(answer.Frame);
    }
    if (OnFrameSent) OnFrameSent(answer.Frame);
    for (TTermBytes& r : Reports(answer, c)) dev->SendInputReport(std::move(r));
    if (answer.UnplugAfter) {
      // An unplug empties the input queue: let the host read the answer
      // first (bounded, in case nobody reads).
      for (int i = 0; i < 2000 && dev->QueuedInputCount() > 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      UnplugNow();
    }
  };
  if (latency <= 0 && !answer.UnplugAfter) {
    send();
  } else {
    Later(latency, send);
  }
}

void TVirtualTerminal::UnplugNow() { Unplug(); }

void TVirtualTerminal::Later(int ms, std::function<void()> fn) {
  {
    std::lock_guard<std::mutex> lock(FTaskMutex);
    FTasks.push_back({std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(ms, 0)),
                      FTaskSeq++, std::move(fn)});
  }
  FTaskCond.notify_all();
}

void TVirtualTerminal::RunAndWait(std::function<void()> fn) {
  std::mutex m;
  std::condition_variable cv;
  bool done = false;
  Later(0, [&] {
    fn();
    std::lock_guard<std::mutex> lock(m);
    done = true;
    cv.notify_all();
  });
  std::unique_lock<std::mutex> lock(m);
  cv.wait(lock, [&] { return done; });
}

void TVirtualTerminal::WorkerBody() {
  std::unique_lock<std::mutex> lock(FTaskMutex);
  for (;;) {
    if (FStop) return;
    if (FTasks.empty()) {
      FTaskCond.wait(lock);
      continue;
    }
    auto next = std::min_element(FTasks.begin(), FTasks.end(), [](const TTask& a, const TTask& b) {
      return a.Due != b.Due ? a.Due < b.Due : a.Seq < b.Seq;
    });
    if (next->Due > std::chrono::steady_clock::now()) {
      // A copy: the list may grow (and move) while the lock is released.
      const auto due = next->Due;
      FTaskCond.wait_until(lock, due);
      continue;
    }
    std::function<void()> fn = std::move(next->Fn);
    FTasks.erase(next);
    lock.unlock();
    fn();
    lock.lock();
  }
}
