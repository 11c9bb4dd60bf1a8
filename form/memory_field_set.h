#pragma once

// The calculator's state held in plain memory, starting where the window
// starts: the layout's initial texts, option and caption.

#include "form/field_set.h"

#include <array>
#include <string>

namespace modbuscalc {

class MemoryFieldSet final : public FieldSet {
public:
    // decimalSeparator is the symbol number texts are written with, as the
    // user's locale would give it.
    explicit MemoryFieldSet(char decimalSeparator = '.');

    std::string text(Field field) const override;
    void setText(Field field, std::string text) override;
    bool modbusSelected() const override;
    std::string caption() const override;
    void setCaption(std::string caption) override;
    char decimalSeparator() const override;

    // Stands in for the option buttons: true selects Modbus, false Absolute.
    void setModbusSelected(bool selected);

private:
    std::array<std::string, 4> m_texts; // indexed by Field
    bool m_modbusSelected;
    std::string m_caption;
    char m_decimalSeparator;
};

} // namespace modbuscalc
