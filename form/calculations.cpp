#include "form/calculations.h"

#include <string>

namespace modbuscalc {

AddressingMode CurrentAddressingMode(const FieldSet &fields)
{
    return fields.modbusSelected() ? AddressingMode::Modbus : AddressingMode::Absolute;
}

void CalculateAddress(FieldSet &fields)
{
    fields.setCaption(std::string(CalculateAddressCaption));

    const CellNumbers cell { LeadingNumber(fields.text(Field::Table)),
        LeadingNumber(fields.text(Field::Column)), LeadingNumber(fields.text(Field::Row)) };
    // Fractions are allowed; only the limits are enforced. Infinite input
    // fails the limits too, so no "inf" can reach the field.
    const std::optional<double> address = AddressOfCell(cell, CurrentAddressingMode(fields));
    fields.setText(Field::Address,
        address ? NumberText(*address, fields.decimalSeparator()) : std::string(ErrorMark));
}

void CalculateTables(FieldSet &fields)
{
    fields.setCaption(std::string(CalculateTablesCaption));

    const std::optional<CellNumbers> cell
        = CellOfAddress(LeadingNumber(fields.text(Field::Address)), CurrentAddressingMode(fields));
    if (!cell) {
        fields.setText(Field::Table, std::string(ErrorMark));
        fields.setText(Field::Column, std::string(ErrorMark));
        fields.setText(Field::Row, std::string(ErrorMark));
        return;
    }
    // The numbers come rounded as the window writes them: writing them again
    // gives the same texts.
    const char separator = fields.decimalSeparator();
    fields.setText(Field::Table, NumberText(cell->table, separator));
    fields.setText(Field::Column, NumberText(cell->column, separator));
    fields.setText(Field::Row, NumberText(cell->row, separator));
}

} // namespace modbuscalc
