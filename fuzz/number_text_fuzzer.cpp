// NumberText and ExactNumber on arbitrary doubles: the text has exactly the
// promised shape, and reads back to the value rounded to 15 significant
// digits (C's printf and strtod being the independent reference).

#include "core/number_text.h"
#include "fuzz/number_shape.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    double value = 0;
    if (size < sizeof value)
        return 0;
    std::memcpy(&value, data, sizeof value);
    const char separator = size > sizeof value && (data[sizeof value] & 1) ? ',' : '.';

    const std::string text = modbuscalc::NumberText(value, separator);
    if (!std::isfinite(value)) {
        if (text != "Error")
            std::abort();
        return 0;
    }
    if (!modbuscalc::fuzz::HasNumberTextShape(text, separator))
        std::abort();

    char reference[64];
    std::snprintf(reference, sizeof reference, "%.14e", value);
    double rounded = std::strtod(reference, nullptr); // inf where rounding overflows
    if (rounded == 0)
        rounded = 0; // negative zero is written "0"
    const double readBack = modbuscalc::ExactNumber(text, separator);
    if (readBack != rounded || std::signbit(readBack) != std::signbit(rounded))
        std::abort();
    return 0;
}
