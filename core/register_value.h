#pragma once

// A value held in registers: the formats engineers read and write (16, 32
// and 64 bits, signed, unsigned, hex and float) and the orders in which
// devices lay out their bytes, both ways: registers to text, and text to
// registers, refusing what does not fit.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace modbuscalc {

// Bit: a coil's or a discrete input's one bit, 0 or 1.
enum class ValueFormat { U16, S16, Hex, U32, S32, F32, U64, S64, F64, Bit };

// How a value's bytes lie in its registers, most significant byte named A:
// ABCD as the protocol lays out one register (high word first); CDAB with
// the words the other way round; BADC and DCBA with the bytes of each
// register swapped too. A 16-bit value has its bytes swapped by BADC and
// DCBA; a 64-bit value's four words follow the same pattern.
enum class WordOrder { ABCD, CDAB, BADC, DCBA };

// Registers one value of the format takes: 1, 2 or 4.
int RegistersPerValue(ValueFormat format);

// The value in words (RegistersPerValue of them), as read shows it:
// "1234", "-1", "0x04D2", "3.14".
std::string ValueText(ValueFormat format, WordOrder order, std::span<const std::uint16_t> words);

// The registers to write for a value given as text, or nullopt when the
// text is no value of the format: not a number, a fraction for a whole
// format, beyond its range (70000 as u16, 1e39 as f32), not finite. Whole
// formats take a decimal number or 0x and hex digits; hex takes its digits
// with or without 0x.
std::optional<std::vector<std::uint16_t>> ValueWords(
    ValueFormat format, WordOrder order, std::string_view text);

// The range a format takes, for messages: "0 to 65535".
std::string ValueRange(ValueFormat format);

// A coil's state from 0/1, on/off or true/false in any case; nullopt else.
std::optional<bool> CoilState(std::string_view text);

} // namespace modbuscalc
