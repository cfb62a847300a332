// The firmware file: finding and decoding the Motorola S-record (.mot) file
// that lies beside the executable, its image header, and its division into
// the numbered 256-byte transfer blocks that the terminal receives.
//
// Every refusal is shown through the message presenter by catalogue key and
// reported as false; nothing here throws past the loaders.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

using TStringList = std::vector<std::string>;

// Calendar date at day precision. Zero everywhere until a header is read.
struct TAppliDate {
  int Year = 0;
  int Month = 0;
  int Day = 0;

  // "YYYY-MM-DD".
  std::string ToIso() const;

  friend bool operator==(const TAppliDate& a, const TAppliDate& b) {
    return a.Year == b.Year && a.Month == b.Month && a.Day == b.Day;
  }
  friend bool operator!=(const TAppliDate& a, const TAppliDate& b) { return !(a == b); }
  friend bool operator<(const TAppliDate& a, const TAppliDate& b) {
    if (a.Year != b.Year) return a.Year < b.Year;
    if (a.Month != b.Month) return a.Month < b.Month;
    return a.Day < b.Day;
  }
  friend bool operator>(const TAppliDate& a, const TAppliDate& b) { return b < a; }
  friend bool operator<=(const TAppliDate& a, const TAppliDate& b) { return !(b < a); }
  friend bool operator>=(const TAppliDate& a, const TAppliDate& b) { return !(a < b); }
};

// One page of the image as the terminal receives it.
class TDatasToSend {
 public:
  static constexpr int kEndBlockNumber = 0xFFFF;
  static constexpr int kPageSize = 256;

  // Used false, DataLength 0, every byte of Buffer 0xFF.
  explicit TDatasToSend(int blockNumber);

  // The data of command 0xFF8A: 00 00, BlockNumber (low 16 bits, low byte
  // first), DataLength (likewise), then Buffer[0 .. DataLength-1]; 6 +
  // DataLength bytes. The end block always gives 00 00 FF FF 00 00.
  std::vector<uint8_t> GetTransferBlock() const;

  bool IsEndBlock() const { return BlockNumber == kEndBlockNumber; }

  int BlockNumber;     // page counted from the image's first page, 0xFFFF: end
  int DataLength = 0;  // bytes of Buffer, from its start, that the block sends
  bool Used = false;   // data of the file falls in this page
  std::array<uint8_t, kPageSize> Buffer;
};

// The ordered blocks of an image. Owns them.
class TListDatasToSend {
 public:
  TListDatasToSend() = default;
  TListDatasToSend(const TListDatasToSend&) = delete;
  TListDatasToSend& operator=(const TListDatasToSend&) = delete;

  int Count() const { return static_cast<int>(Items.size()); }
  // 0 <= index < Count().
  TDatasToSend& GetItem(int index) { return *Items.at(static_cast<size_t>(index)); }
  const TDatasToSend& GetItem(int index) const { return *Items.at(static_cast<size_t>(index)); }
  // Appends the block; the list takes it over.
  void Add(std::unique_ptr<TDatasToSend> block);
  // Frees the block at `index`; the following entries move up.
  void Delete(int index);
  void Clear() { Items.clear(); }

 private:
  std::vector<std::unique_ptr<TDatasToSend>> Items;
};

// Splits file bytes into lines: CR LF, LF and CR end a line; a last line
// without line end counts as a line.
TStringList SplitLines(const std::string& bytes);

// The largest firmware file read: the largest image a terminal takes
// (65,535 pages of 256 bytes) as S-records stays well below it.
constexpr uint64_t kMaxMotFileBytes = uint64_t{64} * 1024 * 1024;

// Turns every data record (S1, S2, S3) from line 2 up to the first end record
// (S8 or S9) into a record text "address,count,data" appended to `records`;
// sets `newLayout` when the first record's data begins with "FFFF". S0, S5 and
// S6 records are skipped, S4 and S7 refused. Shows the message and returns
// false, leaving `records` as it was, on the first bad line or when no end
// record comes.
bool DecodeRecords(const TStringList& lines, TStringList& records, bool& newLayout);

// Splits a record text into its three fields. Shows "_Err_Unknown" when it
// does not hold three fields and "_Err_LengthData" when the count is not a
// whole number or is negative.
bool SplitRecord(const std::string& record, std::string& address, int& count, std::string& data);

// Fills the empty list `blocks` from the file's lines: one block per page that
// holds data, numbered from the first record's page, in increasing order,
// then the end block. Each block sends its page from offset 0 through its
// highest byte written (0xFF in the gaps), made even. Refuses, with
// "_FileMotError", overlapping or repeated bytes, data below the first
// record's page and images whose block numbers reach 0xFFFF. The lines are
// checked first, up to the end record; then the records: the first one's
// count and address, the last one's, then the first refusal in file order.
// `firstPage`, when given, receives the first record's address divided by
// 256.
bool BuildBlocks(const TStringList& lines, TListDatasToSend& blocks, bool& newLayout,
                 uint32_t* firstPage = nullptr);

// Reads a whole file of at most kMaxMotFileBytes. On failure returns false
// and sets `error` to a French description (for a larger file, the
// catalogue text of "_Err_FileMotTooBig"); a file whose size the system
// does not give (a device, a pipe) is read no further than the limit.
bool ReadMotFile(const std::string& path, std::string& bytes, std::string& error);

class TMotDecoder;

// The firmware file of the program: loaded once, then read only.
class TObjFileMot {
 public:
  TObjFileMot() = default;
  TObjFileMot(const TObjFileMot&) = delete;
  TObjFileMot& operator=(const TObjFileMot&) = delete;

  // Finds the first "*.mot" entry (extension in any letter case, regular
  // files only, names in sorted order) in the executable's folder and loads it.
  bool Load();
  // The same in `directory`.
  bool Load(const std::string& directory);
  // Loads the given file. It is decoded as it is read, a line at a time:
  // reading stops at its first bad line (or, for a file whose size is
  // known, at the end record). A file above kMaxMotFileBytes is refused
  // with "_Err_FileMotTooBig" (information box): before any read when the
  // system gives its size, otherwise as soon as that many bytes were read.
  // A file that cannot be opened or read is named with
  // "_Err_FileMotNotFound" (information box).
  bool LoadFile(const std::string& path);
  // Decodes file contents already in memory, with the same limit.
  bool LoadText(const std::string& fileBytes);

  int BlockCount = 0;       // blocks in Blocks, the end block included
  int AppliType = 0;        // header byte 21
  std::string VersionName;  // header bytes 30..35, raw (Windows-1252)
  TAppliDate AppliDate;     // header date
  // The first line of the file, the header record, which is not decoded
  // (cut after 514 characters, the longest record line). The other lines are
  // decoded as they are read and not kept: holding every line of a large
  // file took about four times its size.
  TStringList Lines;
  size_t LineCount = 0;     // lines read, up to the end record or a bad line
  TListDatasToSend Blocks;  // the transfer blocks
  bool NewLayout = false;   // the image begins with FF FF: "DD/MM/YYYY" date
  uint32_t FirstPage = 0;   // address of block 0, divided by 256
  std::string FileName;     // path of the file loaded, "" for LoadText

 private:
  void Reset();
  // Runs a load; a conversion error or exhausted memory is reported as a
  // refusal. Clears the blocks of a refused file.
  bool Guarded(const std::function<bool()>& load);
  // The end of the decoding: the blocks and the image header.
  bool Decoded(TMotDecoder& decoder);
};
