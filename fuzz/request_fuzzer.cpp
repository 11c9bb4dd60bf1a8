// The served controller's request path: the bytes of one connection, as a
// master (or anybody) sends them, through the frame guard, libmodbus's
// receive and its reply, under each set of rules. The first byte picks the
// rules.

#include "device/server.h"

#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace {

using namespace modbuscalc::device;

std::unique_ptr<Server> makeServer(int variant)
{
    ServeSettings settings;
    settings.link = TcpEndpoint { "127.0.0.1", 0 };
    settings.rules.units = { 1, 7 };
    if (variant == 1) {
        settings.rules.onlyMapped = true;
        settings.mapped.add(RegisterType::HoldingRegister, 100, 20);
        settings.mapped.add(RegisterType::Coil, 0, 64);
        settings.rules.exceptions.push_back({ std::nullopt, 110, 4 });
    } else if (variant == 2) {
        settings.rules.readOnly = true;
        settings.rules.busyEvery = 3;
        settings.rules.dropEvery = 5;
    } else if (variant == 3) {
        settings.values.push_back({ RegisterType::HoldingRegister, 65534, { 1, 2 } });
        settings.rules.exceptions.push_back({ RegisterType::Coil, 65535, 2 });
    }
    return std::make_unique<Server>(std::move(settings), nullptr, nullptr);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static std::array<std::unique_ptr<Server>, 4> servers
        = { makeServer(0), makeServer(1), makeServer(2), makeServer(3) };
    static const Stop never;
    // Replies stay within the socket's buffer: at most one 260-byte reply
    // for every 8 bytes sent.
    if (size == 0 || size > 2048)
        return 0;
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0)
        return 0;
    const std::size_t sent = static_cast<std::size_t>(::write(ends[0], data + 1, size - 1));
    (void)sent;
    ::shutdown(ends[0], SHUT_WR);
    servers[data[0] % servers.size()]->serveConnection(ends[1], never); // closes ends[1]
    ::close(ends[0]);
    return 0;
}
