#include "U_DecodeFileMot.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <new>
#include <stdexcept>
#include <system_error>

#include "U_Divers.h"
#include "U_Messages.h"
#include "U_Paths.h"

namespace {

// Catalogue keys of this module.
constexpr const char* kKeyNoFile = "_FileMotNoFile";
constexpr const char* kKeyEmpty = "_Err_FileEmpty";
constexpr const char* kKeyFileError = "_Err_FileError";
constexpr const char* kKeyBadData = "_ErrBadData";
constexpr const char* kKeyMotError = "_FileMotError";
constexpr const char* kKeyAppliDiff = "_AppliDiff";
constexpr const char* kKeyBadDate = "_BadDateAppliMot";
constexpr const char* kKeyUnknown = "_Err_Unknown";
constexpr const char* kKeyLengthData = "_Err_LengthData";

// Header offsets in block 0.
constexpr int kHeaderAppliType = 21;
constexpr int kHeaderVersionName = 30;
constexpr int kVersionNameLength = 6;
constexpr int kHeaderDate = 36;

// Highest block number a page may take: 0xFFFF is the end block.
constexpr uint32_t kMaxBlockNumber = TDatasToSend::kEndBlockNumber - 1;

// Value of a hexadecimal digit ("0"-"9", "A"-"F"), -1 for anything else.
struct THexTable {
  int8_t Value[256];
  constexpr THexTable() : Value() {
    for (int i = 0; i < 256; ++i) Value[i] = -1;
    for (int i = 0; i < 10; ++i) Value['0' + i] = static_cast<int8_t>(i);
    for (int i = 0; i < 6; ++i) Value['A' + i] = static_cast<int8_t>(10 + i);
  }
};
constexpr THexTable kHex;

inline int HexValue(char c) { return kHex.Value[static_cast<unsigned char>(c)]; }

// Reads `len` hexadecimal digits at `p`; false on any other character.
inline bool ParseHex(const char* p, size_t len, uint32_t& value) {
  uint32_t v = 0;
  for (size_t i = 0; i < len; ++i) {
    const int d = HexValue(p[i]);
    if (d < 0) return false;
    v = (v << 4) | static_cast<uint32_t>(d);
  }
  value = v;
  return true;
}

inline bool AllHex(const char* p, size_t len) {
  for (size_t i = 0; i < len; ++i)
    if (HexValue(p[i]) < 0) return false;
  return true;
}

// A data record of a line already checked by ScanRecords.
struct TRecordView {
  const char* Address;
  size_t AddressLength;  // 2 * address bytes; shorter when Count < 0
  int Count;             // data bytes; negative when the count is too small
  const char* Data;      // 2 * Count digits, then the checksum
};

// Result of the line scan.
struct TScan {
  size_t EndLine = 0;      // index of the end record
  size_t RecordCount = 0;  // data records before it
  size_t FirstRecord = 0;  // line index of the first data record
  size_t LastRecord = 0;   // line index of the last one
};

inline bool IsDataType(char t) { return t >= '1' && t <= '3'; }

// Fields of a data record line that passed the scan (type 1-3, length
// 4 + 2c). The address is cut short, like a substring, when the count does
// not even cover it.
TRecordView ViewOf(const std::string& line) {
  const size_t a = static_cast<size_t>(line[1] - '0') + 1;
  const int c = (HexValue(line[2]) << 4) | HexValue(line[3]);
  TRecordView r;
  r.Address = line.data() + 4;
  r.AddressLength = std::min(2 * a, line.size() - 4);
  r.Count = c - static_cast<int>(a) - 1;
  r.Data = r.Address + r.AddressLength;
  return r;
}

// Checks every line from the second up to the first end record. Shows the
// message of the first bad line.
bool ScanRecords(const TStringList& lines, TScan& scan, bool& newLayout) {
  if (lines.empty()) {
    ShowInformationKey(kKeyEmpty);
    return false;
  }
  for (size_t i = 1; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    if (line.size() < 2 || line[0] != 'S') {
      ShowInformationKey(kKeyFileError);
      return false;
    }
    const char t = line[1];
    if (t == '8' || t == '9') {
      scan.EndLine = i;
      return true;
    }
    // Type 4 has no meaning and type 7 is not taken as an end record.
    if (t < '0' || t > '9' || t == '4' || t == '7') {
      ShowInformationKey(kKeyFileError);
      return false;
    }
    // Characters 3-4, as far as the line reaches.
    const size_t countDigits = std::min<size_t>(2, line.size() - 2);
    uint32_t c = 0;
    if (!ParseHex(line.data() + 2, countDigits, c)) {
      ShowInformationKey(kKeyFileError);
      return false;
    }
    if (line.size() != 4 + 2 * static_cast<size_t>(c)) {
      ShowInformationKey(kKeyBadData);
      return false;
    }
    if (!IsDataType(t)) continue;  // S0, S5, S6: nothing to load
    if (scan.RecordCount == 0) {
      scan.FirstRecord = i;
      const TRecordView r = ViewOf(line);
      if (r.Count >= 2 && r.Data[0] == 'F' && r.Data[1] == 'F' && r.Data[2] == 'F' && r.Data[3] == 'F')
        newLayout = true;
    }
    scan.LastRecord = i;
    ++scan.RecordCount;
  }
  ShowInformationKey(kKeyFileError);
  return false;
}

// Checks the count and address of a record; shows the message on failure.
bool CheckRecordHead(const TRecordView& r, uint32_t& address) {
  if (r.Count < 0) {
    ShowInformationKey(kKeyLengthData);
    return false;
  }
  if (!ParseHex(r.Address, r.AddressLength, address)) {
    ShowInformationKey(kKeyFileError);
    return false;
  }
  return true;
}

// A page while the blocks are built.
struct TPageWork {
  explicit TPageWork(int number) : Block(new TDatasToSend(number)) {}
  std::unique_ptr<TDatasToSend> Block;
  uint64_t Written[4] = {0, 0, 0, 0};  // one bit per offset
  int Highest = -1;                    // highest offset written
};

// Marks offsets [lo, hi) of the page as written; false when one of them
// already was.
bool MarkWritten(TPageWork& page, int lo, int hi) {
  for (int w = lo >> 6; w <= (hi - 1) >> 6; ++w) {
    const int from = std::max(lo, w * 64) - w * 64;
    const int to = std::min(hi, w * 64 + 64) - w * 64;
    const uint64_t mask = (to - from == 64) ? ~0ull : (((1ull << (to - from)) - 1) << from);
    if (page.Written[w] & mask) return false;
    page.Written[w] |= mask;
  }
  return true;
}

std::string Lower(std::string s) {
  for (char& ch : s) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  return s;
}

}  // namespace

// ---------------------------------------------------------------------------

std::string TAppliDate::ToIso() const {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", Year, Month, Day);
  return buf;
}

TDatasToSend::TDatasToSend(int blockNumber) : BlockNumber(blockNumber) { Buffer.fill(0xFF); }

std::vector<uint8_t> TDatasToSend::GetTransferBlock() const {
  if (IsEndBlock()) return {0x00, 0x00, 0xFF, 0xFF, 0x00, 0x00};
  const int n = std::clamp(DataLength, 0, kPageSize);
  std::vector<uint8_t> out;
  out.reserve(6 + static_cast<size_t>(n));
  out.push_back(0x00);
  out.push_back(0x00);
  out.push_back(static_cast<uint8_t>(BlockNumber & 0xFF));
  out.push_back(static_cast<uint8_t>((BlockNumber >> 8) & 0xFF));
  out.push_back(static_cast<uint8_t>(n & 0xFF));
  out.push_back(static_cast<uint8_t>((n >> 8) & 0xFF));
  out.insert(out.end(), Buffer.begin(), Buffer.begin() + n);
  return out;
}

void TListDatasToSend::Add(std::unique_ptr<TDatasToSend> block) {
  if (block) Items.push_back(std::move(block));
}

void TListDatasToSend::Delete(int index) {
  if (index < 0 || index >= Count()) throw std::out_of_range("TListDatasToSend::Delete");
  Items.erase(Items.begin() + index);
}

// ---------------------------------------------------------------------------

TStringList SplitLines(const std::string& bytes) {
  TStringList lines;
  const char* p = bytes.data();
  const char* const end = p + bytes.size();
  while (p < end) {
    const char* q = p;
    while (q < end && *q != '\r' && *q != '\n') ++q;
    lines.emplace_back(p, q);
    if (q < end && *q++ == '\r' && q < end && *q == '\n') ++q;
    p = q;
  }
  return lines;
}

bool DecodeRecords(const TStringList& lines, TStringList& records, bool& newLayout) {
  TScan scan;
  if (!ScanRecords(lines, scan, newLayout)) return false;
  records.reserve(records.size() + scan.RecordCount);
  for (size_t i = 1; i < scan.EndLine; ++i) {
    if (!IsDataType(lines[i][1])) continue;
    const TRecordView r = ViewOf(lines[i]);
    std::string text(r.Address, r.AddressLength);
    text += ',';
    text += std::to_string(r.Count);
    text += ',';
    if (r.Count > 0) text.append(r.Data, 2 * static_cast<size_t>(r.Count));
    records.push_back(std::move(text));
  }
  return true;
}

bool SplitRecord(const std::string& record, std::string& address, int& count, std::string& data) {
  const size_t c1 = record.find(',');
  const size_t c2 = c1 == std::string::npos ? std::string::npos : record.find(',', c1 + 1);
  if (c2 == std::string::npos || record.find(',', c2 + 1) != std::string::npos) {
    ShowInformationKey(kKeyUnknown);
    return false;
  }
  const int n = StrToIntDef(record.substr(c1 + 1, c2 - c1 - 1), -1);
  if (n < 0) {
    ShowInformationKey(kKeyLengthData);
    return false;
  }
  address = record.substr(0, c1);
  count = n;
  data = record.substr(c2 + 1);
  return true;
}

bool BuildBlocks(const TStringList& lines, TListDatasToSend& blocks, bool& newLayout, uint32_t* firstPage) {
  blocks.Clear();
  TScan scan;
  if (!ScanRecords(lines, scan, newLayout)) return false;
  if (scan.RecordCount == 0) {
    ShowInformationKey(kKeyUnknown);
    return false;
  }

  // The first record's page numbers the blocks; the last record is checked
  // before any byte is placed.
  uint32_t address = 0;
  if (!CheckRecordHead(ViewOf(lines[scan.FirstRecord]), address)) return false;
  const uint64_t first = address >> 8;
  if (!CheckRecordHead(ViewOf(lines[scan.LastRecord]), address)) return false;

  std::vector<std::unique_ptr<TPageWork>> pages;
  auto pageAt = [&pages](uint32_t number) -> TPageWork& {
    if (number >= pages.size())
      pages.resize(std::max<size_t>(number + 1, std::min<size_t>(2 * pages.size(), kMaxBlockNumber + 1)));
    if (!pages[number]) pages[number].reset(new TPageWork(static_cast<int>(number)));
    return *pages[number];
  };

  for (size_t i = scan.FirstRecord; i <= scan.LastRecord; ++i) {
    const std::string& line = lines[i];
    if (!IsDataType(line[1])) continue;
    const TRecordView r = ViewOf(line);
    if (!CheckRecordHead(r, address)) return false;
    // Data and checksum digits.
    if (!AllHex(r.Data, 2 * static_cast<size_t>(r.Count) + 2)) {
      ShowInformationKey(kKeyFileError);
      return false;
    }
    const uint64_t start = address;
    const uint64_t page = start >> 8;
    const uint64_t lastPage = r.Count > 0 ? (start + static_cast<uint64_t>(r.Count) - 1) >> 8 : page;
    if (page < first || lastPage - first > kMaxBlockNumber) {
      ShowPlainKey(kKeyMotError);
      return false;
    }
    int offset = static_cast<int>(start & 0xFF);
    TPageWork* work = &pageAt(static_cast<uint32_t>(page - first));
    work->Block->Used = true;
    const char* digits = r.Data;
    int left = r.Count;
    while (left > 0) {
      const int chunk = std::min(left, TDatasToSend::kPageSize - offset);
      if (!MarkWritten(*work, offset, offset + chunk)) {
        ShowPlainKey(kKeyMotError);
        return false;
      }
      uint8_t* out = work->Block->Buffer.data() + offset;
      for (int k = 0; k < chunk; ++k, digits += 2)
        out[k] = static_cast<uint8_t>((HexValue(digits[0]) << 4) | HexValue(digits[1]));
      work->Highest = std::max(work->Highest, offset + chunk - 1);
      left -= chunk;
      if (left > 0) {
        // Runs over into the next page.
        work = &pageAt(static_cast<uint32_t>(page - first + 1));
        work->Block->Used = true;
        offset = 0;
      }
    }
  }

  for (auto& work : pages) {
    if (!work) continue;
    TDatasToSend& b = *work->Block;
    b.DataLength = work->Highest + 1;
    if (b.DataLength % 2 != 0) b.Buffer[static_cast<size_t>(b.DataLength++)] = 0xFF;
    blocks.Add(std::move(work->Block));
  }
  blocks.Add(std::unique_ptr<TDatasToSend>(new TDatasToSend(TDatasToSend::kEndBlockNumber)));
  if (firstPage) *firstPage = static_cast<uint32_t>(first);
  return true;
}

// ---------------------------------------------------------------------------

bool ReadMotFile(const std::string& path, std::string& bytes, std::string& error) {
  bytes.clear();
  const std::string failure = "Impossible d'ouvrir le fichier \"" + path + "\".";
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) {
    error = failure;
    return false;
  }
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) {
    error = failure;
    return false;
  }
  char buf[1 << 16];
  size_t got;
  bool ok = true;
  try {
    while ((got = std::fread(buf, 1, sizeof buf, f)) > 0) bytes.append(buf, got);
    ok = !std::ferror(f);
  } catch (const std::bad_alloc&) {
    ok = false;
  }
  std::fclose(f);
  if (!ok) {
    bytes.clear();
    error = "Impossible de lire le fichier \"" + path + "\".";
  }
  return ok;
}

void TObjFileMot::Reset() {
  BlockCount = 0;
  AppliType = 0;
  VersionName.clear();
  AppliDate = TAppliDate();
  Lines.clear();
  Blocks.Clear();
  NewLayout = false;
  FirstPage = 0;
  FileName.clear();
}

bool TObjFileMot::Load() { return Load(ExecutableDir()); }

bool TObjFileMot::Load(const std::string& directory) {
  namespace fs = std::filesystem;
  std::vector<std::string> names;
  std::error_code ec;
  for (fs::directory_iterator it(directory, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.size() < 4) continue;
    if (Lower(name.substr(name.size() - 4)) != ".mot") continue;
    std::error_code fe;
    if (!it->is_regular_file(fe)) continue;  // a folder cannot be loaded
    names.push_back(name);
  }
  if (names.empty()) {
    Reset();
    ShowPlainKey(kKeyNoFile);
    return false;
  }
  // The platform's order is not stable; the first name in letter order
  // (case ignored) is taken, the same on every run.
  std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
    const std::string la = Lower(a), lb = Lower(b);
    return la != lb ? la < lb : a < b;
  });
  return LoadFile((fs::path(directory) / names.front()).string());
}

bool TObjFileMot::LoadFile(const std::string& path) {
  std::string bytes, error;
  if (!ReadMotFile(path, bytes, error)) {
    Reset();
    ShowErrorReport(error);
    return false;
  }
  const bool ok = LoadText(bytes);
  FileName = path;
  return ok;
}

bool TObjFileMot::LoadText(const std::string& fileBytes) {
  Reset();
  try {
    Lines = SplitLines(fileBytes);
    return LoadLines();
  } catch (const EConvertError&) {
    ShowInformationKey(kKeyFileError);
  } catch (const std::bad_alloc&) {
    ShowErrorReport("Mémoire insuffisante pour lire le fichier firmware.");
  } catch (const std::exception& e) {
    ShowErrorReport(e.what());
  }
  Blocks.Clear();
  return false;
}

bool TObjFileMot::LoadLines() {
  if (!BuildBlocks(Lines, Blocks, NewLayout, &FirstPage)) return false;
  BlockCount = Blocks.Count();
  if (BlockCount == 0) {
    ShowPlainKey(kKeyMotError);
    return false;
  }
  const auto& buf = Blocks.GetItem(0).Buffer;
  AppliType = buf[kHeaderAppliType];
  if (AppliType != 9) {
    ShowPlainKey(kKeyAppliDiff);
    return false;
  }
  VersionName.assign(reinterpret_cast<const char*>(buf.data()) + kHeaderVersionName, kVersionNameLength);
  const std::string date(reinterpret_cast<const char*>(buf.data()) + kHeaderDate, 11);
  int year, month, day;
  if (NewLayout) {  // "DD/MM/YYYY"
    day = StrToIntDef(date.substr(0, 2), -1);
    month = StrToIntDef(date.substr(3, 2), -1);
    year = StrToIntDef(date.substr(6, 4), -1);
  } else {  // "Mmm DD YYYY"
    month = MonthNumber(date.substr(0, 3));
    day = StrToIntDef(date.substr(4, 2), -1);
    year = StrToIntDef(date.substr(7, 4), -1);
  }
  if (!IsValidDate(year, month, day)) {
    ShowPlainKey(kKeyBadDate);
    return false;
  }
  AppliDate = TAppliDate{year, month, day};
  return true;
}
