#include "core/number_text.h"

#include "core/text.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <system_error>

namespace modbuscalc {

namespace {

constexpr double Infinity = std::numeric_limits<double>::infinity();

// The characters LeadingNumber ignores wherever they stand.
bool isSkippedBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n';
}

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
    bool atEnd() const { return m_pos >= m_text.size(); }
    // The text from the cursor on, blanks and all.
    std::string_view rest() const { return m_text.substr(m_pos); }
    void skip(std::size_t count)
    {
        m_pos += count;
        skipBlanks();
    }
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
    // The digits up to the next blank or other character, taken as one run
    // so that long pasted numbers are copied in bulk.
    std::string_view takeDigitRun()
    {
        const std::size_t start = m_pos;
        while (m_pos < m_text.size() && IsDigit(m_text[m_pos]))
            ++m_pos;
        const std::string_view run = m_text.substr(start, m_pos - start);
        skipBlanks();
        return run;
    }

private:
    void skipBlanks()
    {
        while (m_pos < m_text.size() && isSkippedBlank(m_text[m_pos]))
            ++m_pos;
    }

    std::string_view m_text;
    std::size_t m_pos = 0;
};

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
double readRadixInteger(BlankSkippingCursor &cursor, int base, bool &sawDigit)
{
    std::uint64_t value = 0;
    bool tooWide = false;
    // The whole run is taken even once it is too wide, so that the cursor
    // ends where the number does.
    for (int digit; (digit = digitValue(cursor.peek(), base)) >= 0; cursor.advance()) {
        sawDigit = true;
        value = value * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(digit);
        tooWide = tooWide || value > 0xFFFF'FFFFu;
        value &= 0xFFFF'FFFFu;
    }
    if (tooWide)
        return Infinity;
    if (value <= 0xFFFFu)
        return static_cast<std::int16_t>(value);
    return static_cast<std::int32_t>(value);
}

// Appends the run of decimal digits at the cursor to out; returns how many.
std::size_t takeDigits(BlankSkippingCursor &cursor, std::string &out)
{
    std::size_t count = 0;
    for (std::string_view run; !(run = cursor.takeDigitRun()).empty(); count += run.size())
        out += run;
    return count;
}

// Called when from_chars found the number beyond the double range: the sign
// of the number's decimal exponent tells overflow from underflow.
double outOfRangeValue(std::string_view number)
{
    const bool negative = !number.empty() && number.front() == '-';
    // A plain loop: find_first_of with a set is slow over a megabyte.
    const auto expIt
        = std::find_if(number.begin(), number.end(), [](char c) { return c == 'e' || c == 'E'; });
    const auto expAt = expIt == number.end() ? std::string_view::npos
                                             : static_cast<std::size_t>(expIt - number.begin());
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

// The common case, a signed whole number of at most 15 digits standing
// alone: every such integer is exactly a double, so it needs no general
// decimal conversion. Returns false, reading nothing, for anything else.
bool readShortInteger(BlankSkippingCursor &cursor, double &value)
{
    const std::string_view text = cursor.rest();
    std::size_t i = text.empty() || (text[0] != '-' && text[0] != '+') ? 0 : 1;
    const std::size_t first = i;
    std::uint64_t digits = 0;
    while (i < text.size() && IsDigit(text[i]) && i - first < 16)
        digits = digits * 10 + static_cast<std::uint64_t>(text[i++] - '0');
    if (i == first || i - first > 15)
        return false;
    // Whatever follows must end the number outright, blanks included (they
    // may join more digits on).
    if (i < text.size()) {
        const char next = text[i];
        if (IsDigit(next) || next == '.' || next == 'e' || next == 'E' || isSkippedBlank(next))
            return false;
    }
    const auto magnitude = static_cast<double>(digits);
    value = text[0] == '-' ? -magnitude : magnitude;
    cursor.skip(i);
    return true;
}

// Reads the number at the cursor as LeadingNumber defines it and leaves the
// cursor just past what it read. sawDigit tells whether any digit was read.
double readNumber(BlankSkippingCursor &cursor, bool &sawDigit)
{
    double shortInteger = 0;
    sawDigit = readShortInteger(cursor, shortInteger);
    if (sawDigit)
        return shortInteger;

    if (cursor.take('&')) {
        if (cursor.takeEither('H', 'h'))
            return readRadixInteger(cursor, 16, sawDigit);
        if (cursor.takeEither('O', 'o'))
            return readRadixInteger(cursor, 8, sawDigit);
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
    sawDigit = true;

    // An exponent counts only when at least one digit follows its letter.
    if (cursor.peek() == 'E' || cursor.peek() == 'e') {
        BlankSkippingCursor lookahead = cursor;
        lookahead.advance();
        std::string exponent = "e";
        if (lookahead.take('-'))
            exponent.push_back('-');
        else
            lookahead.take('+');
        if (takeDigits(lookahead, exponent) > 0) {
            number += exponent;
            cursor = lookahead;
        }
    }

    double value = 0.0;
    const char *first = number.data();
    const char *last = first + number.size();
    const auto [end, ec] = std::from_chars(first, last, value);
    if (ec == std::errc::result_out_of_range)
        return outOfRangeValue(number);
    return value;
}

} // namespace

double LeadingNumber(std::string_view text)
{
    BlankSkippingCursor cursor(text);
    bool sawDigit = false;
    return readNumber(cursor, sawDigit);
}

std::optional<double> WholeNumber(std::string_view text)
{
    text = TrimBlanks(text);
    // LeadingNumber would join "1 2" into 12; a whole number has no gaps.
    if (std::any_of(text.begin(), text.end(), isSkippedBlank))
        return std::nullopt;

    BlankSkippingCursor cursor(text);
    bool sawDigit = false;
    const double value = readNumber(cursor, sawDigit);
    if (!sawDigit || !cursor.atEnd())
        return std::nullopt;
    return value;
}

std::string NumberText(double value, char decimalSeparator)
{
    if (!std::isfinite(value))
        return std::string(ErrorMark);
    if (value == 0.0)
        return "0"; // negative zero too

    // Whole numbers of up to 15 digits are already their own 15-digit
    // rounding and are written positionally: the common case, done directly.
    if (std::abs(value) < 1e15 && value == std::trunc(value)) {
        std::array<char, 24> buffer {};
        const auto result = std::to_chars(
            buffer.data(), buffer.data() + buffer.size(), static_cast<std::int64_t>(value));
        return std::string(buffer.data(), result.ptr);
    }

    // to_chars gives the correctly rounded 15 significant digits:
    // "[-]d.ddddddddddddddde[+-]XX[X]".
    std::array<char, 32> scientific {};
    const char *end = std::to_chars(scientific.data(), scientific.data() + scientific.size(), value,
        std::chars_format::scientific, 14)
                          .ptr;
    const bool negative = scientific[0] == '-';
    const char *mantissa = scientific.data() + (negative ? 1 : 0);

    // The significant digits without the point, trailing zeros dropped.
    std::array<char, 15> digitBuffer {};
    digitBuffer[0] = mantissa[0];
    std::copy(mantissa + 2, mantissa + 16, digitBuffer.begin() + 1);
    std::size_t digitCount = digitBuffer.size();
    while (digitCount > 1 && digitBuffer[digitCount - 1] == '0')
        --digitCount;
    const std::string_view digits(digitBuffer.data(), digitCount);

    const char *exponentText = mantissa + 17; // past "d.dddddddddddddde"
    if (*exponentText == '+')
        ++exponentText;
    int exponent = 0;
    std::from_chars(exponentText, end, exponent);

    // Longest text: "-0.000" and 15 digits, or "-d.ddddddddddddddE-308".
    std::array<char, 32> textBuffer {};
    char *out = textBuffer.data();
    const auto put
        = [&out](std::string_view part) { out = std::copy(part.begin(), part.end(), out); };
    if (negative)
        *out++ = '-';

    if (exponent >= -4 && exponent <= 14) {
        if (exponent < 0) {
            *out++ = '0';
            *out++ = decimalSeparator;
            out = std::fill_n(out, -exponent - 1, '0');
            put(digits);
        } else {
            const auto integerDigits = static_cast<std::size_t>(exponent) + 1;
            if (digits.size() <= integerDigits) {
                put(digits);
                out = std::fill_n(out, integerDigits - digits.size(), '0');
            } else {
                put(digits.substr(0, integerDigits));
                *out++ = decimalSeparator;
                put(digits.substr(integerDigits));
            }
        }
    } else {
        *out++ = digits.front();
        if (digits.size() > 1) {
            *out++ = decimalSeparator;
            put(digits.substr(1));
        }
        *out++ = 'E';
        *out++ = exponent < 0 ? '-' : '+';
        const int magnitude = exponent < 0 ? -exponent : exponent;
        if (magnitude < 10)
            *out++ = '0';
        out = std::to_chars(out, textBuffer.data() + textBuffer.size(), magnitude).ptr;
    }
    return std::string(textBuffer.data(), out);
}

double ExactNumber(std::string_view text, char decimalSeparator)
{
    constexpr double NotANumber = std::numeric_limits<double>::quiet_NaN();

    // Only what NumberText writes: it always starts with '-' or a digit,
    // which also keeps from_chars from accepting "inf" or "nan".
    const std::size_t signLength = !text.empty() && text.front() == '-' ? 1 : 0;
    if (text.size() == signLength || !IsDigit(text[signLength]))
        return NotANumber;

    // from_chars knows only '.'; texts with another symbol are translated.
    std::string translated;
    if (decimalSeparator != '.') {
        translated.assign(text);
        for (char &c : translated) {
            if (c == '.')
                return NotANumber;
            if (c == decimalSeparator)
                c = '.';
        }
        text = translated;
    }

    double value = NotANumber;
    const char *last = text.data() + text.size();
    const auto [end, ec] = std::from_chars(text.data(), last, value);
    if (end != last)
        return NotANumber;
    // 15-digit rounding can carry the largest doubles past the range.
    if (ec == std::errc::result_out_of_range)
        return outOfRangeValue(text);
    return ec == std::errc() ? value : NotANumber;
}

} // namespace modbuscalc
