#pragma once

// The two conversions between a cell (table, column, row) and its address.
// Both read their inputs from the field set and write their results back as
// text, marking out-of-range results with ErrorMark; neither keeps state.

#include "core/cell_address.h"
#include "core/number_text.h"
#include "form/field_set.h"

#include <string_view>

namespace modbuscalc {

inline constexpr std::string_view CalculateAddressCaption = "Calculate Address";
inline constexpr std::string_view CalculateTablesCaption = "Calculate Tables";

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
