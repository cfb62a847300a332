// Text conversions shared by the program.
#pragma once

#include <stdexcept>
#include <string>

// Raised by a conversion of a text that is not a number.
class EConvertError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// "A".."F" give 10..15, "0".."9" give 0..9; any other text (lower-case
// letters included) raises EConvertError.
int HexDigitValue(const std::string& ch);
// value = value * 16 + HexDigitValue(c) for each character; "" gives 0.
// Raises EConvertError on a character that is not a hexadecimal digit.
// The result wraps like a signed 32-bit integer.
int HexToInt(const std::string& s);
// "Jan" 1 .. "Dec" 12, exact case; anything else 255.
int MonthNumber(const std::string& s);
// A whole decimal number, leading blanks and a sign allowed; any other text
// (or one out of the 32-bit range) gives `def`.
int StrToIntDef(const std::string& s, int def);
// A calendar date check: year 1..9999, month 1..12, day within the month.
bool IsValidDate(int year, int month, int day);
