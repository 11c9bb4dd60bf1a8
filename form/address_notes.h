#pragma once

// The Address field's tooltip: the address it holds in every notation other
// Modbus tools use, so that the user can copy the form another tool wants.

#include "core/notation.h"
#include "form/field_set.h"

#include <string>

namespace modbuscalc {

// For an Address that reads (as the window reads it, less 1 in Modbus
// addressing) as a whole 0-based address 0..65535: its PDU address, register
// number, holding-register reference and hex, one per line. For anything
// else, a line saying it names no single register.
std::string AddressNotes(const FieldSet &fields);

// A PDU address 0..65535 in the notations above, the reference being of the
// type's: "Coil reference: 000001".
std::string NotationNotes(int pdu, RegisterType type);

} // namespace modbuscalc
