// Reading and writing field numbers, grouped by the kind of input:
//   plain numbers, signs, exponents, blanks inside numbers, trailing text,
//   radix prefixes (with their 16/32-bit wrap), the edges of the double
//   range; then the written form, the read-back, and other decimal symbols.

#include "core/number_text.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace modbuscalc {
namespace {

constexpr double Inf = std::numeric_limits<double>::infinity();

struct ReadCase {
    std::string text;
    double expected;
};

void expectReads(const std::vector<ReadCase> &cases)
{
    for (const auto &c : cases) {
        SCOPED_TRACE("text: \"" + c.text + "\"");
        const double value = LeadingNumber(c.text);
        EXPECT_FALSE(std::isnan(value));
        EXPECT_EQ(value, c.expected);
    }
}

TEST(LeadingNumber, PlainNumbersAndJunk)
{
    expectReads({
        { "", 0 },
        { "0", 0 },
        { "05", 5 },
        { "3.25", 3.25 },
        { ".5", 0.5 },
        { "5.", 5 },
        { "10241", 10241 },
        { "65535", 65535 },
        { "abc", 0 },
        { "Error", 0 },
        { ".", 0 },
        { "..5", 0 },
        { "0.1", 0.1 },
        { "007.50", 7.5 },
    });
}

TEST(LeadingNumber, Signs)
{
    expectReads({
        { "-7", -7 },
        { "+7", 7 },
        { "--5", 0 },
        { "+-5", 0 },
        { "-+5", 0 },
        { "-", 0 },
        { "+", 0 },
        { "-.5", -0.5 },
        { "+.5", 0.5 },
        { "- 5", -5 },
        { "5-", 5 },
        { "-0", 0 },
    });
}

TEST(LeadingNumber, Exponents)
{
    expectReads({
        { "1E3", 1000 },
        { "1e3", 1000 },
        { "1.5e-2", 0.015 },
        { "2E+2", 200 },
        { ".5E1", 5 },
        { "5.E1", 50 },
        { "5E", 5 },
        { "5E+", 5 },
        { "5e-x", 5 },
        { "5EE3", 5 },
        { "1 E 3", 1000 },
        { "1D3", 1 },
        { "1d3", 1 },
        { "E3", 0 },
        { "1E3.5", 1000 },
    });
}

TEST(LeadingNumber, BlanksInsideNumbers)
{
    expectReads({
        { " 1 2 ", 12 },
        { "1 2 3", 123 },
        { " 2 45 7", 2457 },
        { "1\t5", 15 },
        { "1\n5", 15 },
        { "\t\n 42", 42 },
        { "1 . 5", 1.5 },
        { "1\r5", 1 },
        { "\r5", 0 },
        { "1\v5", 1 },
        { "1\f5", 1 },
        { std::string("1\0"
                      "5",
              3),
            1 },
    });
}

TEST(LeadingNumber, TrailingText)
{
    expectReads({
        { "1,5", 1 },
        { "1,000", 1 },
        { "$5", 0 },
        { "12abc", 12 },
        { "1.2.3", 1.2 },
        { "7%", 7 },
        { "0x1F", 0 },
        { "1_000", 1 },
        { "\xC2\xA0"
          "5",
            0 },
    });
}

TEST(LeadingNumber, RadixPrefixes)
{
    expectReads({
        { "&HFF", 255 },
        { "&hff", 255 },
        { "&HFFFF", -1 },
        { "&H7FFF", 32767 },
        { "&H8000", -32768 },
        { "&H10000", 65536 },
        { "&H7FFFFFFF", 2147483647.0 },
        { "&H80000000", -2147483648.0 },
        { "&HFFFFFFFF", -1 },
        { "&H0000000000FF", 255 },
        { "&HFFZ", 255 },
        { "& H F F", 255 },
        { "&O17", 15 },
        { "&o17", 15 },
        { "&O177777", -1 },
        { "&O100000", -32768 },
        { "&O8", 0 },
        { "&O178", 15 },
        { "&H", 0 },
        { "&O", 0 },
        { "&", 0 },
        { "&X1", 0 },
        { "-&H10", 0 },
        { "&H1.5", 1 },
    });
}

TEST(LeadingNumber, BeyondTheDoubleRange)
{
    expectReads({
        { "1E400", Inf },
        { "-1E400", -Inf },
        { "2E308", Inf },
        { "1E-400", 0 },
        { "-1E-400", 0 },
        { "0.0000001E-400", 0 },
        { "1E99999999999999999999", Inf },
        { "1E-99999999999999999999", 0 },
        { "0E99999", 0 },
        { "1" + std::string(400, '0'), Inf },
        { "0." + std::string(400, '0') + "1", 0 },
        { "0." + std::string(400, '0') + "1E700", 1E299 },
        { std::string(400, '0') + "1E-400", 0 },
        { "1.7976931348623157E308", DBL_MAX },
        { "4.9406564584124654E-324", std::numeric_limits<double>::denorm_min() },
        { "&H100000000", Inf },
        { "&O40000000000", Inf },
    });
}

TEST(LeadingNumber, LongTextsAreReadWhole)
{
    // A pasted run of a million digits overflows; a million blanks before a
    // number are simply skipped.
    EXPECT_EQ(LeadingNumber(std::string(1'000'000, '9')), Inf);
    EXPECT_EQ(LeadingNumber(std::string(1'000'000, ' ') + "17"), 17);
    EXPECT_EQ(LeadingNumber("&H" + std::string(1'000'000, 'F')), Inf);
    EXPECT_EQ(LeadingNumber("0." + std::string(1'000'000, '0')), 0);
}

// Whole numbers are what a strict reader accepts: the same value as
// LeadingNumber, and nothing left over.
TEST(WholeNumber, AcceptsExactlyTheFormsLeadingNumberReads)
{
    const std::vector<std::string> whole = { "0", "05", "-7", "+7", "3.25", ".5", "5.", "1E3",
        "1.5e-2", "-1E+2", " 17", "17\t", "  -0  ", "&HFF", "&hFFFF", "&O17", "&H100000000",
        "1E400", std::string(400, '9'), "0." + std::string(400, '0') + "1" };
    for (const auto &text : whole) {
        SCOPED_TRACE("text: \"" + text + "\"");
        const std::optional<double> value = WholeNumber(text);
        ASSERT_TRUE(value.has_value());
        EXPECT_EQ(*value, LeadingNumber(text));
    }

    const std::vector<std::string> notWhole = { "", " ", "\t", "abc", "Error", "12abc", "1,5",
        "1 2", "1\n", "5E", "5E+", "1e3x", "--5", "-", "+", ".", "&H", "&O", "&", "&X1", "&HFFZ",
        "&O8", "$5", "1.2.3", std::string("1\0", 2), "17\r",
        "\xEF\xBB\xBF"
        "1" };
    for (const auto &text : notWhole) {
        SCOPED_TRACE("text: \"" + text + "\"");
        EXPECT_FALSE(WholeNumber(text).has_value());
    }
}

struct WriteCase {
    double value;
    std::string expected;
};

TEST(NumberText, WrittenForms)
{
    const std::vector<WriteCase> cases = {
        // positional
        { 0, "0" },
        { -0.0, "0" },
        { 65535, "65535" },
        { 65536, "65536" },
        { 10241, "10241" },
        { -1, "-1" },
        { 255.5, "255.5" },
        { 0.5, "0.5" },
        { 100.5, "100.5" },
        { 1.0 / 3, "0.333333333333333" },
        { -2.0 / 3, "-0.666666666666667" },
        { 0.1 + 0.2, "0.3" },
        { 123456789012345, "123456789012345" },
        { 1E14, "100000000000000" },
        { 0.0001, "0.0001" },
        { 0.00012345, "0.00012345" },
        { 12345.678, "12345.678" },
        { -32768, "-32768" },
        // rounding to 15 digits moves the decimal exponent
        { 99999999999999.99, "100000000000000" },
        { 999999999999999.9, "1E+15" },
        { 0.000099999999999999999, "0.0001" },
        { 255.99999999999997, "256" },
        // exponent notation
        { 1E15, "1E+15" },
        { 123456789012345678.0, "1.23456789012346E+17" },
        { 0.00001, "1E-05" },
        { -0.00001, "-1E-05" },
        { 1.5E-300, "1.5E-300" },
        { -2.5E20, "-2.5E+20" },
        { 1E100, "1E+100" },
        { DBL_MAX, "1.79769313486232E+308" },
        { std::numeric_limits<double>::denorm_min(), "4.94065645841247E-324" },
        // not finite
        { Inf, "Error" },
        { -Inf, "Error" },
        { std::numeric_limits<double>::quiet_NaN(), "Error" },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE("expected: " + c.expected);
        EXPECT_EQ(NumberText(c.value), c.expected);
    }
}

TEST(ExactNumber, ReadsBackWhatNumberTextWrote)
{
    // Any double comes back as itself rounded to 15 significant digits;
    // the reference rounding is C's printf/strtod, independent of ours.
    std::mt19937_64 random(20261207);
    std::vector<double> values
        = { 0, 1, -1, 0.5, 65535, 1E15, 1E-5, DBL_MAX, std::numeric_limits<double>::denorm_min() };
    for (int i = 0; i < 20000; ++i) {
        double value;
        const std::uint64_t bits = random();
        std::memcpy(&value, &bits, sizeof value);
        if (std::isfinite(value))
            values.push_back(value);
        values.push_back(std::ldexp(static_cast<double>(bits >> 11), -40) - 4096.0);
    }
    for (double value : values) {
        char reference[64];
        std::snprintf(reference, sizeof reference, "%.14e", value);
        const double rounded = std::strtod(reference, nullptr);
        const std::string text = NumberText(value);
        SCOPED_TRACE(text);
        EXPECT_EQ(ExactNumber(text), rounded == 0 ? 0.0 : rounded);
    }
}

TEST(ExactNumber, WholeNumbersBelowTenToTheFifteenAreExact)
{
    for (double value : { 0.0, 7.0, 255.0, 65536.0, 1E14 + 1, 999999999999999.0 })
        EXPECT_EQ(ExactNumber(NumberText(value)), value);
}

TEST(ExactNumber, RejectsTextItNeverWrote)
{
    for (const char *text : { "", "-", "Error", "inf", "nan", "+5", " 5", "5 ", "12abc", "1,5",
             "&HFF", ".5", "1E", "0x10" }) {
        SCOPED_TRACE(text);
        EXPECT_TRUE(std::isnan(ExactNumber(text)));
    }
}

TEST(DecimalSymbol, CommaLocale)
{
    EXPECT_EQ(NumberText(12.5, ','), "12,5");
    EXPECT_EQ(NumberText(-0.00012, ','), "-0,00012");
    EXPECT_EQ(NumberText(1.5E20, ','), "1,5E+20");
    EXPECT_EQ(NumberText(10241, ','), "10241");
    // The user's reader knows only '.', so a written comma ends the number.
    EXPECT_EQ(LeadingNumber(NumberText(12.5, ',')), 12);
    EXPECT_EQ(ExactNumber("12,5", ','), 12.5);
    EXPECT_EQ(ExactNumber("1,5E+20", ','), 1.5E20);
    EXPECT_TRUE(std::isnan(ExactNumber("12.5", ',')));
}

} // namespace
} // namespace modbuscalc
