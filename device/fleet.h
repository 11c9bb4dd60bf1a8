#pragma once

// The devices a map names, line by line: each link (a TCP host, a serial
// line) is one session, opened on first use, and its units take turns on
// it, because one link carries one request at a time. Different links are
// read at once, each on a thread of its own, so that a dead device costs
// its own lines only.

#include "device/read_plan.h"
#include "device/session.h"
#include "device/stop.h"
#include "device/transport.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace modbuscalc::device {

class Fleet {
public:
    // settings: the timeout and retries every link gets; givingUp: what
    // the message of giving up ends with.
    Fleet(Connection settings, Stop &stop, Trace trace, std::string givingUp = "giving up");
    Fleet(const Fleet &) = delete;
    Fleet &operator=(const Fleet &) = delete;
    ~Fleet();

    // The device at a link and unit: its index, the same for the same pair.
    std::size_t add(const Link &link, int unit);
    std::size_t size() const { return m_members.size(); }
    const Link &link(std::size_t device) const { return m_links[m_members[device].link]; }
    // Which link the device is on, counted from 0 in the order of adding.
    std::size_t linkOf(std::size_t device) const { return m_members[device].link; }
    std::size_t links() const { return m_links.size(); }
    int unit(std::size_t device) const { return m_members[device].unit; }
    // "127.0.0.1:5020 unit 3": as messages name it.
    std::string name(std::size_t device) const;

    // The device, to ask from this thread while no readAll runs: its link's
    // session, turned to its unit.
    Device &device(std::size_t device);

    // Asks every device afresh: forgets giving up (a watch's next poll).
    void reset();
    // The same for one link's devices: safe beside readAll on other links.
    void reset(std::size_t link);

    // Why the device was given up on, while it is: from the thread that
    // reads its link.
    std::optional<DeviceError> gaveUp(std::size_t device);

    using Values = std::vector<LineResult>; // each value of a line on its own
    // Reads each line's registers from its device (devices[i] for wanted[i]):
    // every link at once, the units of a link in turn. done(i, values) is
    // called on this thread, for each line in order, as soon as it and every
    // line before it are done. stop is asked from the links' threads.
    void readAll(std::span<const Wanted> wanted, std::span<const std::size_t> devices, int maxGap,
        const std::function<bool()> &stop,
        const std::function<void(std::size_t line, Values values)> &done);

private:
    struct Member {
        std::size_t link;
        int unit;
    };
    Session &session(std::size_t link);

    Connection m_settings;
    Stop &m_stop;
    Trace m_trace;
    std::string m_givingUp;
    std::vector<Link> m_links;
    std::vector<std::unique_ptr<Session>> m_sessions; // by link, made on first use
    std::vector<Member> m_members;
};

} // namespace modbuscalc::device
