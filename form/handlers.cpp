#include "form/handlers.h"

#include "form/calculations.h"

#include <string>

namespace modbuscalc {

namespace {

void RepeatLastCalculation(FieldSet &fields)
{
    // The caption is the only memory of the last direction.
    if (fields.caption() == CalculateTablesCaption)
        CalculateTables(fields);
    else
        CalculateAddress(fields);
}

} // namespace

void Form_Load(FieldSet &fields)
{
    fields.setCaption(std::string(CalculateAddressCaption));
}

void Table_KeyUp(FieldSet &fields, int /*keyCode*/, int /*shift*/)
{
    CalculateAddress(fields);
}

void Column_KeyUp(FieldSet &fields, int /*keyCode*/, int /*shift*/)
{
    CalculateAddress(fields);
}

void Row_KeyUp(FieldSet &fields, int /*keyCode*/, int /*shift*/)
{
    CalculateAddress(fields);
}

void Address_KeyUp(FieldSet &fields, int /*keyCode*/, int /*shift*/)
{
    CalculateTables(fields);
}

KeyUpHandler KeyUpHandlerFor(Field field)
{
    switch (field) {
    case Field::Address:
        return Address_KeyUp;
    case Field::Table:
        return Table_KeyUp;
    case Field::Column:
        return Column_KeyUp;
    case Field::Row:
        return Row_KeyUp;
    }
    return Address_KeyUp; // not reached: every Field is listed above
}

void Absolute_Click(FieldSet &fields)
{
    RepeatLastCalculation(fields);
}

void Modbus_Click(FieldSet &fields)
{
    RepeatLastCalculation(fields);
}

} // namespace modbuscalc
