// Builders of small S-record files for the firmware tests.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

using TBytes = std::vector<uint8_t>;

// One S-record line of `type` with a correct checksum.
inline std::string SRec(int type, uint32_t address, const TBytes& data) {
  const int a = type == 2 || type == 8 ? 3 : type == 3 || type == 7 ? 4 : 2;
  TBytes body;
  body.push_back(static_cast<uint8_t>(a + data.size() + 1));
  for (int i = a - 1; i >= 0; --i) body.push_back(static_cast<uint8_t>(address >> (8 * i)));
  body.insert(body.end(), data.begin(), data.end());
  unsigned sum = 0;
  for (uint8_t b : body) sum += b;
  body.push_back(static_cast<uint8_t>(~sum));
  std::string s = "S" + std::to_string(type);
  char buf[3];
  for (uint8_t b : body) {
    std::snprintf(buf, sizeof buf, "%02X", b);
    s += buf;
  }
  return s;
}

// A header page: application type at 21, version name at 30, date at 36;
// FF FF at its start for the newer date layout.
inline TBytes HeaderPage(bool newLayout, const std::string& date, int appliType = 9,
                         const std::string& version = "fv1234", size_t size = 64) {
  TBytes p(size, 0x20);
  if (newLayout && size >= 2) p[0] = p[1] = 0xFF;
  if (size > 21) p[21] = static_cast<uint8_t>(appliType);
  for (size_t i = 0; i < version.size() && 30 + i < size; ++i) p[30 + i] = static_cast<uint8_t>(version[i]);
  for (size_t i = 0; i < date.size() && 36 + i < size; ++i) p[36 + i] = static_cast<uint8_t>(date[i]);
  return p;
}

// S1 records of `chunk` bytes carrying `image` from `base`.
inline std::vector<std::string> DataLines(const TBytes& image, uint32_t base, size_t chunk = 16,
                                          int type = 1) {
  std::vector<std::string> out;
  for (size_t i = 0; i < image.size(); i += chunk) {
    const size_t n = std::min(chunk, image.size() - i);
    out.push_back(
        SRec(type, base + static_cast<uint32_t>(i), TBytes(image.begin() + i, image.begin() + i + n)));
  }
  return out;
}

// A whole file: "S0", the data lines, "S9030000FC", CR LF line ends.
inline std::string MotFile(const std::vector<std::string>& data, const std::string& end = "S9030000FC") {
  std::string s = "S00600004844521B\r\n";
  for (const auto& l : data) s += l + "\r\n";
  return s + end + "\r\n";
}

inline std::string MotFile(const TBytes& image, uint32_t base, size_t chunk = 16) {
  return MotFile(DataLines(image, base, chunk));
}
