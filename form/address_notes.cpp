#include "form/address_notes.h"

#include "core/notation.h"
#include "core/number_text.h"
#include "form/calculations.h"

namespace modbuscalc {

std::string AddressNotes(const FieldSet &fields)
{
    const double pdu
        = LeadingNumber(fields.text(Field::Address)) - ModbusOffset(CurrentAddressingMode(fields));
    if (!IsPduAddress(pdu))
        return "Not the address of a single register";
    return NotationNotes(static_cast<int>(pdu), RegisterType::HoldingRegister);
}

std::string NotationNotes(int pdu, RegisterType type)
{
    const auto kind = [type] {
        switch (type) {
        case RegisterType::Coil:
            return "Coil";
        case RegisterType::DiscreteInput:
            return "Discrete-input";
        case RegisterType::InputRegister:
            return "Input-register";
        case RegisterType::HoldingRegister:
            break;
        }
        return "Holding-register";
    };
    return "PDU address (0-based): " + std::to_string(pdu)
        + "\nRegister number (1-based): " + std::to_string(pdu + 1) + '\n' + kind()
        + " reference: " + ReferenceText(pdu, type) + "\nHex: " + HexText(pdu);
}

} // namespace modbuscalc
