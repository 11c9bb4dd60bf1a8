#include "cli/names.h"

namespace modbuscalc::cli {

int RegistersPerValue(ValueFormat format)
{
    return format == ValueFormat::U32 || format == ValueFormat::S32 || format == ValueFormat::F32
        ? 2
        : 1;
}

} // namespace modbuscalc::cli
