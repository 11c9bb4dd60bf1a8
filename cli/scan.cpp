#include "cli/scan.h"

#include "cli/console.h"
#include "cli/names.h"

#include <array>

namespace modbuscalc::cli {

int RunScan(Job &job, Output &output)
{
    const Options &options = job.invocation.options;
    device::Session &device = *job.device;
    constexpr std::array<RegisterType, 4> Types = { RegisterType::HoldingRegister,
        RegisterType::InputRegister, RegisterType::Coil, RegisterType::DiscreteInput };
    bool any = false;
    for (int unit = options.firstUnit; unit <= options.lastUnit; ++unit) {
        if (job.stop->requested())
            break;
        ShowProgress("unit " + std::to_string(unit) + " of " + std::to_string(options.lastUnit));
        device.setUnit(unit);
        device.reset();
        bool present = false;
        std::string line = std::to_string(unit);
        for (const RegisterType type : Types) {
            const device::ReadResult result = device.read(type, 0, 1);
            const auto *error = std::get_if<device::DeviceError>(&result);
            if (error && error->kind == device::DeviceError::Kind::Stopped)
                break;
            const bool answered = !error
                || (error->kind == device::DeviceError::Kind::Exception
                    && !device::IsGatewayException(error->exception));
            if (!answered && !present)
                break; // nobody there: one request was enough
            present = present || answered;
            const bool serves = !error || error->exception == 2 || error->exception == 3;
            if (answered && serves)
                line += ' ' + std::string(NameOf(RegisterTypeNames, type));
        }
        if (!present || job.stop->requested())
            continue;
        any = true;
        line += '\n';
        output.write(line, true);
    }
    ShowProgress(std::string());
    if (!any && !job.stop->requested()) {
        std::string units = std::to_string(options.firstUnit);
        if (options.lastUnit > options.firstUnit)
            units += '-' + std::to_string(options.lastUnit);
        Report("no unit answered (units " + units + ')');
    }
    return any ? ExitOk : ExitDataProblem;
}

} // namespace modbuscalc::cli
