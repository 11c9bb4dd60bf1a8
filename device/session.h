#pragma once

// The policy over a transport: a read without an answer is asked again
// (--retries) on a fresh connection, a write only when retries are asked
// for; a connection closed while idle is
// renewed at once; a device that leaves 3 requests in a row unanswered
// (timeouts, broken links, a gateway's exceptions 10 and 11) is given up
// on, until reset(). Usable from one worker thread while another asks it
// to stop.

#include "device/device.h"
#include "device/stop.h"
#include "device/transport.h"

#include <map>
#include <memory>
#include <optional>
#include <string>

namespace modbuscalc::device {

class Session final : public Device {
public:
    // Requests in a row without an answer after which the device is taken
    // as gone.
    static constexpr int GiveUpAfter = 3;
    // Exception 6: the device is busy; asked again after this many seconds
    // where retries allow.
    static constexpr int BusyException = 6;
    static constexpr double BusyPause = 0.25;

    // retries: further tries of a read that got no answer. stop ends every
    // wait; the transport shares it.
    Session(std::unique_ptr<Transport> transport, int retries, Stop &stop);
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    // Connects now, so that a device out of reach is told before any work:
    // nullopt, or why not.
    std::optional<DeviceError> open();

    ReadResult read(RegisterType type, int address, int count) override;
    int maxPerRead(RegisterType type) const override;
    // Sent again after no answer only when retries asks for it: a command
    // register must never see one write twice on our own account.
    WriteResult write(RegisterType type, int address, std::span<const std::uint16_t> values,
        bool multiple) override;

    // The device was given up on: every request fails at once with the
    // error that said so.
    bool gaveUp() const { return m_gaveUp.has_value(); }
    // The error that said so, while given up on.
    const std::optional<DeviceError> &gaveUpError() const { return m_gaveUp; }
    // Asks afresh: forgets giving up and the requests without an answer.
    void reset();
    // What the message of giving up ends with: "giving up", or what a
    // caller that asks again later does ("asked again at the next poll").
    void setGivingUpWords(std::string words) { m_givingUp = std::move(words); }

    // The unit the requests from now on go to (a scan's, or a map's line's).
    // Each unit is given up on by itself: a dead unit behind a gateway
    // costs the others on it nothing. A link that cannot be opened at all
    // is given up on for every unit.
    void setUnit(int unit);

private:
    // Counts a request without an answer; true once the device is given up on.
    bool unanswered(const DeviceError &error);
    // It answered, busy: waits before asking again.
    void pauseWhileBusy();
    // Connects where the connection is closed: nullopt once open, else the
    // failure (counted as no answer); final says to return it (stopped, or
    // given up on) rather than try again.
    std::optional<DeviceError> ensureOpen(bool &final);

    std::unique_ptr<Transport> m_transport;
    int m_retries;
    Stop &m_stop;
    int m_unanswered = 0; // requests in a row without an answer
    int m_answeredHere = 0; // answers on the connection open now
    std::optional<DeviceError> m_gaveUp;
    std::string m_givingUp = "giving up";
    // The units not asked now, and how each stands; -1 the transport's own.
    struct Standing {
        int unanswered = 0;
        std::optional<DeviceError> gaveUp;
    };
    int m_unit = -1;
    std::map<int, Standing> m_units;
    std::optional<DeviceError> m_linkGaveUp; // the link itself would not open
};

} // namespace modbuscalc::device
