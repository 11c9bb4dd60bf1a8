#include "core/cell_address.h"

#include "core/number_text.h"

#include <cmath>

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

} // namespace modbuscalc
