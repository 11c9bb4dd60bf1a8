// A build without device access: every connection fails, saying so.

#include "cli/device.h"

namespace modbuscalc::cli {

std::unique_ptr<Device> Connect(const Connection &, std::string &error)
{
    error = "reading devices is not available in this build";
    return nullptr;
}

bool DeviceAccessAvailable()
{
    return false;
}

} // namespace modbuscalc::cli
