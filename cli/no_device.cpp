// A build without device access: every connection fails, saying so.

#include "cli/device.h"

namespace modbuscalc::cli {

std::variant<std::unique_ptr<Device>, std::string> Connect(const Connection &)
{
    return std::string("reading devices is not available in this build");
}

bool DeviceAccessAvailable()
{
    return false;
}

} // namespace modbuscalc::cli
