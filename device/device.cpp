#include "device/device.h"

namespace modbuscalc::device {

std::string Where(const Link &link)
{
    if (const auto *serial = std::get_if<SerialLine>(&link))
        return serial->device;
    const auto &tcp = std::get<TcpEndpoint>(link);
    const bool v6 = tcp.host.find(':') != std::string::npos;
    return (v6 ? '[' + tcp.host + ']' : tcp.host) + ':' + std::to_string(tcp.port);
}

} // namespace modbuscalc::device
