// Text utilities on 8-bit byte strings. Only the space character counts as a blank.
// None of these raises, except the two decimal conversions, which report a bad number.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

std::string HexByte(uint8_t value);
int HexDigitValue(char c);
int HexToByte(std::string_view text);
std::string CutAtNul(std::string_view text);
std::string PadLeft(std::string_view text, size_t length, char fill);
std::string PadRight(std::string_view text, size_t length, char fill);
bool IsNumeric(std::string_view text);
std::string RemoveChar(std::string_view text, char c);
std::string ReplaceChar(std::string_view text, char c, std::string_view replacement);
std::string UpperStr(std::string_view text);
std::string BoolText(bool value);

// Cuts the first field (up to the separator) off `text` and returns it.
std::string NextField(std::string& text, char separator);
// Cuts the first blank-delimited word off `text`; the rest loses its leading
// blanks and one trailing CR.
std::string NextWord(std::string& text);

// A number that does not convert to a 32-bit integer.
class ConvertError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Decimal text (optional sign, digits, surrounding blanks allowed) to a signed
// 32-bit integer; throws ConvertError when it is not such a number.
int32_t StrToInt(std::string_view text);
bool TryStrToInt(std::string_view text, int32_t& value);
