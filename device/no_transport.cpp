// A build without device access: every connection fails, saying so.

#include "device/transport.h"

namespace modbuscalc::device {

namespace {

class NoTransport final : public Transport {
public:
    std::optional<DeviceError> open() override
    {
        return DeviceError { DeviceError::Kind::Other, 0,
            "reading devices is not available in this build" };
    }
    bool isOpen() const override { return false; }
    void close() override { }
    ReadResult read(RegisterType, int, int) override { return *open(); }
    WriteResult write(RegisterType, int, std::span<const std::uint16_t>, bool) override
    {
        return open();
    }
    int maxPerRead(RegisterType type) const override { return MaxPerRead(type); }
    bool serial() const override { return false; }
    void setUnit(int) override { }
};

} // namespace

std::unique_ptr<Transport> MakeTransport(const Connection &, Stop &, Trace)
{
    return std::make_unique<NoTransport>();
}

bool DeviceAccessAvailable()
{
    return false;
}

} // namespace modbuscalc::device

// Without libmodbus nothing is served; RunServe says so before it builds one.
#include "device/server.h"

namespace modbuscalc::device {

struct Server::State { };

Server::Server(ServeSettings, Log, Notice)
    : m_state(std::make_unique<State>())
{
}
Server::~Server() = default;
std::optional<std::string> Server::open()
{
    return "serving devices is not available in this build";
}
std::string Server::where() const
{
    return {};
}
void Server::serveConnection(int, const Stop &)
{
}
bool Server::run(const Stop &)
{
    return false;
}
std::uint16_t Server::value(int, RegisterType, int) const
{
    return 0;
}
bool ServingAvailable()
{
    return false;
}

} // namespace modbuscalc::device
