#pragma once

// What each user event does. A key release in a cell field computes the
// address; one in Address computes the cell; a change of addressing mode
// repeats whichever of the two ran last, as the direction caption records.

#include "form/field_set.h"

namespace modbuscalc {

// Sets the direction caption to "Calculate Address", before the window shows.
void Form_Load(FieldSet &fields);

// Key releases in a field. Every released key counts, editing or not (arrows,
// Shift, Tab arriving from another field); keyCode and shift are ignored.
void Table_KeyUp(FieldSet &fields, int keyCode, int shift);
void Column_KeyUp(FieldSet &fields, int keyCode, int shift);
void Row_KeyUp(FieldSet &fields, int keyCode, int shift);
void Address_KeyUp(FieldSet &fields, int keyCode, int shift);

using KeyUpHandler = void (*)(FieldSet &fields, int keyCode, int shift);

// The key-release handler of a field: Table_KeyUp for Field::Table, and so on.
KeyUpHandler KeyUpHandlerFor(Field field);

// A user's selection of an addressing mode, after the selection has changed:
// repeats CalculateTables when the caption reads exactly "Calculate Tables",
// otherwise CalculateAddress.
void Absolute_Click(FieldSet &fields);
void Modbus_Click(FieldSet &fields);

} // namespace modbuscalc
