#include "support/HexStr.h"

#include <gtest/gtest.h>

using namespace std::string_literals;

TEST(TextHex, HexByteIsTwoUpperCaseDigits)
{
    EXPECT_EQ(HexByte(0), "00");
    EXPECT_EQ(HexByte(10), "0A");
    EXPECT_EQ(HexByte(0xF0), "F0");
    EXPECT_EQ(HexByte(255), "FF");
}

TEST(TextHex, HexDigitValueCountsInvalidDigitsAsZero)
{
    EXPECT_EQ(HexDigitValue('7'), 7);
    EXPECT_EQ(HexDigitValue('b'), 11);
    EXPECT_EQ(HexDigitValue('F'), 15);
    EXPECT_EQ(HexDigitValue('G'), 0);
    EXPECT_EQ(HexDigitValue(' '), 0);
    EXPECT_EQ(HexDigitValue('\xFF'), 0);
}

TEST(TextHex, HexToByteReadsOneOrTwoDigits)
{
    EXPECT_EQ(HexToByte("a"), 10);
    EXPECT_EQ(HexToByte("0a"), 10);
    EXPECT_EQ(HexToByte("0A"), 10);
    EXPECT_EQ(HexToByte("FF"), 255);
    EXPECT_EQ(HexToByte("F0"), 240);
    EXPECT_EQ(HexToByte("G1"), 1);
    EXPECT_EQ(HexToByte("100"), 0);
    EXPECT_EQ(HexToByte(""), 0);
}

TEST(TextCut, CutAtNulStopsAtTheFirstNul)
{
    EXPECT_EQ(CutAtNul("abc\0def"s), "abc");
    EXPECT_EQ(CutAtNul("\0abc"s), "");
    EXPECT_EQ(CutAtNul("abc"), "abc");
    EXPECT_EQ(CutAtNul(""), "");
}

TEST(TextPad, PaddingNeverTruncates)
{
    EXPECT_EQ(PadLeft("7", 2, '0'), "07");
    EXPECT_EQ(PadLeft("123", 2, '0'), "123");
    EXPECT_EQ(PadLeft("", 3, ' '), "   ");
    EXPECT_EQ(PadRight("ab", 5, '\0'), "ab\0\0\0"s);
    EXPECT_EQ(PadRight("abcdef", 5, '\0'), "abcdef");
}

TEST(TextNumeric, OnlyDigitsAreNumeric)
{
    EXPECT_FALSE(IsNumeric(""));
    EXPECT_FALSE(IsNumeric("-1"));
    EXPECT_FALSE(IsNumeric("1.5"));
    EXPECT_FALSE(IsNumeric(" 1"));
    EXPECT_TRUE(IsNumeric("007"));
}

TEST(TextChars, RemoveAndReplaceEveryOccurrence)
{
    EXPECT_EQ(RemoveChar("a\rb\rc\r", '\r'), "abc");
    EXPECT_EQ(RemoveChar("", 'x'), "");
    EXPECT_EQ(ReplaceChar("a:b:c", ':', ""), "abc");
    EXPECT_EQ(ReplaceChar("a:b", ':', " -> "), "a -> b");
    EXPECT_EQ(ReplaceChar("a\0b"s, '\0', "."), "a.b");
}

TEST(TextCase, UpperStrTouchesOnlyAsciiLetters)
{
    EXPECT_EQ(UpperStr("n0call-7"), "N0CALL-7");
    EXPECT_EQ(UpperStr("\xE9z{"), "\xE9Z{");
    EXPECT_EQ(UpperStr(""), "");
    EXPECT_EQ(BoolText(true), "TRUE");
    EXPECT_EQ(BoolText(false), "FALSE");
}

TEST(TextFields, NextFieldYieldsEmptyFieldsOneAtATime)
{
    std::string text = "a,,b";
    EXPECT_EQ(NextField(text, ','), "a");
    EXPECT_EQ(NextField(text, ','), "");
    EXPECT_EQ(NextField(text, ','), "b");
    EXPECT_EQ(text, "");

    text = "a,";
    EXPECT_EQ(NextField(text, ','), "a");
    EXPECT_EQ(text, "");

    text = ",x";
    EXPECT_EQ(NextField(text, ','), "");
    EXPECT_EQ(text, "x");

    text = "";
    EXPECT_EQ(NextField(text, ','), "");
    EXPECT_EQ(text, "");

    text = " a ; b ";
    EXPECT_EQ(NextField(text, ';'), " a ");
    EXPECT_EQ(text, " b ");
}

TEST(TextWords, NextWordCutsAtBlanksAndDropsOneTrailingCr)
{
    std::string text = "  ab  cd  ef\r";
    EXPECT_EQ(NextWord(text), "ab");
    EXPECT_EQ(text, "cd  ef");

    text = "xyz\r";
    EXPECT_EQ(NextWord(text), "xyz");
    EXPECT_EQ(text, "");

    text = "   \r";
    EXPECT_EQ(NextWord(text), "");
    EXPECT_EQ(text, "");

    text = "\r";
    EXPECT_EQ(NextWord(text), "");
    EXPECT_EQ(text, "");

    text = "A B\r";
    EXPECT_EQ(NextWord(text), "A");
    EXPECT_EQ(text, "B");

    text = "";
    EXPECT_EQ(NextWord(text), "");
}

TEST(TextWords, OnlyTheSpaceSeparatesWords)
{
    std::string text = "a\tb c";
    EXPECT_EQ(NextWord(text), "a\tb");
    EXPECT_EQ(text, "c");

    text = "word   ";
    EXPECT_EQ(NextWord(text), "word");
    EXPECT_EQ(text, "");
}

TEST(TextNumbers, StrToIntAcceptsSignAndBlanksOnly)
{
    EXPECT_EQ(StrToInt("42"), 42);
    EXPECT_EQ(StrToInt(" -7 "), -7);
    EXPECT_EQ(StrToInt("+8000"), 8000);
    EXPECT_EQ(StrToInt("2147483647"), 2147483647);
    EXPECT_EQ(StrToInt("-2147483648"), INT32_MIN);
    EXPECT_THROW(StrToInt("2147483648"), ConvertError);
    EXPECT_THROW(StrToInt(""), ConvertError);
    EXPECT_THROW(StrToInt("12a"), ConvertError);
    EXPECT_THROW(StrToInt("-"), ConvertError);
    EXPECT_THROW(StrToInt("1 2"), ConvertError);

    int32_t value = 5;
    EXPECT_FALSE(TryStrToInt("x", value));
    EXPECT_EQ(value, 5);
    EXPECT_TRUE(TryStrToInt("60000", value));
    EXPECT_EQ(value, 60000);
}
