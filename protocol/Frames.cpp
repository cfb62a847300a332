#include "Frames.h"

#include <algorithm>

const char* const kTerminalProductName = "Terminal KVZ-DORNAVE";

uint8_t FrameChecksum(const uint8_t* Frame, size_t FrameSize, int Length) {
  if (Length <= 1 || Frame == nullptr) return 0;
  const size_t n = std::min(static_cast<size_t>(Length - 1), FrameSize);
  uint8_t x = 0;
  for (size_t i = 0; i < n; ++i) x ^= Frame[i];
  return x;
}

uint8_t FrameChecksum(const TBytes& Frame, int Length) {
  return FrameChecksum(Frame.data(), Frame.size(), Length);
}

TBytes BuildFrame(const TBytes& Payload, uint16_t Command) {
  const size_t total = Payload.size() + kFrameOverhead;
  if (total > 0xFFFF) return TBytes();
  const auto L = static_cast<uint16_t>(total);
  TBytes frame;
  frame.reserve(total);
  frame.push_back(kStartByte);
  frame.push_back(static_cast<uint8_t>(Command & 0xFF));
  frame.push_back(static_cast<uint8_t>(Command >> 8));
  frame.push_back(static_cast<uint8_t>(L & 0xFF));
  frame.push_back(static_cast<uint8_t>(L >> 8));
  frame.insert(frame.end(), Payload.begin(), Payload.end());
  frame.push_back(FrameChecksum(frame.data(), frame.size(), L));
  return frame;
}

TBytes DialoguePayload(bool open) { return TBytes{static_cast<uint8_t>(open ? 0x01 : 0x00)}; }

TBytes PasswordPayload(const std::string& password) {
  TBytes data(password.begin(), password.end());
  if (data.size() < kPasswordBytes) data.resize(kPasswordBytes, 0x00);
  return data;
}

TBytes LoaderPayload(bool enter) { return TBytes{0x88, static_cast<uint8_t>(enter ? 0x00 : 0x01)}; }

size_t ReportCount(size_t FrameSize) { return (FrameSize + kReportFrameBytes - 1) / kReportFrameBytes; }

std::vector<TBytes> CutIntoReports(const TBytes& Frame, int ReportLength) {
  const size_t len = static_cast<size_t>(std::max(ReportLength, kStandardReportLength));
  std::vector<TBytes> reports;
  reports.reserve(ReportCount(Frame.size()));
  for (size_t pos = 0; pos < Frame.size(); pos += kReportFrameBytes) {
    const size_t n = std::min(static_cast<size_t>(kReportFrameBytes), Frame.size() - pos);
    TBytes report(len, 0x00);
    report[0] = 0x00;
    report[1] = static_cast<uint8_t>(n);
    std::copy_n(Frame.begin() + static_cast<std::ptrdiff_t>(pos), n, report.begin() + 2);
    reports.push_back(std::move(report));
  }
  return reports;
}

std::string HexDump(const uint8_t* data, size_t size) {
  static const char digits[] = "0123456789ABCDEF";
  std::string s;
  s.reserve(size * 3);
  for (size_t i = 0; i < size; ++i) {
    if (i) s += ' ';
    s += digits[data[i] >> 4];
    s += digits[data[i] & 0x0F];
  }
  return s;
}
