#pragma once

// The calculator's whole state: four field texts, the addressing option and
// the direction caption. The calculations and handlers touch it only through
// this interface, so they run alike against real controls or plain memory.

#include <string>

namespace modbuscalc {

enum class Field { Address, Table, Column, Row };

class FieldSet {
public:
    virtual ~FieldSet() = default;

    // The current text of a field, exactly as it stands.
    virtual std::string text(Field field) const = 0;
    // Replaces a field's text. Must not raise any user event.
    virtual void setText(Field field, std::string text) = 0;
    // True when Modbus (1-based) addressing is chosen, false for absolute.
    virtual bool modbusSelected() const = 0;
    // The direction caption, compared exactly by the option handlers.
    virtual std::string caption() const = 0;
    // Replaces the direction caption. Must not raise any user event.
    virtual void setCaption(std::string caption) = 0;
    // The decimal symbol that number texts are written and read back with.
    virtual char decimalSeparator() const = 0;

protected:
    FieldSet() = default;
    FieldSet(const FieldSet &) = default;
    FieldSet &operator=(const FieldSet &) = default;
};

} // namespace modbuscalc
