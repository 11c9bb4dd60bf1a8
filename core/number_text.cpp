#include "core/number_text.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <system_error>

namespace modbuscalc {

namespace {

constexpr double Infinity = std::numeric_limits<double>::infinity();

// Walks a text as if every space, tab and line feed had been removed first,
// without copying it.
class BlankSkippingCursor {
public:
    explicit BlankSkippingCursor(std::string_view text)
        : m_text(text)
    {
        skipBlanks();
    }

    // The current character, or '\0' at the end (which no number accepts).
    char peek() const { return m_pos < m_text.size() ? m_text[m_pos] : '\0'; }
    void advance()
    {
        ++m_pos;
        skipBlanks();
    }
    bool take(char c)
    {
        if (peek() != c)
            return false;
        advance();
        return true;
    }
    bool takeEither(char a, char b) { return take(a) || take(b); }

private:
    void skipBlanks()
    {
        while (m_pos < m_text.size()
            && (m_text[m_pos] == ' ' || m_text[m_pos] == '\t' || m_text[m_pos] == '\n'))
            ++m_pos;
    }

    std::string_view m_text;
    std::size_t m_pos = 0;
};

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

int digitValue(char c, int base)
{
    int value = base;
    if (c >= '0' && c <= '9')
        value = c - '0';
    else if (c >= 'a' && c <= 'f')
        value = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
        value = c - 'A' + 10;
    return value < base ? value : -1;
}

// The digits after "&H" or "&O": signed 16-bit up to 0xFFFF, signed 32-bit
// above that, and +infinity once the run no longer fits in 32 bits.
double readRadixInteger(BlankSkippingCursor cursor, int base)
{
    std::uint64_t value = 0;
    for (int digit; (digit = digitValue(cursor.peek(), base)) >= 0; cursor.advance()) {
        value = value * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(digit);
        if (value > 0xFFFF'FFFFu)
            return Infinity;
    }
    if (value <= 0xFFFFu)
        return static_cast<std::int16_t>(value);
    return static_cast<std::int32_t>(value);
}

// Appends the run of decimal digits at the cursor to out; returns how many.
std::size_t takeDigits(BlankSkippingCursor &cursor, std::string &out)
{
    std::size_t count = 0;
    for (; isDigit(cursor.peek()); cursor.advance(), ++count)
        out.push_back(cursor.peek());
    return count;
}

// Called when from_chars found the number beyond the double range: the sign
// of the number's decimal exponent tells overflow from underflow.
double outOfRangeValue(std::string_view number)
{
    const bool negative = !number.empty() && number.front() == '-';
    const auto expAt = number.find_first_of("eE");
    const std::string_view mantissa = number.substr(0, expAt);

    // Exponent of the mantissa's leading non-zero digit, as written.
    std::int64_t leading = 0;
    const auto point = mantissa.find('.');
    const std::string_view intPart = mantissa.substr(0, point);
    const auto firstNonZero = intPart.find_first_not_of("-0");
    if (firstNonZero != std::string_view::npos) {
        leading = static_cast<std::int64_t>(intPart.size() - firstNonZero) - 1;
    } else if (point != std::string_view::npos) {
        const std::string_view fraction = mantissa.substr(point + 1);
        leading = -static_cast<std::int64_t>(fraction.find_first_not_of('0')) - 1;
    }

    std::int64_t exponent = 0;
    if (expAt != std::string_view::npos) {
        std::string_view digits = number.substr(expAt + 1);
        const bool expNegative = !digits.empty() && digits.front() == '-';
        if (!digits.empty() && (digits.front() == '-' || digits.front() == '+'))
            digits.remove_prefix(1);
        // Saturate: anything this large is far outside the double range.
        constexpr std::int64_t cap = 1'000'000'000'000;
        for (char c : digits)
            exponent = std::min<std::int64_t>(exponent * 10 + (c - '0'), cap);
        if (expNegative)
            exponent = -exponent;
    }

    const double magnitude = leading + exponent > 0 ? Infinity : 0.0;
    return negative ? -magnitude : magnitude;
}

} // namespace

double LeadingNumber(std::string_view text)
{
    BlankSkippingCursor cursor(text);

    if (cursor.take('&')) {
        if (cursor.takeEither('H', 'h'))
            return readRadixInteger(cursor, 16);
        if (cursor.takeEither('O', 'o'))
            return readRadixInteger(cursor, 8);
        return 0.0;
    }

    // Collect the accepted characters in the form from_chars reads.
    std::string number;
    if (cursor.take('-'))
        number.push_back('-');
    else
        cursor.take('+');

    std::size_t mantissaDigits = takeDigits(cursor, number);
    if (cursor.take('.')) {
        number.push_back('.');
        mantissaDigits += takeDigits(cursor, number);
    }
    if (mantissaDigits == 0)
        return 0.0;

    // An exponent counts only when at least one digit follows its letter.
    if (cursor.peek() == 'E' || cursor.peek() == 'e') {
        BlankSkippingCursor lookahead = cursor;
        lookahead.advance();
        std::string exponent = "e";
        if (lookahead.take('-'))
            exponent.push_back('-');
        else
            lookahead.take('+');
        if (takeDigits(lookahead, exponent) > 0)
            number += exponent;
    }

    double value = 0.0;
    const char *first = number.data();
    const char *last = first + number.size();
    const auto [end, ec] = std::from_chars(first, last, value);
    if (ec == std::errc::result_out_of_range)
        return outOfRangeValue(number);
    return value;
}

std::string NumberText(double value, char decimalSeparator)
{
    if (!std::isfinite(value))
        return std::string(ErrorMark);
    if (value == 0.0)
        return "0"; // negative zero too

    // to_chars gives the correctly rounded 15 significant digits:
    // "[-]d.ddddddddddddddde[+-]XX".
    std::array<char, 32> buffer {};
    const auto result = std::to_chars(
        buffer.data(), buffer.data() + buffer.size(), value, std::chars_format::scientific, 14);
    const std::string_view scientific(
        buffer.data(), static_cast<std::size_t>(result.ptr - buffer.data()));

    const bool negative = scientific.front() == '-';
    const auto ePos = scientific.find('e');
    std::string digits;
    for (char c : scientific.substr(negative ? 1 : 0, ePos - (negative ? 1 : 0)))
        if (c != '.')
            digits.push_back(c);
    while (digits.size() > 1 && digits.back() == '0')
        digits.pop_back();

    std::string_view exponentText = scientific.substr(ePos + 1);
    if (exponentText.front() == '+')
        exponentText.remove_prefix(1);
    int exponent = 0;
    std::from_chars(exponentText.data(), exponentText.data() + exponentText.size(), exponent);

    std::string text;
    if (negative)
        text.push_back('-');

    if (exponent >= -4 && exponent <= 14) {
        if (exponent < 0) {
            text += '0';
            text += decimalSeparator;
            text.append(static_cast<std::size_t>(-exponent - 1), '0');
            text += digits;
        } else {
            const auto integerDigits = static_cast<std::size_t>(exponent) + 1;
            if (digits.size() <= integerDigits) {
                text += digits;
                text.append(integerDigits - digits.size(), '0');
            } else {
                text.append(digits, 0, integerDigits);
                text += decimalSeparator;
                text.append(digits, integerDigits);
            }
        }
        return text;
    }

    text += digits.front();
    if (digits.size() > 1) {
        text += decimalSeparator;
        text.append(digits, 1);
    }
    text += 'E';
    text += exponent < 0 ? '-' : '+';
    const int magnitude = exponent < 0 ? -exponent : exponent;
    if (magnitude < 10)
        text += '0';
    text += std::to_string(magnitude);
    return text;
}

double ExactNumber(std::string_view text, char decimalSeparator)
{
    constexpr double NotANumber = std::numeric_limits<double>::quiet_NaN();

    // Only what NumberText writes: it always starts with '-' or a digit,
    // which also keeps from_chars from accepting "inf" or "nan".
    const std::size_t signLength = !text.empty() && text.front() == '-' ? 1 : 0;
    if (text.size() == signLength || !isDigit(text[signLength]))
        return NotANumber;

    std::string number(text);
    for (char &c : number) {
        if (c == decimalSeparator)
            c = '.';
        else if (c == '.')
            return NotANumber;
    }

    double value = NotANumber;
    const char *last = number.data() + number.size();
    const auto [end, ec] = std::from_chars(number.data(), last, value);
    if (end != last)
        return NotANumber;
    // 15-digit rounding can carry the largest doubles past the range.
    if (ec == std::errc::result_out_of_range)
        return outOfRangeValue(number);
    return ec == std::errc() ? value : NotANumber;
}

} // namespace modbuscalc
