#include "U_DecodeFileMot.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <new>
#include <stdexcept>
#include <system_error>

#include "U_Divers.h"
#include "U_Messages.h"
#include "U_Paths.h"
#include "U_Textes.h"

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
constexpr const char* kKeyTooBig = "_Err_FileMotTooBig";
constexpr const char* kKeyNotReadable = "_Err_FileMotNotFound";

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

// The longest line an S-record can be: mark, type, a count of 255 and the
// 255 bytes that follow it.
constexpr size_t kLongestRecordLine = 4 + 2 * 255;

// A data record of a line that passed the line checks (type 1-3, length
// 4 + 2c).
struct TRecordView {
  const char* Address;
  size_t AddressLength;  // 2 * address bytes; shorter when Count < 0
  int Count;             // data bytes; negative when the count is too small
  const char* Data;      // 2 * Count digits, then the checksum
};

inline bool IsDataType(char t) { return t >= '1' && t <= '3'; }

// Fields of a data record line. The address is cut short, like a substring,
// when the count does not even cover it.
TRecordView ViewOf(const char* line, size_t n) {
  const size_t a = static_cast<size_t>(line[1] - '0') + 1;
  const int c = (HexValue(line[2]) << 4) | HexValue(line[3]);
  TRecordView r;
  r.Address = line + 4;
  r.AddressLength = std::min(2 * a, n - 4);
  r.Count = c - static_cast<int>(a) - 1;
  r.Data = r.Address + r.AddressLength;
  return r;
}

// "address,count,data", the digits as they stand in the file.
std::string RecordText(const TRecordView& r) {
  std::string text(r.Address, r.AddressLength);
  text += ',';
  text += std::to_string(r.Count);
  text += ',';
  if (r.Count > 0) text.append(r.Data, 2 * static_cast<size_t>(r.Count));
  return text;
}

// The refusal of a record's count or address, nullptr when both are sound.
const char* HeadRefusal(const TRecordView& r, uint32_t& address) {
  if (r.Count < 0) return kKeyLengthData;
  if (!ParseHex(r.Address, r.AddressLength, address)) return kKeyFileError;
  return nullptr;
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

struct TRefusal {
  TMsgKind Kind = TMsgKind::Information;
  const char* Key = nullptr;
};

void Show(const TRefusal& r) {
  if (r.Kind == TMsgKind::Plain)
    ShowPlainKey(r.Key);
  else
    ShowInformationKey(r.Key);
}

}  // namespace

// The decoding of a file one line at a time, as it is read: the line checks
// stop at the first bad line, and each data record is placed in its page at
// once, so that only the image is kept, never the lines.
//
// The refusals of the records themselves (count, address, data digits,
// position) are told only once every line up to the end record has passed
// its checks, in this order: the first record's count or address, the last
// record's, then the first refusal met in file order.
class TMotDecoder {
 public:
  // With `records`, makes the record texts (DecodeRecords); without, places
  // the records into pages (BuildBlocks).
  TMotDecoder(bool& newLayout, TStringList* records) : NewLayout(newLayout), Records(records) {}

  // The next line of the file, without its line end. False once the
  // decoding has stopped: at the end record, or at a refused line (its
  // message shown).
  bool Line(const char* p, size_t n);
  bool Stopped() const { return Ended || Refused; }
  bool LineRefused() const { return Refused; }
  // Lines handed in up to the stop.
  size_t LineCount() const { return Lines; }
  // The first line (not decoded), cut to the longest record line.
  const std::string& HeaderLine() const { return Header; }

  // After the last line: shows the refusal, if any; otherwise fills `blocks`
  // (when placing) and gives the first record's page.
  bool Finish(TListDatasToSend* blocks, uint32_t* firstPage);

 private:
  bool RefuseLine(const char* key) {
    ShowInformationKey(key);
    Refused = true;
    return false;
  }
  void Place(const TRecordView& r, bool first);
  void Defer(TMsgKind kind, const char* key);
  TPageWork& PageAt(uint32_t number);

  bool& NewLayout;
  TStringList* Records;
  std::string Header;
  size_t Lines = 0;
  size_t RecordCount = 0;
  bool Ended = false;
  bool Refused = false;

  // Placing.
  uint64_t First = 0;                      // page of the first record
  const char* FirstHeadRefusal = nullptr;  // of the first record
  const char* LastHeadRefusal = nullptr;   // of the latest record
  TRefusal Deferred;                       // first refusal met while placing
  std::vector<std::unique_ptr<TPageWork>> Pages;
};

bool TMotDecoder::Line(const char* p, size_t n) {
  if (Stopped()) return false;
  if (Lines++ == 0) {  // the header record is not read
    Header.assign(p, std::min(n, kLongestRecordLine));
    return true;
  }
  if (n < 2 || p[0] != 'S') return RefuseLine(kKeyFileError);
  const char t = p[1];
  if (t == '8' || t == '9') {
    Ended = true;
    return false;
  }
  // Type 4 has no meaning and type 7 is not taken as an end record.
  if (t < '0' || t > '9' || t == '4' || t == '7') return RefuseLine(kKeyFileError);
  // Characters 3-4, as far as the line reaches.
  uint32_t c = 0;
  if (!ParseHex(p + 2, std::min<size_t>(2, n - 2), c)) return RefuseLine(kKeyFileError);
  if (n != 4 + 2 * static_cast<size_t>(c)) return RefuseLine(kKeyBadData);
  if (!IsDataType(t)) return true;  // S0, S5, S6: nothing to load
  const TRecordView r = ViewOf(p, n);
  const bool first = RecordCount++ == 0;
  if (first && r.Count >= 2 && r.Data[0] == 'F' && r.Data[1] == 'F' && r.Data[2] == 'F' && r.Data[3] == 'F')
    NewLayout = true;
  if (Records)
    Records->push_back(RecordText(r));
  else
    Place(r, first);
  return true;
}

void TMotDecoder::Defer(TMsgKind kind, const char* key) {
  Deferred = TRefusal{kind, key};
  // Nothing more is placed: the pages go now.
  std::vector<std::unique_ptr<TPageWork>>().swap(Pages);
}

TPageWork& TMotDecoder::PageAt(uint32_t number) {
  if (number >= Pages.size())
    Pages.resize(std::max<size_t>(number + 1, std::min<size_t>(2 * Pages.size(), kMaxBlockNumber + 1)));
  if (!Pages[number]) Pages[number].reset(new TPageWork(static_cast<int>(number)));
  return *Pages[number];
}

void TMotDecoder::Place(const TRecordView& r, bool first) {
  uint32_t address = 0;
  const char* head = HeadRefusal(r, address);
  LastHeadRefusal = head;
  if (first) FirstHeadRefusal = head;
  if (Deferred.Key) return;
  if (head) return Defer(TMsgKind::Information, head);
  if (first) First = address >> 8;
  // Data and checksum digits.
  if (!AllHex(r.Data, 2 * static_cast<size_t>(r.Count) + 2))
    return Defer(TMsgKind::Information, kKeyFileError);
  const uint64_t start = address;
  const uint64_t page = start >> 8;
  const uint64_t lastPage = r.Count > 0 ? (start + static_cast<uint64_t>(r.Count) - 1) >> 8 : page;
  if (page < First || lastPage - First > kMaxBlockNumber) return Defer(TMsgKind::Plain, kKeyMotError);
  int offset = static_cast<int>(start & 0xFF);
  TPageWork* work = &PageAt(static_cast<uint32_t>(page - First));
  work->Block->Used = true;
  const char* digits = r.Data;
  int left = r.Count;
  while (left > 0) {
    const int chunk = std::min(left, TDatasToSend::kPageSize - offset);
    if (!MarkWritten(*work, offset, offset + chunk)) return Defer(TMsgKind::Plain, kKeyMotError);
    uint8_t* out = work->Block->Buffer.data() + offset;
    for (int k = 0; k < chunk; ++k, digits += 2)
      out[k] = static_cast<uint8_t>((HexValue(digits[0]) << 4) | HexValue(digits[1]));
    work->Highest = std::max(work->Highest, offset + chunk - 1);
    left -= chunk;
    if (left > 0) {
      // Runs over into the next page.
      work = &PageAt(static_cast<uint32_t>(page - First + 1));
      work->Block->Used = true;
      offset = 0;
    }
  }
}

bool TMotDecoder::Finish(TListDatasToSend* blocks, uint32_t* firstPage) {
  if (Refused) return false;
  if (!Ended) {
    ShowInformationKey(Lines == 0 ? kKeyEmpty : kKeyFileError);
    return false;
  }
  if (Records) return true;
  if (RecordCount == 0) {
    ShowInformationKey(kKeyUnknown);
    return false;
  }
  // The first and the last record are checked before the others.
  if (FirstHeadRefusal || LastHeadRefusal) {
    ShowInformationKey(FirstHeadRefusal ? FirstHeadRefusal : LastHeadRefusal);
    return false;
  }
  if (Deferred.Key) {
    Show(Deferred);
    return false;
  }
  for (auto& work : Pages) {
    if (!work) continue;
    TDatasToSend& b = *work->Block;
    b.DataLength = work->Highest + 1;
    if (b.DataLength % 2 != 0) b.Buffer[static_cast<size_t>(b.DataLength++)] = 0xFF;
    if (blocks) blocks->Add(std::move(work->Block));
  }
  std::vector<std::unique_ptr<TPageWork>>().swap(Pages);
  if (blocks) blocks->Add(std::unique_ptr<TDatasToSend>(new TDatasToSend(TDatasToSend::kEndBlockNumber)));
  if (firstPage) *firstPage = static_cast<uint32_t>(First);
  return true;
}

namespace {

// Cuts bytes into lines as they arrive, in chunks of any size (CR LF, LF
// and CR end a line; a CR LF may be split between two chunks) and hands
// each line to the decoder. A line cut by the end of a chunk is kept up to
// one character more than the longest record line: the decoder refuses
// such a line as it refuses any longer one.
class TLineFeeder {
 public:
  explicit TLineFeeder(TMotDecoder& decoder) : Decoder(decoder) {}
  // False once the decoder has stopped.
  bool Feed(const char* p, size_t n);
  // The end of the file: a last line without line end counts as a line.
  void End();

 private:
  void Keep(const char* p, size_t n) {
    HavePending = true;
    Pending.append(p, std::min(n, kLongestRecordLine + 1 - Pending.size()));
  }
  void HandPending() {
    Decoder.Line(Pending.data(), Pending.size());
    Pending.clear();
    HavePending = false;
  }

  TMotDecoder& Decoder;
  std::string Pending;       // the start of the line under way
  bool HavePending = false;  // characters came since the last line end
  bool AfterCr = false;      // the last chunk ended with CR
};

bool TLineFeeder::Feed(const char* p, size_t n) {
  const char* const end = p + n;
  if (AfterCr && p < end) {
    AfterCr = false;
    if (*p == '\n') ++p;
  }
  while (p < end && !Decoder.Stopped()) {
    const char* q = p;
    while (q < end && *q != '\r' && *q != '\n') ++q;
    if (q == end) {
      Keep(p, static_cast<size_t>(q - p));
      break;
    }
    if (HavePending) {
      Keep(p, static_cast<size_t>(q - p));
      HandPending();
    } else {
      Decoder.Line(p, static_cast<size_t>(q - p));
    }
    if (*q++ == '\r') {
      if (q == end)
        AfterCr = true;
      else if (*q == '\n')
        ++q;
    }
    p = q;
  }
  return !Decoder.Stopped();
}

void TLineFeeder::End() {
  if (HavePending && !Decoder.Stopped()) HandPending();
  AfterCr = false;
}

// A firmware file that cannot be opened or read (missing, not a file,
// without the right to read it, a read error) is named to the technician.
void ShowNotReadable(const std::string& path) {
  ShowInformation(FormatText(GetTexte(kKeyNotReadable), {path}), kKeyNotReadable);
}

// The text of the refusal of an oversized file.
std::string TooBigText() {
  const std::string text = GetTexte(kKeyTooBig);
  return text.empty() ? std::string(kKeyTooBig) : text;
}

// A firmware file open for reading, with its size when the system gives it
// (a regular file) so that an oversized one is refused before any read.
class TMotFileReader {
 public:
  ~TMotFileReader() {
    if (F) std::fclose(F);
  }
  bool Open(const std::string& path, std::string& error) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path name = PathFromUtf8(path);
    const fs::file_status st = fs::status(name, ec);
    if (!ec && fs::is_directory(st)) {
      error = "Impossible d'ouvrir le fichier \"" + path + "\".";
      return false;
    }
    F = OpenFileUtf8(path, "rb");
    if (!F) {
      error = "Impossible d'ouvrir le fichier \"" + path + "\".";
      return false;
    }
    if (!ec && fs::is_regular_file(st)) {
      const uintmax_t size = fs::file_size(name, ec);
      if (!ec) {
        SizeKnown = true;
        Size = size;
      }
    }
    return true;
  }
  bool TooBig() const { return SizeKnown && Size > kMaxMotFileBytes; }
  size_t Read(char* buf, size_t n) { return std::fread(buf, 1, n, F); }
  bool Failed() const { return std::ferror(F) != 0; }

  bool SizeKnown = false;
  uint64_t Size = 0;

 private:
  std::FILE* F = nullptr;
};

constexpr size_t kReadChunk = size_t{1} << 16;

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
  const size_t before = records.size();
  TMotDecoder decoder(newLayout, &records);
  for (const std::string& line : lines)
    if (!decoder.Line(line.data(), line.size())) break;
  if (decoder.Finish(nullptr, nullptr)) return true;
  records.resize(before);
  return false;
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
  TMotDecoder decoder(newLayout, nullptr);
  for (const std::string& line : lines)
    if (!decoder.Line(line.data(), line.size())) break;
  return decoder.Finish(&blocks, firstPage);
}

// ---------------------------------------------------------------------------

bool ReadMotFile(const std::string& path, std::string& bytes, std::string& error) {
  bytes.clear();
  TMotFileReader in;
  if (!in.Open(path, error)) return false;
  if (in.TooBig()) {
    error = TooBigText();
    return false;
  }
  bool ok = true;
  try {
    if (in.SizeKnown) bytes.reserve(static_cast<size_t>(in.Size));
    std::vector<char> buf(kReadChunk);
    size_t got;
    while (ok && (got = in.Read(buf.data(), buf.size())) > 0) {
      if (bytes.size() + got > kMaxMotFileBytes) {
        bytes.clear();
        error = TooBigText();
        return false;
      }
      bytes.append(buf.data(), got);
    }
    ok = !in.Failed();
  } catch (const std::bad_alloc&) {
    ok = false;
  }
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
  LineCount = 0;
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
  for (fs::directory_iterator it(PathFromUtf8(directory), ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = Utf8FromPath(it->path().filename());
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
  return LoadFile(Utf8FromPath(PathFromUtf8(directory) / PathFromUtf8(names.front())));
}

bool TObjFileMot::LoadFile(const std::string& path) {
  Reset();
  TMotFileReader in;
  std::string error;
  if (!in.Open(path, error)) {
    ShowNotReadable(path);
    return false;
  }
  FileName = path;
  if (in.TooBig()) {
    ShowInformationKey(kKeyTooBig);
    return false;
  }
  return Guarded([&] {
    TMotDecoder decoder(NewLayout, nullptr);
    TLineFeeder feeder(decoder);
    std::vector<char> buf(kReadChunk);
    uint64_t total = 0;
    size_t got;
    while ((got = in.Read(buf.data(), buf.size())) > 0) {
      // Counted as read: the system does not give the size of every file
      // (a device, a pipe), and a file may grow while it is read.
      total += got;
      if (total > kMaxMotFileBytes) {
        ShowInformationKey(kKeyTooBig);
        return false;
      }
      // Past the end record, a file of unknown size is still read to its
      // end, only to be counted: a file above the limit is refused
      // whatever it holds.
      if (!feeder.Feed(buf.data(), got) && (decoder.LineRefused() || in.SizeKnown)) break;
    }
    if (!decoder.LineRefused() && in.Failed()) {
      ShowNotReadable(path);
      return false;
    }
    feeder.End();
    return Decoded(decoder);
  });
}

bool TObjFileMot::LoadText(const std::string& fileBytes) {
  Reset();
  if (fileBytes.size() > kMaxMotFileBytes) {
    ShowInformationKey(kKeyTooBig);
    return false;
  }
  return Guarded([&] {
    TMotDecoder decoder(NewLayout, nullptr);
    TLineFeeder feeder(decoder);
    feeder.Feed(fileBytes.data(), fileBytes.size());
    feeder.End();
    return Decoded(decoder);
  });
}

bool TObjFileMot::Guarded(const std::function<bool()>& load) {
  try {
    if (load()) return true;
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

bool TObjFileMot::Decoded(TMotDecoder& decoder) {
  LineCount = decoder.LineCount();
  if (LineCount > 0) Lines.assign(1, decoder.HeaderLine());
  if (!decoder.Finish(&Blocks, &FirstPage)) return false;
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
