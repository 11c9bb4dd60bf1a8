#include "core/address_conversion.h"

#include <cmath>
#include <string>

namespace modbuscalc {

namespace {

// Written as "within" rather than "not outside" so that NaN is never valid.
bool isWithin(double value, double max)
{
    return value >= MinCellNumber && value <= max;
}

} // namespace

AddressingMode CurrentAddressingMode(const FieldSet &fields)
{
    return fields.modbusSelected() ? AddressingMode::Modbus : AddressingMode::Absolute;
}

void CalculateAddress(FieldSet &fields)
{
    fields.setCaption(std::string(CalculateAddressCaption));

    const double offset = ModbusOffset(CurrentAddressingMode(fields));
    const double table = LeadingNumber(fields.text(Field::Table));
    const double column = LeadingNumber(fields.text(Field::Column));
    const double row = LeadingNumber(fields.text(Field::Row));

    // Fractions are allowed; only the limits are enforced. Infinite input
    // fails the limits too, so no "inf" can reach the field.
    const bool valid
        = isWithin(table, MaxTable) && isWithin(column, MaxColumn) && isWithin(row, MaxRow);
    if (!valid) {
        fields.setText(Field::Address, std::string(ErrorMark));
        return;
    }
    const double address = ((table * TableStride + column * ColumnStride) + row) + offset;
    fields.setText(Field::Address, NumberText(address, fields.decimalSeparator()));
}

void CalculateTables(FieldSet &fields)
{
    fields.setCaption(std::string(CalculateTablesCaption));

    const char separator = fields.decimalSeparator();
    const double offset = ModbusOffset(CurrentAddressingMode(fields));
    const double x = LeadingNumber(fields.text(Field::Address)) - offset;

    // Each step goes on from the numbers as written (rounded to 15 digits),
    // so that later steps use exactly the numbers the user sees.
    const std::string tableText = NumberText(std::floor(x / TableStride), separator);
    const double table = ExactNumber(tableText, separator);
    const std::string columnText
        = NumberText(std::floor((x - table * TableStride) / ColumnStride), separator);
    const double column = ExactNumber(columnText, separator);
    // The row keeps any fraction of the address.
    const std::string rowText
        = NumberText((x - table * TableStride) - column * ColumnStride, separator);
    const double row = ExactNumber(rowText, separator);

    // For a table within range the column is at most 7 and the row below
    // 256, so only those two lower limits need testing. A non-finite step
    // was written as "Error", which reads back as NaN and fails here.
    const bool valid = isWithin(table, MaxTable) && column >= MinCellNumber && row >= MinCellNumber;
    if (!valid) {
        fields.setText(Field::Table, std::string(ErrorMark));
        fields.setText(Field::Column, std::string(ErrorMark));
        fields.setText(Field::Row, std::string(ErrorMark));
        return;
    }
    fields.setText(Field::Table, tableText);
    fields.setText(Field::Column, columnText);
    fields.setText(Field::Row, rowText);
}

} // namespace modbuscalc
