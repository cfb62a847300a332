#include "U_Divers.h"

#include <cstdint>
#include <limits>

int HexDigitValue(const std::string& ch) {
  if (ch.size() == 1 && ch[0] >= 'A' && ch[0] <= 'F') return ch[0] - 'A' + 10;
  if (ch.size() == 1 && ch[0] >= '0' && ch[0] <= '9') return ch[0] - '0';
  throw EConvertError("'" + ch + "' n'est pas une valeur entière correcte");
}

int HexToInt(const std::string& s) {
  uint32_t v = 0;
  for (char c : s) {
    int d;
    if (c >= '0' && c <= '9')
      d = c - '0';
    else if (c >= 'A' && c <= 'F')
      d = c - 'A' + 10;
    else
      d = HexDigitValue(std::string(1, c));  // raises
    v = v * 16u + static_cast<uint32_t>(d);
  }
  return static_cast<int32_t>(v);
}

int MonthNumber(const std::string& s) {
  static const char* const kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  for (int i = 0; i < 12; ++i)
    if (s == kMonths[i]) return i + 1;
  return 255;
}

int StrToIntDef(const std::string& s, int def) {
  size_t i = 0;
  while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
  bool neg = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
    neg = s[i] == '-';
    ++i;
  }
  if (i >= s.size()) return def;
  long long v = 0;
  for (; i < s.size(); ++i) {
    if (s[i] < '0' || s[i] > '9') return def;
    v = v * 10 + (s[i] - '0');
    if (v > static_cast<long long>(std::numeric_limits<int>::max()) + 1) return def;
  }
  if (neg) v = -v;
  if (v > std::numeric_limits<int>::max() || v < std::numeric_limits<int>::min()) return def;
  return static_cast<int>(v);
}

bool IsValidDate(int year, int month, int day) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1) return false;
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  int dim = kDays[month - 1];
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (month == 2 && leap) dim = 29;
  return day <= dim;
}
