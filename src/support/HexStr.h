// Text utilities on 8-bit byte strings. Only the space character counts as a blank.
// None of these raises, except the two decimal conversions, which report a bad number.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

std::string hexByte(uint8_t value);
int hexDigitValue(char c);
int hexToByte(std::string_view text);
std::string cutAtNul(std::string_view text);
std::string padLeft(std::string_view text, size_t length, char fill);
std::string padRight(std::string_view text, size_t length, char fill);
bool isNumeric(std::string_view text);
std::string removeChar(std::string_view text, char c);
std::string replaceChar(std::string_view text, char c, std::string_view replacement);
std::string upperStr(std::string_view text);
std::string boolText(bool value);

// Cuts the first field (up to the separator) off `text` and returns it.
std::string nextField(std::string& text, char separator);
// Cuts the first blank-delimited word off `text`; the rest loses its leading
// blanks and one trailing CR.
std::string nextWord(std::string& text);

// A number that does not convert to a 32-bit integer.
class ConvertError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Decimal text (optional sign, digits, surrounding blanks allowed) to a signed
// 32-bit integer; throws ConvertError when it is not such a number.
int32_t strToInt(std::string_view text);
bool tryStrToInt(std::string_view text, int32_t& value);
