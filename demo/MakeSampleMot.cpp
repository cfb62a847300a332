// Writes the demo's sample firmware: a Motorola S-record file whose image
// starts with a valid header (FF FF, application type 9 at byte 21, version
// name at 30..35, date "DD/MM/YYYY" at 36..45), then pages of a pattern.
//
//   kvz_make_sample_mot OUTPUT [VERSION [DATE [PAGES]]]
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::string Record(int type, uint32_t address, const uint8_t* data, size_t n) {
  std::vector<uint8_t> body;
  body.push_back(static_cast<uint8_t>(2 + n + 1));
  body.push_back(static_cast<uint8_t>(address >> 8));
  body.push_back(static_cast<uint8_t>(address));
  body.insert(body.end(), data, data + n);
  unsigned sum = 0;
  for (uint8_t b : body) sum += b;
  body.push_back(static_cast<uint8_t>(~sum));
  std::string line = "S" + std::to_string(type);
  char hex[3];
  for (uint8_t b : body) {
    std::snprintf(hex, sizeof hex, "%02X", b);
    line += hex;
  }
  return line + "\r\n";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s OUTPUT [VERSION [DATE [PAGES]]]\n", argv[0]);
    return 2;
  }
  const std::string version = argc > 2 ? argv[2] : "fv0105";
  const std::string date = argc > 3 ? argv[3] : "02/03/2010";
  const int pages = argc > 4 ? std::atoi(argv[4]) : 32;
  if (version.size() != 6 || date.size() != 10 || pages < 1 || pages > 200) {
    std::fprintf(stderr, "%s: version of 6 characters, date DD/MM/YYYY, 1 to 200 pages\n", argv[0]);
    return 2;
  }
  const uint32_t base = 0x8000;
  std::vector<uint8_t> image(static_cast<size_t>(pages) * 256);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>((i * 7 + i / 256 * 37) & 0xFF);
  for (size_t i = 0; i < 64; ++i) image[i] = 0x20;
  image[0] = image[1] = 0xFF;
  image[21] = 9;
  for (size_t i = 0; i < 6; ++i) image[30 + i] = static_cast<uint8_t>(version[i]);
  for (size_t i = 0; i < 10; ++i) image[36 + i] = static_cast<uint8_t>(date[i]);
  const std::string mark = "DEMO";
  for (size_t i = 0; i < mark.size(); ++i) image[50 + i] = static_cast<uint8_t>(mark[i]);

  std::string text;
  const std::string name = "DEMO";
  text += Record(0, 0, reinterpret_cast<const uint8_t*>(name.data()), name.size());
  for (size_t i = 0; i < image.size(); i += 32)
    text += Record(1, base + static_cast<uint32_t>(i), image.data() + i, 32);
  text += Record(9, 0, nullptr, 0);

  std::FILE* f = std::fopen(argv[1], "wb");
  if (!f) {
    std::perror(argv[1]);
    return 1;
  }
  const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  if (std::fclose(f) != 0 || !ok) {
    std::perror(argv[1]);
    return 1;
  }
  return 0;
}
