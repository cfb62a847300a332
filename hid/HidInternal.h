// State shared between a device (main thread) and its reader thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "HidCallQueue.h"
#include "HidPlatform.h"

class THidDevice;

enum : uint32_t { kHidErrorInvalidBuffer = 1784 };

struct THidDeviceIo {
  std::shared_ptr<IHidPlatform> Platform;
  std::string Path;
  std::atomic<bool> Plugged{true};
  std::atomic<bool> Claimed{false};
  std::atomic<bool> Enumerating{false};
  std::atomic<int32_t> SleepTime{100};

  mutable std::mutex Mutex;  // guards the fields below
  std::shared_ptr<IHidHandle> ReadHandle;
  int32_t ReadBufferCount = 0;
  std::shared_ptr<const THidPreparsedData> Preparsed;

  bool CanAccess() const { return Plugged.load() && (Claimed.load() || Enumerating.load()); }

  // The read handle, opened when needed (read access only); null when the
  // device cannot be accessed or the open failed, with the reason in *error.
  std::shared_ptr<IHidHandle> AcquireReadHandle(uint32_t* error);
  // Takes the read handle out of its slot and cancels the read in progress on
  // it; the handle itself goes when its last user lets go.
  void CloseReadHandle();
  void CancelRead();
  bool ReadHandleOpen() const;
  std::shared_ptr<const THidPreparsedData> GetPreparsed() const;
  void SetPreparsed(std::shared_ptr<const THidPreparsedData> p);
};

struct THidReaderState {
  std::shared_ptr<THidDeviceIo> Io;
  THidCallQueue* Queue = nullptr;
  std::atomic<bool> Terminated{false};
  std::atomic<bool> Finished{false};
  // Set on the main thread when the reader is let go from inside one of its
  // hand-overs: from then on it must not touch the queue.
  std::atomic<bool> Detached{false};
  std::atomic<uint32_t> LastError{0};
  std::atomic<uint32_t> BytesRead{0};
  std::vector<uint8_t> Buffer;  // reader writes before a hand-over, main reads during it

  // Main thread only.
  THidDevice* Device = nullptr;  // null once the reader was detached
  bool InHandOver = false;
  // Written on the main thread during a hand-over, read by the reader after it.
  std::exception_ptr Fatal;

  // Pause between failed read attempts, cut short by termination.
  std::mutex PauseMutex;
  std::condition_variable PauseCond;
};

// Reader body (runs on the reader thread).
void HidReaderBody(const std::shared_ptr<THidReaderState>& s);
// Threads of detached readers, joined once they have ended.
void HidReaperAdd(std::thread t, std::shared_ptr<THidReaderState> s);
void HidReaperCollect();
