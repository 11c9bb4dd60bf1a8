#pragma once

// Cells and addresses as numbers. The conversions follow the window's rules
// exactly (the same limits, the same rounding), so that the window's
// calculations on field texts and the command line share one path.

#include <optional>

namespace modbuscalc {

inline constexpr double TableStride = 2048;
inline constexpr double ColumnStride = 256;

inline constexpr double MinCellNumber = 0;
inline constexpr double MaxTable = 31;
inline constexpr double MaxColumn = 7;
inline constexpr double MaxRow = 255;

enum class AddressingMode { Absolute, Modbus };

// What is added to a cell's zero-based address: 0 absolute, 1 Modbus.
constexpr double ModbusOffset(AddressingMode mode)
{
    return mode == AddressingMode::Modbus ? 1.0 : 0.0;
}

struct CellNumbers {
    double table, column, row;
};

// table * 2048 + column * 256 + row, plus 1 in Modbus addressing. Fractions
// are kept. nullopt when a number lies outside 0..31, 0..7, 0..255 (or is
// NaN), and when the sum is not finite.
std::optional<double> AddressOfCell(const CellNumbers &cell, AddressingMode mode);

// The cell of an address (less 1 in Modbus addressing): the table and column
// floored, the row keeping any fraction, each rounded to 15 significant
// digits as the window writes it. nullopt when the table falls outside
// 0..31, the column or row below 0, or a step is not finite.
std::optional<CellNumbers> CellOfAddress(double address, AddressingMode mode);

// The highest 0-based (PDU) address: every cell has one of 0..65535.
inline constexpr double MaxPduAddress = 65535;

// True for a whole number 0..65535.
bool IsPduAddress(double address);

} // namespace modbuscalc
