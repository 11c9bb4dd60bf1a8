#pragma once

// An independent description of the texts NumberText may write, for the
// fuzzers to hold its output against.

#include <cctype>
#include <cstddef>
#include <string_view>

namespace modbuscalc::fuzz {

inline bool isDigitChar(char c)
{
    return c >= '0' && c <= '9';
}

inline std::size_t digitRun(std::string_view text, std::size_t pos)
{
    std::size_t end = pos;
    while (end < text.size() && isDigitChar(text[end]))
        ++end;
    return end - pos;
}

// True when text is "0", or [-]positional with its decimal exponent in
// -4..14, or [-]d[<sep>ddd]E(+|-)dd[d] outside that range; at most 15
// significant digits, no trailing fractional zeros, no leading zeros.
inline bool HasNumberTextShape(std::string_view text, char separator)
{
    if (text == "0")
        return true;
    if (!text.empty() && text.front() == '-')
        text.remove_prefix(1);
    if (text.empty() || !isDigitChar(text.front()))
        return false;

    const auto e = text.find('E');
    if (e == std::string_view::npos) {
        // Positional: integer part, optional fraction.
        const std::size_t intDigits = digitRun(text, 0);
        const std::string_view integer = text.substr(0, intDigits);
        std::string_view fraction;
        if (intDigits < text.size()) {
            if (text[intDigits] != separator)
                return false;
            fraction = text.substr(intDigits + 1);
            if (fraction.empty() || digitRun(fraction, 0) != fraction.size()
                || fraction.back() == '0')
                return false;
        }
        if (integer.size() > 1 && integer.front() == '0')
            return false;
        if (integer.size() > 15)
            return false; // exponent 15 or more is written with E
        if (integer == "0") {
            if (fraction.empty())
                return false; // "0" alone was handled; "-0" is not written
            const auto zeros = fraction.find_first_not_of('0');
            if (zeros > 3)
                return false; // below 0.0001 is written with E
            return fraction.size() - zeros <= 15;
        }
        return integer.size() + fraction.size() <= 15;
    }

    // Exponent form: d[<sep>ddd]E(+|-)dd.
    const std::string_view mantissa = text.substr(0, e);
    const std::string_view exponent = text.substr(e + 1);
    if (mantissa.front() == '0')
        return false;
    if (mantissa.size() > 1) {
        if (mantissa[1] != separator || mantissa.size() < 3 || mantissa.back() == '0'
            || digitRun(mantissa, 2) != mantissa.size() - 2 || mantissa.size() - 1 > 15)
            return false;
    }
    if (exponent.size() < 3 || (exponent[0] != '+' && exponent[0] != '-'))
        return false;
    const std::string_view expDigits = exponent.substr(1);
    if (digitRun(expDigits, 0) != expDigits.size() || expDigits.size() > 3)
        return false;
    int value = 0;
    for (char c : expDigits)
        value = value * 10 + (c - '0');
    if (expDigits.size() == 3 && expDigits.front() == '0')
        return false;
    const int signedValue = exponent[0] == '-' ? -value : value;
    return signedValue < -4 || signedValue > 14;
}

} // namespace modbuscalc::fuzz
