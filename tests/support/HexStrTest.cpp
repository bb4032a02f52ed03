#include "support/HexStr.h"

#include <gtest/gtest.h>

using namespace std::string_literals;

TEST(TextHex, HexByteIsTwoUpperCaseDigits)
{
    EXPECT_EQ(hexByte(0), "00");
    EXPECT_EQ(hexByte(10), "0A");
    EXPECT_EQ(hexByte(0xF0), "F0");
    EXPECT_EQ(hexByte(255), "FF");
}

TEST(TextHex, HexDigitValueCountsInvalidDigitsAsZero)
{
    EXPECT_EQ(hexDigitValue('7'), 7);
    EXPECT_EQ(hexDigitValue('b'), 11);
    EXPECT_EQ(hexDigitValue('F'), 15);
    EXPECT_EQ(hexDigitValue('G'), 0);
    EXPECT_EQ(hexDigitValue(' '), 0);
    EXPECT_EQ(hexDigitValue('\xFF'), 0);
}

TEST(TextHex, HexToByteReadsOneOrTwoDigits)
{
    EXPECT_EQ(hexToByte("a"), 10);
    EXPECT_EQ(hexToByte("0a"), 10);
    EXPECT_EQ(hexToByte("0A"), 10);
    EXPECT_EQ(hexToByte("FF"), 255);
    EXPECT_EQ(hexToByte("F0"), 240);
    EXPECT_EQ(hexToByte("G1"), 1);
    EXPECT_EQ(hexToByte("100"), 0);
    EXPECT_EQ(hexToByte(""), 0);
}

TEST(TextCut, CutAtNulStopsAtTheFirstNul)
{
    EXPECT_EQ(cutAtNul("abc\0def"s), "abc");
    EXPECT_EQ(cutAtNul("\0abc"s), "");
    EXPECT_EQ(cutAtNul("abc"), "abc");
    EXPECT_EQ(cutAtNul(""), "");
}

TEST(TextPad, PaddingNeverTruncates)
{
    EXPECT_EQ(padLeft("7", 2, '0'), "07");
    EXPECT_EQ(padLeft("123", 2, '0'), "123");
    EXPECT_EQ(padLeft("", 3, ' '), "   ");
    EXPECT_EQ(padRight("ab", 5, '\0'), "ab\0\0\0"s);
    EXPECT_EQ(padRight("abcdef", 5, '\0'), "abcdef");
}

TEST(TextNumeric, OnlyDigitsAreNumeric)
{
    EXPECT_FALSE(isNumeric(""));
    EXPECT_FALSE(isNumeric("-1"));
    EXPECT_FALSE(isNumeric("1.5"));
    EXPECT_FALSE(isNumeric(" 1"));
    EXPECT_TRUE(isNumeric("007"));
}

TEST(TextChars, RemoveAndReplaceEveryOccurrence)
{
    EXPECT_EQ(removeChar("a\rb\rc\r", '\r'), "abc");
    EXPECT_EQ(removeChar("", 'x'), "");
    EXPECT_EQ(replaceChar("a:b:c", ':', ""), "abc");
    EXPECT_EQ(replaceChar("a:b", ':', " -> "), "a -> b");
    EXPECT_EQ(replaceChar("a\0b"s, '\0', "."), "a.b");
}

TEST(TextCase, UpperStrTouchesOnlyAsciiLetters)
{
    EXPECT_EQ(upperStr("n0call-7"), "N0CALL-7");
    EXPECT_EQ(upperStr("\xE9z{"), "\xE9Z{");
    EXPECT_EQ(upperStr(""), "");
    EXPECT_EQ(boolText(true), "TRUE");
    EXPECT_EQ(boolText(false), "FALSE");
}

TEST(TextFields, NextFieldYieldsEmptyFieldsOneAtATime)
{
    std::string text = "a,,b";
    EXPECT_EQ(nextField(text, ','), "a");
    EXPECT_EQ(nextField(text, ','), "");
    EXPECT_EQ(nextField(text, ','), "b");
    EXPECT_EQ(text, "");

    text = "a,";
    EXPECT_EQ(nextField(text, ','), "a");
    EXPECT_EQ(text, "");

    text = ",x";
    EXPECT_EQ(nextField(text, ','), "");
    EXPECT_EQ(text, "x");

    text = "";
    EXPECT_EQ(nextField(text, ','), "");
    EXPECT_EQ(text, "");

    text = " a ; b ";
    EXPECT_EQ(nextField(text, ';'), " a ");
    EXPECT_EQ(text, " b ");
}

TEST(TextWords, NextWordCutsAtBlanksAndDropsOneTrailingCr)
{
    std::string text = "  ab  cd  ef\r";
    EXPECT_EQ(nextWord(text), "ab");
    EXPECT_EQ(text, "cd  ef");

    text = "xyz\r";
    EXPECT_EQ(nextWord(text), "xyz");
    EXPECT_EQ(text, "");

    text = "   \r";
    EXPECT_EQ(nextWord(text), "");
    EXPECT_EQ(text, "");

    text = "\r";
    EXPECT_EQ(nextWord(text), "");
    EXPECT_EQ(text, "");

    text = "A B\r";
    EXPECT_EQ(nextWord(text), "A");
    EXPECT_EQ(text, "B");

    text = "";
    EXPECT_EQ(nextWord(text), "");
}

TEST(TextWords, OnlyTheSpaceSeparatesWords)
{
    std::string text = "a\tb c";
    EXPECT_EQ(nextWord(text), "a\tb");
    EXPECT_EQ(text, "c");

    text = "word   ";
    EXPECT_EQ(nextWord(text), "word");
    EXPECT_EQ(text, "");
}

TEST(TextNumbers, StrToIntAcceptsSignAndBlanksOnly)
{
    EXPECT_EQ(strToInt("42"), 42);
    EXPECT_EQ(strToInt(" -7 "), -7);
    EXPECT_EQ(strToInt("+8000"), 8000);
    EXPECT_EQ(strToInt("2147483647"), 2147483647);
    EXPECT_EQ(strToInt("-2147483648"), INT32_MIN);
    EXPECT_THROW(strToInt("2147483648"), ConvertError);
    EXPECT_THROW(strToInt(""), ConvertError);
    EXPECT_THROW(strToInt("12a"), ConvertError);
    EXPECT_THROW(strToInt("-"), ConvertError);
    EXPECT_THROW(strToInt("1 2"), ConvertError);

    int32_t value = 5;
    EXPECT_FALSE(tryStrToInt("x", value));
    EXPECT_EQ(value, 5);
    EXPECT_TRUE(tryStrToInt("60000", value));
    EXPECT_EQ(value, 60000);
}
