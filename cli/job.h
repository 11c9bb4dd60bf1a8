#pragma once

// After the command line is read: check it against the world (what the
// operands are, the device connected) and hold what the run needs.

#include "cli/options.h"
#include "cli/status.h"
#include "device/fleet.h"
#include "device/session.h"
#include "device/stop.h"

#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace modbuscalc::cli {

// An invocation checked and ready to run.
struct Job {
    Invocation invocation;
    bool oneConversion = false; // the operands are its numbers
    std::vector<std::string> inputs; // else these files ("-": standard input), in turn
    std::unique_ptr<device::Session> device;
    // read of a map whose lines name their devices: those devices.
    std::unique_ptr<device::Fleet> fleet;
    device::Stop *stop = nullptr;
    bool outageAtStart = false; // a watch's device was out of reach when it started
};

// How a watch's messages say that a device out of reach is asked again.
inline constexpr const char *WatchGivingUp = "asked again at the next poll";

// The job, or the status to exit with when there is nothing to run. A
// device is connected here (write's only once its map is checked), and a
// stop ends the wait.
std::variant<Job, int> Check(Invocation invocation, device::Stop &stop);

// Connects the job's device: nullopt, or the status to exit with (told).
std::optional<int> Connect(Job &job);

// The devices of a map whose lines name theirs, each opened when first
// asked, with the invocation's timeout, retries and --verbose.
std::unique_ptr<device::Fleet> NewFleet(
    const Invocation &invocation, device::Stop &stop, std::string givingUp = "giving up");

} // namespace modbuscalc::cli
