#pragma once

// The few character tests and text helpers that number reading, the
// notations and the command line all need, written once. ASCII only: the
// texts they look at are numbers, names and separators, never prose.

#include <algorithm>
#include <charconv>
#include <optional>
#include <string_view>
#include <type_traits>

namespace modbuscalc {

inline constexpr std::string_view UpperHexDigits = "0123456789ABCDEF";

constexpr bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

// A blank that may stand around a number or a field: space or tab.
constexpr bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

constexpr char AsciiLower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// The value of a hex digit in either case, or -1.
constexpr int HexDigitValue(char c)
{
    if (IsDigit(c))
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The text without the blanks at either end.
constexpr std::string_view TrimBlanks(std::string_view text)
{
    while (!text.empty() && IsBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

constexpr bool IsBlankText(std::string_view text)
{
    return TrimBlanks(text).empty();
}

// Equal but for the case of ASCII letters.
constexpr bool EqualsIgnoringCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
        return AsciiLower(x) == AsciiLower(y);
    });
}

// The whole text as a number of the type (whole numbers in the base),
// or nullopt: nothing may stand before or after it, not even blanks.
template <typename Number>
std::optional<Number> NumberOf(std::string_view text, [[maybe_unused]] int base = 10)
{
    Number value {};
    const char *end = text.data() + text.size();
    std::from_chars_result read {};
    if constexpr (std::is_floating_point_v<Number>)
        read = std::from_chars(text.data(), end, value);
    else
        read = std::from_chars(text.data(), end, value, base);
    if (text.empty() || read.ec != std::errc() || read.ptr != end)
        return std::nullopt;
    return value;
}

constexpr bool EndsWithIgnoringCase(std::string_view text, std::string_view tail)
{
    return text.size() >= tail.size()
        && EqualsIgnoringCase(text.substr(text.size() - tail.size()), tail);
}

} // namespace modbuscalc
