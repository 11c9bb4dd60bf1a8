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
    return "PDU address (0-based): " + NumberText(pdu)
        + "\nRegister number (1-based): " + NumberText(pdu + 1) + "\nHolding-register reference: "
        + ReferenceText(pdu, RegisterType::HoldingRegister) + "\nHex: " + HexText(pdu);
}

} // namespace modbuscalc
