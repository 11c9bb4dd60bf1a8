#pragma once

// Reading and writing the numbers that live as text in the calculator's
// fields. Every value is a double; no integer type ever holds a field value.

#include <optional>
#include <string>
#include <string_view>

namespace modbuscalc {

// Stands in a field in place of a number that is out of range or not finite.
inline constexpr std::string_view ErrorMark = "Error";

// Reads the number a user's text begins with, leniently; never fails.
// Spaces, tabs and line feeds are ignored wherever they stand. "&H"/"&O"
// prefixes read hexadecimal/octal integers, taken as signed 16-bit when at
// most 0xFFFF, else as signed 32-bit; a run wider than 32 bits is +infinity.
// Otherwise reads [+-]digits[.digits][(E|e)[+-]digits] as far as the text
// fits that shape; an exponent letter without digits is not part of it.
// No mantissa digit reads as 0; beyond the double range reads as
// +-infinity and below its smallest magnitude as 0. Never returns NaN.
// Only '.' is a decimal point, whatever the locale. Linear in text.size().
double LeadingNumber(std::string_view text);

// The value of a text that is wholly one number in a form LeadingNumber reads
// ("12", "-0.5", "1E3", "5.", "&HFF"), with nothing else but spaces and tabs
// before and after it; the value is exactly what LeadingNumber gives. Returns
// nullopt for anything else: an empty or blank text, trailing characters
// ("12abc", "5E"), blanks inside the number ("1 2"), a prefix or sign without
// digits ("&H", "-"). Linear in text.size().
std::optional<double> WholeNumber(std::string_view text);

// Writes value rounded to 15 significant digits: positional when its decimal
// exponent is -4..14 ("10241", "0.5", "-1"), otherwise "d.dddE+XX" with at
// least two exponent digits ("1E+15", "1E-05"). Trailing zeros are dropped,
// zero (negative zero too) is "0", and a non-finite value is "Error".
std::string NumberText(double value, char decimalSeparator = '.');

// Reads back a text that NumberText wrote with the same separator, returning
// the nearest double (+-infinity where rounding carried it past the range).
// Any other text, "Error" included, gives NaN.
double ExactNumber(std::string_view text, char decimalSeparator = '.');

} // namespace modbuscalc
