// Text utilities on 8-bit byte strings.
#include "HexStr.h"

#include <limits>

std::string hexByte(uint8_t value)
{
    static constexpr char digits[] = "0123456789ABCDEF";
    return {digits[value >> 4], digits[value & 0x0F]};
}

int hexDigitValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return 0;
}

int hexToByte(std::string_view text)
{
    if (text.empty() || text.size() >= 3)
        return 0;
    std::string two = padLeft(text, 2, '0');
    return 16 * hexDigitValue(two[0]) + hexDigitValue(two[1]);
}

std::string cutAtNul(std::string_view text)
{
    return std::string(text.substr(0, text.find('\0')));
}

std::string padLeft(std::string_view text, size_t length, char fill)
{
    if (text.size() >= length)
        return std::string(text);
    return std::string(length - text.size(), fill) + std::string(text);
}

std::string padRight(std::string_view text, size_t length, char fill)
{
    std::string result(text);
    if (result.size() < length)
        result.append(length - result.size(), fill);
    return result;
}

bool isNumeric(std::string_view text)
{
    if (text.empty())
        return false;
    for (char c : text)
        if (c < '0' || c > '9')
            return false;
    return true;
}

std::string removeChar(std::string_view text, char c)
{
    std::string result;
    result.reserve(text.size());
    for (char x : text)
        if (x != c)
            result += x;
    return result;
}

std::string replaceChar(std::string_view text, char c, std::string_view replacement)
{
    std::string result;
    result.reserve(text.size());
    for (char x : text) {
        if (x == c)
            result += replacement;
        else
            result += x;
    }
    return result;
}

std::string upperStr(std::string_view text)
{
    std::string result(text);
    for (char& c : result)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return result;
}

std::string boolText(bool value)
{
    return value ? "TRUE" : "FALSE";
}

std::string nextField(std::string& text, char separator)
{
    size_t at = text.find(separator);
    if (at == std::string::npos) {
        std::string all = std::move(text);
        text.clear();
        return all;
    }
    std::string field = text.substr(0, at);
    text.erase(0, at + 1);
    return field;
}

std::string nextWord(std::string& text)
{
    if (text.empty())
        return {};
    size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos) {
        text.clear();
        return {};
    }
    std::string copy = text.substr(first);
    if (!copy.empty() && copy.back() == '\r')
        copy.pop_back();
    size_t end = copy.find(' ');
    if (end == std::string::npos) {
        text.clear();
        return copy;
    }
    std::string word = copy.substr(0, end);
    size_t rest = copy.find_first_not_of(' ', end);
    if (rest == std::string::npos)
        text.clear();
    else
        text = copy.substr(rest);
    return word;
}

bool tryStrToInt(std::string_view text, int32_t& value)
{
    size_t i = 0;
    while (i < text.size() && text[i] == ' ')
        ++i;
    size_t end = text.size();
    while (end > i && text[end - 1] == ' ')
        --end;
    bool negative = false;
    if (i < end && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    if (i == end)
        return false;
    int64_t magnitude = 0;
    const int64_t limit =
        negative ? -static_cast<int64_t>(std::numeric_limits<int32_t>::min()) : std::numeric_limits<int32_t>::max();
    for (; i < end; ++i) {
        char c = text[i];
        if (c < '0' || c > '9')
            return false;
        magnitude = magnitude * 10 + (c - '0');
        if (magnitude > limit)
            return false;
    }
    value = static_cast<int32_t>(negative ? -magnitude : magnitude);
    return true;
}

int32_t strToInt(std::string_view text)
{
    int32_t value = 0;
    if (!tryStrToInt(text, value))
        throw ConvertError("'" + std::string(text) + "' is not a valid integer value");
    return value;
}
