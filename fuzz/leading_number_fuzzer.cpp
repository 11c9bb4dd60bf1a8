// LeadingNumber on arbitrary bytes: never crashes, never NaN, and wherever
// the text (less its spaces, tabs and line feeds) is a plain decimal number
// within the double range, the same value as the C library's strtod.

#include "core/number_text.h"

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <locale.h>
#include <string>
#include <string_view>

namespace {

bool isPlainDecimal(std::string_view text)
{
    std::size_t i = 0;
    const auto digits = [&] {
        const std::size_t start = i;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9')
            ++i;
        return i - start;
    };
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        ++i;
    std::size_t mantissa = digits();
    if (i < text.size() && text[i] == '.') {
        ++i;
        mantissa += digits();
    }
    if (mantissa == 0)
        return false;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < text.size() && (text[i] == '+' || text[i] == '-'))
            ++i;
        if (digits() == 0)
            return false;
    }
    return i == text.size();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    const double value = modbuscalc::LeadingNumber(text);
    if (std::isnan(value))
        std::abort();

    std::string compact;
    for (char c : text)
        if (c != ' ' && c != '\t' && c != '\n')
            compact.push_back(c);
    if (!isPlainDecimal(compact))
        return 0;

    static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", nullptr);
    errno = 0;
    const double reference = strtod_l(compact.c_str(), nullptr, cLocale);
    if (errno == ERANGE)
        return 0; // beyond the range, or subnormal: checked by the unit tests
    if (value != reference)
        std::abort();
    return 0;
}
