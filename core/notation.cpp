#include "core/notation.h"

#include "core/number_text.h"
#include "core/text.h"

#include <cmath>
#include <cstdint>

namespace modbuscalc {

std::string HexText(double number)
{
    if (!(number >= 0 && number <= 4294967295.0) || number != std::floor(number))
        return std::string(ErrorMark);
    const auto value = static_cast<std::uint32_t>(number);
    int width = 4;
    while (width < 8 && (value >> (4 * width)) != 0)
        ++width;
    std::string text(static_cast<std::size_t>(width) + 2, '0');
    text[1] = 'x';
    for (int i = 0; i < width; ++i)
        text[text.size() - 1 - static_cast<std::size_t>(i)]
            = UpperHexDigits[(value >> (4 * i)) & 0xF];
    return text;
}

std::string ReferenceText(double pduAddress, RegisterType type)
{
    if (!IsPduAddress(pduAddress))
        return std::string(ErrorMark);
    // The type's digit, then the 1-based register number in five digits.
    std::string text(6, '0');
    text[0] = static_cast<char>('0' + static_cast<int>(type));
    for (int number = static_cast<int>(pduAddress) + 1, i = 5; number > 0; number /= 10, --i)
        text[static_cast<std::size_t>(i)] = static_cast<char>('0' + number % 10);
    return text;
}

bool HasHexPrefix(std::string_view text)
{
    text = TrimBlanks(text);
    return text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
}

std::optional<double> ReadHex(std::string_view text)
{
    text = TrimBlanks(text);
    if (!HasHexPrefix(text) || text.size() == 2)
        return std::nullopt;
    double value = 0;
    for (char c : text.substr(2)) {
        const int digit = HexDigitValue(c);
        if (digit < 0)
            return std::nullopt;
        value = value * 16 + digit;
        if (value > 4294967295.0) // exact: every step below 2^36 is a whole double
            return std::nullopt;
    }
    return value;
}

std::optional<double> ReadReference(std::string_view text, RegisterType type)
{
    text = TrimBlanks(text);
    if (text.size() != 5 && text.size() != 6)
        return std::nullopt;
    for (char c : text)
        if (!IsDigit(c))
            return std::nullopt;
    if (text.front() - '0' != static_cast<int>(type))
        return std::nullopt;
    int registerNumber = 0;
    for (char c : text.substr(1))
        registerNumber = registerNumber * 10 + (c - '0');
    // Five digits: the older form, which reaches register 9999 only.
    const int highest = text.size() == 6 ? 65536 : 9999;
    if (registerNumber < 1 || registerNumber > highest)
        return std::nullopt;
    return registerNumber - 1;
}

std::optional<Reference> ReadAnyReference(std::string_view text)
{
    for (const RegisterType type : { RegisterType::HoldingRegister, RegisterType::InputRegister,
             RegisterType::DiscreteInput, RegisterType::Coil })
        if (const std::optional<double> pdu = ReadReference(text, type))
            return Reference { *pdu, type };
    return std::nullopt;
}

} // namespace modbuscalc
