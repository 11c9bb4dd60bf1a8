// Values in registers, both ways: what each format takes and refuses, at
// the edges of its range, and where each byte order puts the bytes.
//   Whole numbers: decimal, hex, signs, the edges. Floats: finite, in
//   range. Byte orders: 16, 32 and 64 bits. Coils.

#include "core/register_value.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace modbuscalc {
namespace {

using Words = std::vector<std::uint16_t>;

TEST(RegisterValue, WhatEachFormatTakesAndRefuses)
{
    struct Case {
        ValueFormat format;
        const char *text;
        std::optional<Words> words; // high word first (ABCD)
    };
    const Case cases[] = {
        // 16 bits, at and past each edge.
        { ValueFormat::U16, "0", Words { 0 } },
        { ValueFormat::U16, "65535", Words { 0xFFFF } },
        { ValueFormat::U16, "65536", std::nullopt },
        { ValueFormat::U16, "-1", std::nullopt },
        { ValueFormat::U16, "+7", Words { 7 } },
        { ValueFormat::U16, " 12 ", Words { 12 } },
        { ValueFormat::U16, "0x04D2", Words { 0x04D2 } },
        { ValueFormat::U16, "0x10000", std::nullopt },
        { ValueFormat::U16, "1.5", std::nullopt },
        { ValueFormat::U16, "1e3", std::nullopt },
        { ValueFormat::U16, "", std::nullopt },
        { ValueFormat::S16, "-32768", Words { 0x8000 } },
        { ValueFormat::S16, "32767", Words { 0x7FFF } },
        { ValueFormat::S16, "32768", std::nullopt },
        { ValueFormat::S16, "-32769", std::nullopt },
        { ValueFormat::S16, "0xFFFF", Words { 0xFFFF } },
        { ValueFormat::Hex, "04d2", Words { 0x04D2 } },
        { ValueFormat::Hex, "0xFFFF", Words { 0xFFFF } },
        { ValueFormat::Hex, "1FFFF", std::nullopt },
        { ValueFormat::Hex, "x", std::nullopt },
        // 32 and 64 bits.
        { ValueFormat::U32, "4294967295", Words { 0xFFFF, 0xFFFF } },
        { ValueFormat::U32, "4294967296", std::nullopt },
        { ValueFormat::S32, "-2147483648", Words { 0x8000, 0x0000 } },
        { ValueFormat::S32, "2147483648", std::nullopt },
        { ValueFormat::U64, "18446744073709551615", Words { 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF } },
        { ValueFormat::U64, "18446744073709551616", std::nullopt },
        { ValueFormat::S64, "-9223372036854775808", Words { 0x8000, 0, 0, 0 } },
        { ValueFormat::S64, "9223372036854775808", std::nullopt },
        // Floats: within the format's range; nan and inf as read shows them.
        { ValueFormat::F32, "1.5", Words { 0x3FC0, 0x0000 } },
        { ValueFormat::F32, "-0.25", Words { 0xBE80, 0x0000 } },
        { ValueFormat::F32, "3.4028234e38", Words { 0x7F7F, 0xFFFF } },
        { ValueFormat::F32, "1e39", std::nullopt },
        { ValueFormat::F32, "nan", Words { 0x7FC0, 0x0000 } },
        { ValueFormat::F32, "inf", Words { 0x7F80, 0x0000 } },
        { ValueFormat::F32, "-inf", Words { 0xFF80, 0x0000 } },
        { ValueFormat::F64, "1e39", Words { 0x4807, 0x8287, 0xF49C, 0x4A1D } },
        { ValueFormat::F64, "1e309", std::nullopt },
        { ValueFormat::F64, "nan", Words { 0x7FF8, 0, 0, 0 } },
        { ValueFormat::F64, "-inf", Words { 0xFFF0, 0, 0, 0 } },
        { ValueFormat::F64, "one", std::nullopt },
        // One bit.
        { ValueFormat::Bit, "1", Words { 1 } },
        { ValueFormat::Bit, "off", Words { 0 } },
        { ValueFormat::Bit, "2", std::nullopt },
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(
            std::string(c.text) + " as format " + std::to_string(static_cast<int>(c.format)));
        EXPECT_EQ(ValueWords(c.format, WordOrder::ABCD, c.text), c.words);
    }
}

TEST(RegisterValue, EachByteOrderWhereItPutsTheBytes)
{
    struct Case {
        ValueFormat format;
        WordOrder order;
        const char *text;
        Words words;
    };
    const Case cases[] = {
        { ValueFormat::U16, WordOrder::ABCD, "0x1234", { 0x1234 } },
        { ValueFormat::U16, WordOrder::CDAB, "0x1234", { 0x1234 } },
        { ValueFormat::U16, WordOrder::BADC, "0x1234", { 0x3412 } },
        { ValueFormat::U16, WordOrder::DCBA, "0x1234", { 0x3412 } },
        { ValueFormat::U32, WordOrder::ABCD, "0x11223344", { 0x1122, 0x3344 } },
        { ValueFormat::U32, WordOrder::CDAB, "0x11223344", { 0x3344, 0x1122 } },
        { ValueFormat::U32, WordOrder::BADC, "0x11223344", { 0x2211, 0x4433 } },
        { ValueFormat::U32, WordOrder::DCBA, "0x11223344", { 0x4433, 0x2211 } },
        { ValueFormat::U64, WordOrder::CDAB, "0x1122334455667788",
            { 0x7788, 0x5566, 0x3344, 0x1122 } },
        { ValueFormat::U64, WordOrder::DCBA, "0x1122334455667788",
            { 0x8877, 0x6655, 0x4433, 0x2211 } },
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        const auto words = ValueWords(c.format, c.order, c.text);
        EXPECT_EQ(words, c.words);
        // And back to the same number.
        EXPECT_EQ(ValueText(c.format, c.order, c.words),
            std::to_string(std::stoull(std::string(c.text).substr(2), nullptr, 16)));
    }
}

TEST(RegisterValue, ShownAsReadShowsIt)
{
    EXPECT_EQ(ValueText(ValueFormat::S16, WordOrder::ABCD, Words { 0xFFFF }), "-1");
    EXPECT_EQ(ValueText(ValueFormat::Hex, WordOrder::ABCD, Words { 0x0901 }), "0x0901");
    EXPECT_EQ(ValueText(ValueFormat::S32, WordOrder::ABCD, Words { 0xFFFF, 0xFFFE }), "-2");
    EXPECT_EQ(ValueText(ValueFormat::F32, WordOrder::ABCD, Words { 0x3DCC, 0xCCCD }), "0.1");
    EXPECT_EQ(
        ValueText(ValueFormat::F64, WordOrder::ABCD, Words { 0x3FB9, 0x9999, 0x9999, 0x999A }),
        "0.1");
    EXPECT_EQ(
        ValueText(ValueFormat::S64, WordOrder::ABCD, Words { 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF }),
        "-1");
    // What read shows of a float that is not finite is written back the same.
    for (const ValueFormat format : { ValueFormat::F32, ValueFormat::F64 })
        for (const char *text : { "nan", "inf", "-inf" })
            EXPECT_EQ(
                ValueText(format, WordOrder::CDAB, *ValueWords(format, WordOrder::CDAB, text)),
                text);
}

TEST(RegisterValue, CoilsInTheWordsEngineersUse)
{
    for (const char *on : { "1", "on", "ON", "True", " true " })
        EXPECT_EQ(CoilState(on), true) << on;
    for (const char *off : { "0", "off", "Off", "FALSE" })
        EXPECT_EQ(CoilState(off), false) << off;
    for (const char *neither : { "yes", "2", "", "o n" })
        EXPECT_EQ(CoilState(neither), std::nullopt) << neither;
}

} // namespace
} // namespace modbuscalc
