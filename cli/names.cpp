#include "cli/names.h"

namespace modbuscalc::cli {

std::string_view TypeNoun(RegisterType type)
{
    switch (type) {
    case RegisterType::Coil:
        return "coil";
    case RegisterType::DiscreteInput:
        return "discrete-input";
    case RegisterType::InputRegister:
        return "input-register";
    case RegisterType::HoldingRegister:
        break;
    }
    return "holding-register";
}

int RegistersPerValue(ValueFormat format)
{
    return format == ValueFormat::U32 || format == ValueFormat::S32 || format == ValueFormat::F32
        ? 2
        : 1;
}

} // namespace modbuscalc::cli
