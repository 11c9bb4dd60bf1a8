#pragma once

// The notations other Modbus tools write an address in: hex, and the 5- and
// 6-digit references that carry the register type.

#include "core/cell_address.h"

#include <optional>
#include <string>
#include <string_view>

namespace modbuscalc {

// What kind of data a 6-digit reference names; the value is its leading digit.
enum class RegisterType { Coil = 0, DiscreteInput = 1, InputRegister = 3, HoldingRegister = 4 };

// "0x" and four or more upper-case hex digits: 2305 -> "0x0901". The number
// must be a whole number 0..0xFFFFFFFF; anything else gives "Error".
std::string HexText(double number);

// The 6-digit reference of a 0-based address: the type's digit, then the
// 1-based register number in five digits (2305 holding -> "402306",
// 0 coil -> "000001"). Not a PDU address: "Error".
std::string ReferenceText(double pduAddress, RegisterType type);

// Reads "0x" or "0X" and one or more hex digits, surrounded by nothing but
// blanks, as an unsigned number; nullopt for anything else, and for a value
// above 0xFFFFFFFF.
std::optional<double> ReadHex(std::string_view text);

// True when the text starts (after blanks) with "0x" or "0X".
bool HasHexPrefix(std::string_view text);

// Reads a reference of the given type to its 0-based address: six digits
// (the type's digit and a register number 00001..65536), or five digits
// where that older form exists (the type's digit and 0001..9999, as in
// 40001). nullopt for anything else: another type's digit, other lengths,
// a register number of 0, anything but digits around blanks.
std::optional<double> ReadReference(std::string_view text, RegisterType type);

// A reference of whatever type its first digit names: 4 holding register,
// 3 input register, 1 discrete input, 0 coil. nullopt as above.
struct Reference {
    double pduAddress;
    RegisterType type;
};
std::optional<Reference> ReadAnyReference(std::string_view text);

} // namespace modbuscalc
