#include "U_Textes.h"

#include <memory>

namespace {

// U+0080..U+009F of Windows-1252; 0 marks the five undefined bytes.
const unsigned short kCp1252High[32] = {0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                        0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
                                        0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                        0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

void AppendUtf8(std::string& out, unsigned cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Decodes one UTF-8 sequence at s[i]; advances i. Bad bytes give U+FFFD.
unsigned NextCodePoint(const std::string& s, size_t& i) {
  const auto b = static_cast<unsigned char>(s[i]);
  int extra = 0;
  unsigned cp = b;
  if (b < 0x80) {
    ++i;
    return b;
  } else if ((b & 0xE0) == 0xC0) {
    extra = 1;
    cp = b & 0x1F;
  } else if ((b & 0xF0) == 0xE0) {
    extra = 2;
    cp = b & 0x0F;
  } else if ((b & 0xF8) == 0xF0) {
    extra = 3;
    cp = b & 0x07;
  } else {
    ++i;
    return 0xFFFD;
  }
  if (i + static_cast<size_t>(extra) >= s.size()) {
    i = s.size();
    return 0xFFFD;
  }
  for (int k = 1; k <= extra; ++k) {
    const auto c = static_cast<unsigned char>(s[i + static_cast<size_t>(k)]);
    if ((c & 0xC0) != 0x80) {
      i += static_cast<size_t>(k);
      return 0xFFFD;
    }
    cp = (cp << 6) | (c & 0x3F);
  }
  i += static_cast<size_t>(extra) + 1;
  return cp;
}

// Lower-case fold of one code point, for the letters the catalogue can hold.
unsigned FoldCase(unsigned cp) {
  if (cp >= 'A' && cp <= 'Z') return cp + 32;
  if (cp >= 0xC0 && cp <= 0xDE && cp != 0xD7) return cp + 32;
  if (cp == 0x0160 || cp == 0x0152 || cp == 0x017D) return cp + 1;
  if (cp == 0x0178) return 0xFF;
  return cp;
}

std::u32string Folded(const std::string& utf8) {
  std::u32string out;
  out.reserve(utf8.size());
  size_t i = 0;
  while (i < utf8.size()) out += static_cast<char32_t>(FoldCase(NextCodePoint(utf8, i)));
  return out;
}

// Case-insensitive comparison of whole lines: <0, 0, >0.
int CompareText(const std::string& a, const std::string& b) {
  const std::u32string fa = Folded(a), fb = Folded(b);
  return fa.compare(fb);
}

std::unique_ptr<TTextList> lstTextes;

}  // namespace

std::string Cp1252ToUtf8(const std::string& bytes) {
  std::string out;
  out.reserve(bytes.size() + bytes.size() / 8);
  for (char ch : bytes) {
    const auto b = static_cast<unsigned char>(ch);
    unsigned cp = b;
    if (b >= 0x80 && b <= 0x9F) {
      cp = kCp1252High[b - 0x80];
      if (cp == 0) cp = 0xFFFD;
    }
    AppendUtf8(out, cp);
  }
  return out;
}

std::string Utf8ToCp1252(const std::string& text) {
  std::string out;
  size_t i = 0;
  while (i < text.size()) {
    const unsigned cp = NextCodePoint(text, i);
    if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) {
      out += static_cast<char>(cp);
      continue;
    }
    char mapped = '?';
    for (int k = 0; k < 32; ++k) {
      if (kCp1252High[k] != 0 && kCp1252High[k] == cp) {
        mapped = static_cast<char>(0x80 + k);
        break;
      }
    }
    out += mapped;
  }
  return out;
}

void TTextList::Add(const std::string& line) {
  const std::u32string key = Folded(line);
  size_t lo = 0, hi = Lines.size();
  while (lo < hi) {
    const size_t mid = (lo + hi) / 2;
    if (Folded(Lines[mid]) < key)
      lo = mid + 1;
    else
      hi = mid;
  }
  if (lo < Lines.size() && CompareText(Lines[lo], line) == 0)
    throw ECatalogueError("Doublons non autorisés dans la liste : " + line);
  Lines.insert(Lines.begin() + static_cast<std::ptrdiff_t>(lo), line);
}

std::string TTextList::GetTexte(const std::string& key) const {
  const std::u32string wanted = Folded(key);
  for (const std::string& line : Lines) {
    const size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    if (Folded(line.substr(0, eq)) == wanted) return line.substr(key.size() + 1);
  }
  return std::string();
}

std::vector<std::string> SplitCatalogueLines(const std::string& bytes) {
  std::vector<std::string> lines;
  std::string cur;
  for (size_t i = 0; i < bytes.size(); ++i) {
    const char c = bytes[i];
    if (c == '\r' || c == '\n') {
      lines.push_back(Cp1252ToUtf8(cur));
      cur.clear();
      if (c == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') ++i;
    } else {
      cur += c;
    }
  }
  if (!cur.empty()) lines.push_back(Cp1252ToUtf8(cur));
  return lines;
}

void LoadCatalogue(const std::string& cp1252Bytes) {
  auto list = std::make_unique<TTextList>();
  for (const std::string& line : SplitCatalogueLines(cp1252Bytes)) list->Add(line);
  lstTextes = std::move(list);
}

void ReleaseCatalogue() {
  if (lstTextes) lstTextes->Clear();
  lstTextes.reset();
}

bool CatalogueLoaded() { return lstTextes != nullptr; }

std::string GetTexte(const std::string& key) { return lstTextes ? lstTextes->GetTexte(key) : std::string(); }

std::string FormatText(const std::string& pattern, const std::vector<TFmtArg>& args) {
  std::string out;
  size_t next = 0;
  for (size_t i = 0; i < pattern.size(); ++i) {
    const char c = pattern[i];
    if (c != '%' || i + 1 >= pattern.size()) {
      out += c;
      continue;
    }
    const char f = pattern[i + 1];
    if (f == '%') {
      out += '%';
      ++i;
    } else if (f == 's' || f == 'd') {
      ++i;
      if (next < args.size()) {
        const TFmtArg& a = args[next++];
        if (f == 's')
          out += a.IsInt ? std::to_string(a.Int) : a.Str;
        else
          out += a.IsInt ? std::to_string(a.Int) : std::string("0");
      }
    } else {
      out += c;
    }
  }
  return out;
}
