#include "device/device.h"

#include "core/text.h"

#include <algorithm>
#include <cmath>

namespace modbuscalc::device {

std::string Where(const Link &link)
{
    if (const auto *serial = std::get_if<SerialLine>(&link))
        return serial->device;
    const auto &tcp = std::get<TcpEndpoint>(link);
    const bool v6 = tcp.host.find(':') != std::string::npos;
    return (v6 ? '[' + tcp.host + ']' : tcp.host) + ':' + std::to_string(tcp.port);
}

std::optional<TcpEndpoint> EndpointOf(std::string_view text)
{
    const auto portOf = [](std::string_view digits) -> std::optional<int> {
        if (digits.empty() || digits.size() > 5
            || !std::all_of(digits.begin(), digits.end(), IsDigit))
            return std::nullopt;
        const int port = std::stoi(std::string(digits));
        return port >= 1 && port <= 65535 ? std::optional<int>(port) : std::nullopt;
    };
    TcpEndpoint endpoint { std::string(text) };
    if (text.starts_with('[')) {
        // [::1] or [::1]:5020
        const std::size_t close = text.find(']');
        if (close == std::string_view::npos || close == 1)
            return std::nullopt;
        endpoint.host = std::string(text.substr(1, close - 1));
        const std::string_view rest = text.substr(close + 1);
        if (rest.empty())
            return endpoint;
        const std::optional<int> port
            = rest.starts_with(':') ? portOf(rest.substr(1)) : std::nullopt;
        if (!port)
            return std::nullopt;
        endpoint.port = *port;
        return endpoint;
    }
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos || text.find(':', colon + 1) != std::string_view::npos)
        return endpoint.host.empty() ? std::nullopt : std::optional(endpoint); // a name, or IPv6
    const std::optional<int> port = portOf(text.substr(colon + 1));
    if (!port || colon == 0)
        return std::nullopt;
    endpoint.host = std::string(text.substr(0, colon));
    endpoint.port = *port;
    return endpoint;
}

std::optional<std::string> ConnectionProblem(const Connection &connection)
{
    const bool tcp = std::holds_alternative<TcpEndpoint>(connection.link);
    if (const auto *line = std::get_if<SerialLine>(&connection.link)) {
        if (line->device.empty())
            return "give the serial port";
        if (std::find(SerialSpeeds.begin(), SerialSpeeds.end(), line->baud) == SerialSpeeds.end()) {
            std::string speeds;
            for (const int speed : SerialSpeeds)
                speeds += (speeds.empty() ? "" : ", ") + std::to_string(speed);
            return "no serial speed " + std::to_string(line->baud) + "; speeds: " + speeds;
        }
        if (line->dataBits < 5 || line->dataBits > 8)
            return "no " + std::to_string(line->dataBits) + " data bits; 5 to 8";
        if (line->stopBits < 1 || line->stopBits > 2)
            return "no " + std::to_string(line->stopBits) + " stop bits; 1 or 2";
    } else {
        const auto &endpoint = std::get<TcpEndpoint>(connection.link);
        if (endpoint.host.empty())
            return "give the device's host";
        if (endpoint.port < 1 || endpoint.port > 65535)
            return "no port " + std::to_string(endpoint.port) + "; 1 to 65535";
    }
    if (!(connection.timeout >= ShortestTimeout && connection.timeout <= LongestTimeout))
        return "the timeout runs from 0.001 to 3600 seconds";
    if (connection.retries < 0)
        return "the retries are 0 or more";
    // 0 is every unit of a serial line at once, and a gateway's own over TCP.
    const int highestUnit = tcp ? 255 : 247;
    if (connection.unit < 0 || connection.unit > highestUnit)
        return "invalid unit " + std::to_string(connection.unit) + ": 0 to "
            + std::to_string(highestUnit) + (tcp ? " over TCP" : " on a serial line");
    if (!tcp && connection.unit == 0)
        return "unit 0 is every unit of a serial line at once, and none of them answers it: "
               "give the unit to ask (1 to 247)";
    return std::nullopt;
}

std::chrono::microseconds TimeoutOf(double seconds)
{
    return std::chrono::microseconds(std::llround(seconds * 1e6));
}

} // namespace modbuscalc::device
