// The French message catalogue: key=text lines, sorted without regard to
// letter case, looked up by key. Texts are held in UTF-8.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

// Raised when a line equal (ignoring case) to one already present is added.
class ECatalogueError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The loaded catalogue, lstTextes. Every element is a whole line.
class TTextList {
 public:
  // Inserts at its sorted place; throws ECatalogueError on a duplicate.
  void Add(const std::string& line);
  void Clear() { Lines.clear(); }
  int Count() const { return static_cast<int>(Lines.size()); }
  const std::string& operator[](int i) const { return Lines[static_cast<size_t>(i)]; }
  // The text of the first line (in sorted order) whose key equals `key`
  // ignoring case; "" when there is none.
  std::string GetTexte(const std::string& key) const;

 private:
  std::vector<std::string> Lines;
};

// Splits Windows-1252 bytes into lines (CR LF, lone CR, lone LF; a last line
// only when not empty) and returns them decoded to UTF-8.
std::vector<std::string> SplitCatalogueLines(const std::string& cp1252Bytes);

// Creates lstTextes and fills it from the resource bytes. Throws
// ECatalogueError on a duplicate (the catalogue as shipped has none).
void LoadCatalogue(const std::string& cp1252Bytes);
// Clears and destroys lstTextes.
void ReleaseCatalogue();
bool CatalogueLoaded();

// Text of `key` in lstTextes, ignoring case; "" when missing or not loaded.
std::string GetTexte(const std::string& key);

// Windows-1252 to UTF-8, with the whole 0x80..0x9F table (undefined bytes
// map to U+FFFD).
std::string Cp1252ToUtf8(const std::string& bytes);
// UTF-8 to Windows-1252; characters it cannot hold become '?'.
std::string Utf8ToCp1252(const std::string& text);

// One argument of a Format pattern: "%s" takes a string, "%d" an integer.
struct TFmtArg {
  TFmtArg(const std::string& s) : IsInt(false), Str(s) {}
  TFmtArg(const char* s) : IsInt(false), Str(s) {}
  TFmtArg(long long v) : IsInt(true), Int(v) {}
  TFmtArg(int v) : IsInt(true), Int(v) {}
  bool IsInt;
  std::string Str;
  long long Int = 0;
};

// Fills "%s" and "%d" of `pattern` in order ("%%" gives "%"). A placeholder
// without an argument, or of the wrong kind, is filled as well as it can be
// (a number as text, a text as 0); it never fails.
std::string FormatText(const std::string& pattern, const std::vector<TFmtArg>& args);
