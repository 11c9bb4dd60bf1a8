#pragma once

// The two conversions between a cell (table, column, row) and its address.
// Both read their inputs from the field set and write their results back as
// text, marking out-of-range results with ErrorMark; neither keeps state.

#include "core/field_set.h"
#include "core/number_text.h"

#include <string_view>

namespace modbuscalc {

inline constexpr double TableStride = 2048;
inline constexpr double ColumnStride = 256;

inline constexpr double MinCellNumber = 0;
inline constexpr double MaxTable = 31;
inline constexpr double MaxColumn = 7;
inline constexpr double MaxRow = 255;

inline constexpr std::string_view CalculateAddressCaption = "Calculate Address";
inline constexpr std::string_view CalculateTablesCaption = "Calculate Tables";

enum class AddressingMode { Absolute, Modbus };

// What is added to a cell's zero-based address: 0 absolute, 1 Modbus.
constexpr double ModbusOffset(AddressingMode mode)
{
    return mode == AddressingMode::Modbus ? 1.0 : 0.0;
}

// The mode the field set's option buttons select.
AddressingMode CurrentAddressingMode(const FieldSet &fields);

// Table, Column and Row (read leniently) to Address. Sets the caption to
// "Calculate Address". Address becomes "Error" when any cell number lies
// outside 0..31, 0..7, 0..255, or the sum is not a finite number.
// Never writes Table, Column or Row.
void CalculateAddress(FieldSet &fields);

// Address (read leniently) to Table, Column and Row. Sets the caption to
// "Calculate Tables". All three become "Error" when the table falls outside
// 0..31, the column or row is negative, or any of them is not finite.
// Never writes Address.
void CalculateTables(FieldSet &fields);

} // namespace modbuscalc
