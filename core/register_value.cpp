#include "core/register_value.h"

#include "core/notation.h"
#include "core/text.h"

#include <array>
#include <bit>
#include <cmath>
#include <limits>

namespace modbuscalc {

namespace {

using Words = std::array<std::uint16_t, 4>;

std::uint16_t swapBytes(std::uint16_t word)
{
    return static_cast<std::uint16_t>((word << 8) | (word >> 8));
}

bool reversed(WordOrder order)
{
    return order == WordOrder::CDAB || order == WordOrder::DCBA;
}

bool swapped(WordOrder order)
{
    return order == WordOrder::BADC || order == WordOrder::DCBA;
}

// The value's bits from its registers, most significant word first.
std::uint64_t bitsOf(WordOrder order, std::span<const std::uint16_t> words)
{
    const std::size_t n = words.size();
    std::uint64_t bits = 0;
    for (std::size_t i = 0; i < n; ++i) {
        std::uint16_t word = words[reversed(order) ? n - 1 - i : i];
        if (swapped(order))
            word = swapBytes(word);
        bits = (bits << 16) | word;
    }
    return bits;
}

// The registers that hold the value's low n words of bits.
std::vector<std::uint16_t> wordsOf(WordOrder order, std::uint64_t bits, std::size_t n)
{
    std::vector<std::uint16_t> words(n);
    for (std::size_t i = 0; i < n; ++i) {
        auto word = static_cast<std::uint16_t>(bits >> (16 * (n - 1 - i)));
        if (swapped(order))
            word = swapBytes(word);
        words[reversed(order) ? n - 1 - i : i] = word;
    }
    return words;
}

template <typename Number> std::string shortest(Number value)
{
    char text[64];
    const auto end = std::to_chars(text, text + sizeof text, value).ptr;
    return std::string(text, end);
}

// A number of the type, with a '+' before it if need be.
template <typename Number> std::optional<Number> parseAll(std::string_view text, int base = 10)
{
    if (text.starts_with('+') && base == 10)
        text.remove_prefix(1);
    return NumberOf<Number>(text, base);
}

// A number as written, nan and inf among them: what read shows of a float
// is written back as it was.
std::optional<double> parseFloat(std::string_view text)
{
    return parseAll<double>(text);
}

// A whole number as a bit pattern of `bits` bits: decimal within the
// signed or unsigned range, or 0x and hex digits that fit.
std::optional<std::uint64_t> wholeBits(std::string_view text, int bits, bool isSigned)
{
    const std::uint64_t mask
        = bits == 64 ? ~std::uint64_t { 0 } : (std::uint64_t { 1 } << bits) - 1;
    if (HasHexPrefix(text)) {
        const auto value = parseAll<std::uint64_t>(text.substr(2), 16);
        if (!value || (*value & ~mask) != 0)
            return std::nullopt;
        return value;
    }
    if (!isSigned) {
        const auto value = parseAll<std::uint64_t>(text);
        if (!value || (*value & ~mask) != 0)
            return std::nullopt;
        return value;
    }
    const auto value = parseAll<std::int64_t>(text);
    if (!value)
        return std::nullopt;
    const std::int64_t highest = bits == 64 ? std::numeric_limits<std::int64_t>::max()
                                            : (std::int64_t { 1 } << (bits - 1)) - 1;
    if (*value > highest || *value < -highest - 1)
        return std::nullopt;
    return static_cast<std::uint64_t>(*value) & mask;
}

} // namespace

int RegistersPerValue(ValueFormat format)
{
    switch (format) {
    case ValueFormat::U32:
    case ValueFormat::S32:
    case ValueFormat::F32:
        return 2;
    case ValueFormat::U64:
    case ValueFormat::S64:
    case ValueFormat::F64:
        return 4;
    default:
        return 1;
    }
}

std::string ValueText(ValueFormat format, WordOrder order, std::span<const std::uint16_t> words)
{
    const std::uint64_t bits = bitsOf(order, words);
    switch (format) {
    case ValueFormat::Bit:
        return bits != 0 ? "1" : "0";
    case ValueFormat::U16:
    case ValueFormat::U32:
    case ValueFormat::U64:
        return std::to_string(bits);
    case ValueFormat::S16:
        return std::to_string(static_cast<std::int16_t>(bits));
    case ValueFormat::S32:
        return std::to_string(static_cast<std::int32_t>(bits));
    case ValueFormat::S64:
        return std::to_string(static_cast<std::int64_t>(bits));
    case ValueFormat::Hex:
        return HexText(static_cast<double>(bits));
    case ValueFormat::F32:
        return shortest(std::bit_cast<float>(static_cast<std::uint32_t>(bits)));
    case ValueFormat::F64:
        return shortest(std::bit_cast<double>(bits));
    }
    return {};
}

std::optional<std::vector<std::uint16_t>> ValueWords(
    ValueFormat format, WordOrder order, std::string_view text)
{
    text = TrimBlanks(text);
    const auto n = static_cast<std::size_t>(RegistersPerValue(format));
    std::optional<std::uint64_t> bits;
    switch (format) {
    case ValueFormat::Hex: {
        const std::string prefixed
            = HasHexPrefix(text) ? std::string(text) : "0x" + std::string(text);
        bits = wholeBits(prefixed, 16, false);
        break;
    }
    case ValueFormat::U16:
    case ValueFormat::U32:
    case ValueFormat::U64:
        bits = wholeBits(text, 16 * static_cast<int>(n), false);
        break;
    case ValueFormat::S16:
    case ValueFormat::S32:
    case ValueFormat::S64:
        bits = wholeBits(text, 16 * static_cast<int>(n), true);
        break;
    case ValueFormat::F32:
        if (const auto value = parseFloat(text)) {
            // nan and inf as written; a finite number only within range.
            const auto single = static_cast<float>(*value);
            if (std::isfinite(single) || !std::isfinite(*value))
                bits = std::bit_cast<std::uint32_t>(single);
        }
        break;
    case ValueFormat::F64:
        if (const auto value = parseFloat(text))
            bits = std::bit_cast<std::uint64_t>(*value);
        break;
    case ValueFormat::Bit:
        if (const std::optional<bool> on = CoilState(text))
            bits = *on ? 1 : 0;
        break;
    }
    if (!bits)
        return std::nullopt;
    return wordsOf(order, *bits, n);
}

std::string ValueRange(ValueFormat format)
{
    switch (format) {
    case ValueFormat::U16:
        return "0 to 65535";
    case ValueFormat::S16:
        return "-32768 to 32767";
    case ValueFormat::Hex:
        return "0x0000 to 0xFFFF";
    case ValueFormat::U32:
        return "0 to 4294967295";
    case ValueFormat::S32:
        return "-2147483648 to 2147483647";
    case ValueFormat::U64:
        return "0 to 18446744073709551615";
    case ValueFormat::S64:
        return "-9223372036854775808 to 9223372036854775807";
    case ValueFormat::F32:
        return "a number up to 3.4028235e38 either side of 0, nan or inf";
    case ValueFormat::F64:
        return "a number, nan or inf";
    case ValueFormat::Bit:
        return "0 or 1";
    }
    return {};
}

std::optional<bool> CoilState(std::string_view text)
{
    text = TrimBlanks(text);
    for (const std::string_view on : { "1", "on", "true" })
        if (EqualsIgnoringCase(text, on))
            return true;
    for (const std::string_view off : { "0", "off", "false" })
        if (EqualsIgnoringCase(text, off))
            return false;
    return std::nullopt;
}

} // namespace modbuscalc
