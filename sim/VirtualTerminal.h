// The virtual programming terminal: a device model on the simulated HID bus
// that plays the terminal's side of the frame protocol.
//
// Device: product string "Terminal KVZ-DORNAVE", VendorID 0x1072, ProductID
// 0x0003, VersionNumber = Config.UsbVersion, input and output reports of 65
// bytes (configurable), paced by USB frames with Config.UsbPaced.
//
// Output reports are read as the workstation writes them: report id, count
// n (1..63), n frame bytes. The pieces are joined into frames; a piece that
// does not start a frame with 0x55 while none is begun is dropped. A frame
// of more than 4096 bytes is dropped whole.
//
// Input reports. The answer frame is sent in input reports: the first one
// holds report id 0, a count byte (the number of frame bytes in it; left out
// with CountByte false), then the first frame bytes; the following ones hold
// report id 0 and the next frame bytes directly (the workstation appends
// every byte of a report once an answer has begun). By default the first
// report carries 63 frame bytes and the others 64; with ReportChunk = c each
// report carries c frame bytes. Every report but the last is exactly as long
// as its content; the last is padded with zeros to the input report length.
//
// Behaviour beyond the frame tables (ours to choose):
//   - Identity (FF80 01) and close (FF80 00) both answer FF81 with status 1
//     and the identity of the program running: the application's, or the
//     boot program's (application type 255) while in the boot program.
//     Version name and date are cut or padded with blanks to 6 and 10
//     characters.
//   - Password (FF82): with no password configured any password is
//     accepted. With the switch active the answer is status 1, result 1.
//     Otherwise the 16 bytes (the password padded with 0x00, or a longer one
//     whole) are compared with the ones received: equal gives status 1,
//     result 0 and the terminal is identified until it is unplugged; else
//     status 16 followed by the enciphered password bytes
//     (Config.EncryptedPassword, or each byte of the padded password xor
//     0x5A when that is empty).
//   - Boot program (FF88 88 00): status 17 while a password is configured,
//     PasswordForLoader is set and the terminal is not identified; else the
//     terminal runs its boot program (status 1) and forgets any image it was
//     receiving. FF88 88 01 leaves the boot program (status 1): with a
//     complete image (end block received) whose block 0 holds a valid
//     header, the application takes the new identity: application type at
//     byte 21, version name at bytes 30..35, date at 36..45 as "DD/MM/YYYY"
//     when the image starts with FF FF, else "Mmm DD YYYY" at 36..46
//     (turned into "DD/MM/YYYY"). A header whose date does not read keeps
//     the old identity. Other FF88 data: status 20.
//   - Blocks (FF8A) outside the boot program: status 24. In it: block 0
//     first, then increasing numbers (a block sent again with the number of
//     the last one accepted replaces it: a retry), the end block (FFFF)
//     last; any other order, or a block after the end block: status 12. A
//     data length that disagrees with the frame, or a block shorter than 6
//     bytes: status 22. The image is kept per block number and as a whole
//     (block n at n * 256, gaps 0xFF).
//   - With RestartOnEndBlock the terminal leaves its boot program by itself
//     after answering the end block (as the terminals with USB version 4 do).
//   - Replug (power cycle): not identified any more; a terminal in its boot
//     program with a complete image starts the new application.
//   - A frame with a wrong checksum: status 3; a length field that does not
//     match the bytes: status 22; an unknown code: code + 1 with status 10.
//
// Faults. Each is selected for one command (or one block number), once or
// always; the once-faults of a command are used in the order added, before
// its always-fault. A command hit by NoAnswer, Nak, Ack, OtherCode, Status,
// Overlong or Unplug is not carried out; one hit by BadChecksum,
// LeadingBytes, UnplugAfterAnswer or UnplugMidFrame is carried out normally.
//
// Threads: OnOutputReport runs on the writer's thread; delayed answers and
// unplugs run on the terminal's own worker thread. Every public operation
// may be called from any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "SimHidBus.h"

using TTermBytes = std::vector<uint8_t>;

enum class TTermCommand { Identity, Close, Password, EnterLoader, LeaveLoader, Block, Other };

enum class TTermFaultKind {
  NoAnswer,           // nothing is sent
  Nak,                // 55 15 00 06 00 cs
  Ack,                // 55 06 00 06 00 cs
  OtherCode,          // the normal answer's layout with code Value
  Status,             // the answer with status byte Value (16: with the enciphered password)
  BadChecksum,        // the normal answer with its checksum byte inverted
  LeadingBytes,       // Value bytes (0xA0, 0xA1, ...) before 0x55 in the first report
  Overlong,           // an answer of Value bytes (default 1500), longer than any buffer
  Unplug,             // the terminal is unplugged instead of answering
  UnplugAfterAnswer,  // unplugged right after its answer has been sent
  UnplugMidFrame,     // unplugged when the first report of a frame of several reports comes in
};

struct TTermFault {
  TTermFaultKind Kind = TTermFaultKind::NoAnswer;
  int Value = 0;
  bool Always = false;
};

struct TTermIdentity {
  int FrameVersion = 2;
  int AppType = 9;
  std::string VersionName = "V2.04A";
  std::string AppDate = "15/06/2009";
};

struct TVirtualTerminalConfig {
  TTermIdentity Application;
  TTermIdentity Boot{2, 255, "BOOT10", "01/03/2008"};
  uint16_t UsbVersion = 1;
  std::string ProductString = "Terminal KVZ-DORNAVE";
  uint16_t VendorID = 0x1072;
  uint16_t ProductID = 0x0003;
  uint16_t InputReportLength = 65;
  uint16_t OutputReportLength = 65;

  std::string Password;  // empty: none
  TTermBytes EncryptedPassword;
  bool SwitchActive = false;
  bool PasswordForLoader = true;
  bool StartInLoader = false;
  bool RestartOnEndBlock = false;

  int LatencyMs = 0;      // before the first report of each answer
  int ReportChunk = 0;    // frame bytes per input report; 0 = 63, then 64
  bool CountByte = true;  // the first input report starts with a count byte
  // Reports paced as a USB full-speed interrupt endpoint moves them: one
  // each way per 1 ms frame (TSimHidDeviceConfig::UsbFramePaced). Taken when
  // the terminal is plugged in for the first time.
  bool UsbPaced = false;
  // Added to LatencyMs for the answers to one command (the unplug of an
  // Unplug fault comes as late): holds the load in one exchange for a while.
  std::map<TTermCommand, int> CommandLatencyMs;
};

class TVirtualTerminal : public ISimHidDeviceModel, public std::enable_shared_from_this<TVirtualTerminal> {
 public:
  static std::shared_ptr<TVirtualTerminal> Create(const TVirtualTerminalConfig& config = {});
  ~TVirtualTerminal() override;

  // Plugs the terminal into `bus` (once; later plugs are replugs).
  std::shared_ptr<TSimHidDevice> Plug(TSimHidBus& bus);
  bool Unplug();
  bool Replug();
  std::shared_ptr<TSimHidDevice> Device() const;
  TSimHidDeviceConfig DeviceConfig() const;

  // Configuration may change at any time; it applies to the next frame.
  TVirtualTerminalConfig Config() const;
  void SetConfig(const TVirtualTerminalConfig& config);
  void SetLatencyMs(int ms);
  // CommandLatencyMs of one command (0: none of its own).
  void SetCommandLatencyMs(TTermCommand command, int ms);
  void SetReportChunk(int bytes);
  void SetSwitchActive(bool on);
  void SetApplication(const TTermIdentity& id);

  void AddFault(TTermCommand command, TTermFault fault);
  void AddBlockFault(int blockNumber, TTermFault fault);
  // Unplugged right after its answer to block k.
  void UnplugAfterBlock(int blockNumber) {
    AddBlockFault(blockNumber, TTermFault{TTermFaultKind::UnplugAfterAnswer, 0, false});
  }
  void ClearFaults();

  // Trace: every complete frame received and every answer frame sent (on
  // the thread that handles or sends it).
  std::function<void(const TTermBytes&)> OnFrameReceived;
  std::function<void(const TTermBytes&)> OnFrameSent;

  // State.
  bool InLoader() const;
  bool Identified() const;
  // How many times it switched to its boot program (FF88 88 00 carried out
  // from the application); StartInLoader does not count.
  int LoaderEntries() const;
  TTermIdentity RunningIdentity() const;
  std::map<int, TTermBytes> Blocks() const;  // block number -> bytes
  TTermBytes Image() const;
  bool ImageComplete() const;  // the end block was accepted
  std::vector<TTermBytes> FramesReceived() const;
  std::vector<TTermBytes> FramesSent() const;
  int CommandCount(TTermCommand command) const;
  void ClearHistory();

  static TTermCommand CommandOf(const TTermBytes& frame);

  // ISimHidDeviceModel
  void OnOutputReport(TSimHidDevice& device, const uint8_t* data, std::size_t length) override;
  void OnPlugged(TSimHidDevice& device) override;
  void OnUnplugged(TSimHidDevice& device) override;

 private:
  explicit TVirtualTerminal(const TVirtualTerminalConfig& config);
  struct TAnswer {
    TTermBytes Frame;
    int Leading = 0;
    bool Unplug = false;       // unplug instead of answering
    bool UnplugAfter = false;  // unplug once the answer is sent
    bool Send = true;
    TTermCommand Command = TTermCommand::Other;
  };
  TAnswer HandleFrame(const TTermBytes& frame);                              // FMutex held
  TTermBytes Carry(const TTermBytes& frame, int& status, TTermBytes& data);  // FMutex held
  bool TakeFault(TTermCommand command, int blockNumber, TTermFault& out);    // FMutex held
  std::vector<TTermBytes> Reports(const TAnswer& a, const TVirtualTerminalConfig& c) const;
  void Dispatch(TAnswer answer);
  void Later(int ms, std::function<void()> fn);
  void RunAndWait(std::function<void()> fn);
  void WorkerBody();
  void ApplyImageIdentity();  // FMutex held
  void UnplugNow();

  mutable std::mutex FMutex;
  TVirtualTerminalConfig FConfig;
  TSimHidBus* FBus = nullptr;
  std::weak_ptr<TSimHidDevice> FDevice;  // the device holds the model, not the other way
  bool FLoader = false;
  bool FIdentified = false;
  int FLoaderEntries = 0;
  TTermBytes FPartial;
  std::map<int, TTermBytes> FBlocks;
  int FLastBlock = -1;
  bool FEndReceived = false;
  std::map<TTermCommand, std::deque<TTermFault>> FFaults;
  std::map<int, std::deque<TTermFault>> FBlockFaults;
  std::vector<TTermBytes> FReceived;
  std::vector<TTermBytes> FSent;
  std::map<TTermCommand, int> FCounts;

  // Worker: delayed answers and unplugs, in due order.
  struct TTask {
    std::chrono::steady_clock::time_point Due;
    uint64_t Seq;
    std::function<void()> Fn;
  };
  std::mutex FTaskMutex;
  std::condition_variable FTaskCond;
  std::vector<TTask> FTasks;
  uint64_t FTaskSeq = 0;
  bool FStop = false;
  std::thread FWorker;
};
