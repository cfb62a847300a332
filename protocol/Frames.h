// Frames of the terminal protocol: building, checksum, and the cutting of a
// frame into HID output reports. Plain C++, no Qt.
//
//   0x55 | code (LE16) | length (LE16, data + 6) | data | xor checksum
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

using TBytes = std::vector<uint8_t>;

constexpr uint8_t kStartByte = 0x55;
constexpr int kFrameOverhead = 6;  // start byte, code, length, checksum

// Message codes. Each command is even; its answer is the command + 1.
constexpr uint16_t kCodeAck = 0x0006;
constexpr uint16_t kCodeNak = 0x0015;
constexpr uint16_t kCmdDialogue = 0xFF80;  // identity (data 01) / close (data 00)
constexpr uint16_t kAnsDialogue = 0xFF81;
constexpr uint16_t kCmdPassword = 0xFF82;
constexpr uint16_t kAnsPassword = 0xFF83;
constexpr uint16_t kCmdLoader = 0xFF88;  // 88 00 enter, 88 01 leave
constexpr uint16_t kAnsLoader = 0xFF89;
constexpr uint16_t kCmdBlock = 0xFF8A;
constexpr uint16_t kAnsBlock = 0xFF8B;

// Time-outs of the commands, in ticks of 1/18 second.
constexpr int kTicksDialogue = 10;
constexpr int kTicksPassword = 10;
constexpr int kTicksEnterLoader = 1;
constexpr int kTicksLeaveLoader = 2;

// The password field of a password frame is padded with 0x00 to this size.
constexpr size_t kPasswordBytes = 16;

// Product string by which the terminal is recognised.
extern const char* const kTerminalProductName;

// Report layout: report id, count, up to 63 frame bytes.
constexpr int kReportFrameBytes = 63;
constexpr int kStandardReportLength = 65;

// Exclusive-or of the first Length - 1 bytes of Frame (never more than
// Frame holds); 0 when Length is 1 or less.
uint8_t FrameChecksum(const uint8_t* Frame, size_t FrameSize, int Length);
uint8_t FrameChecksum(const TBytes& Frame, int Length);

// The complete frame of a command, checksum included. A payload longer than
// a frame can describe (65535 - 6 bytes) gives an empty frame.
TBytes BuildFrame(const TBytes& Payload, uint16_t Command);

// Data of the commands.
TBytes DialoguePayload(bool open);                    // 01 / 00
TBytes PasswordPayload(const std::string& password);  // to 16 bytes
TBytes LoaderPayload(bool enter);                     // 88 00 / 88 01

// Cuts a frame into output report buffers, 63 frame bytes at a time: report
// id 0, count n (1..63), n frame bytes, zero padding. Each buffer holds
// max(65, ReportLength) bytes: a terminal with longer reports gets buffers
// of its own length (still 63 frame bytes each), so a write of ReportLength
// bytes never reads past the buffer.
std::vector<TBytes> CutIntoReports(const TBytes& Frame, int ReportLength);
// Number of reports CutIntoReports makes.
size_t ReportCount(size_t FrameSize);

// Ticks of 1/18 second to milliseconds, rounded to the nearest (negative
// ticks give 0).
constexpr int TicksToMs(int ticks) {
  return ticks <= 0 ? 0 : static_cast<int>((static_cast<long long>(ticks) * 1000 + 9) / 18);
}

// "55 80 FF ..." for traces and test messages.
std::string HexDump(const uint8_t* data, size_t size);
inline std::string HexDump(const TBytes& b) { return HexDump(b.data(), b.size()); }
