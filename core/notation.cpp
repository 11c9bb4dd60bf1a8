#include "core/notation.h"

#include "core/number_text.h"

#include <cmath>
#include <cstdint>

namespace modbuscalc {

namespace {

// Written as "within" rather than "not outside" so that NaN is never valid.
bool isWithin(double value, double max)
{
    return value >= MinCellNumber && value <= max;
}

// A value as the window writes it and reads it back: rounded to 15
// significant digits, or NaN where it is not finite.
double asWritten(double value)
{
    return ExactNumber(NumberText(value));
}

std::string_view trimmed(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

} // namespace

std::optional<double> AddressOfCell(const CellNumbers &cell, AddressingMode mode)
{
    if (!isWithin(cell.table, MaxTable) || !isWithin(cell.column, MaxColumn)
        || !isWithin(cell.row, MaxRow))
        return std::nullopt;
    const double address
        = ((cell.table * TableStride + cell.column * ColumnStride) + cell.row) + ModbusOffset(mode);
    if (!std::isfinite(address))
        return std::nullopt;
    return address;
}

std::optional<CellNumbers> CellOfAddress(double address, AddressingMode mode)
{
    const double x = address - ModbusOffset(mode);
    // Each step goes on from the numbers as written, so that later steps use
    // exactly the numbers the user sees.
    const double table = asWritten(std::floor(x / TableStride));
    const double column = asWritten(std::floor((x - table * TableStride) / ColumnStride));
    const double row = asWritten((x - table * TableStride) - column * ColumnStride);
    // For a table within range the column is at most 7 and the row below
    // 256, so only those two lower limits need testing; NaN fails them all.
    if (!isWithin(table, MaxTable) || !(column >= MinCellNumber) || !(row >= MinCellNumber))
        return std::nullopt;
    return CellNumbers { table, column, row };
}

bool IsPduAddress(double address)
{
    return address >= 0 && address <= MaxPduAddress && address == std::floor(address);
}

std::string HexText(double number)
{
    if (!(number >= 0 && number <= 4294967295.0) || number != std::floor(number))
        return std::string(ErrorMark);
    constexpr std::string_view Digits = "0123456789ABCDEF";
    const auto value = static_cast<std::uint32_t>(number);
    int width = 4;
    while (width < 8 && (value >> (4 * width)) != 0)
        ++width;
    std::string text(static_cast<std::size_t>(width) + 2, '0');
    text[1] = 'x';
    for (int i = 0; i < width; ++i)
        text[text.size() - 1 - static_cast<std::size_t>(i)] = Digits[(value >> (4 * i)) & 0xF];
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
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t'))
        ++i;
    return text.size() >= i + 2 && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X');
}

std::optional<double> ReadHex(std::string_view text)
{
    text = trimmed(text);
    if (!HasHexPrefix(text) || text.size() == 2)
        return std::nullopt;
    double value = 0;
    for (char c : text.substr(2)) {
        int digit = 0;
        if (isDigit(c))
            digit = c - '0';
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            return std::nullopt;
        value = value * 16 + digit;
        if (value > 4294967295.0) // exact: every step below 2^36 is a whole double
            return std::nullopt;
    }
    return value;
}

std::optional<double> ReadReference(std::string_view text, RegisterType type)
{
    text = trimmed(text);
    if (text.size() != 5 && text.size() != 6)
        return std::nullopt;
    for (char c : text)
        if (!isDigit(c))
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

} // namespace modbuscalc
