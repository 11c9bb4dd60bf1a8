#include "cli/job.h"

#include "cli/console.h"
#include "cli/printable.h"
#include "core/text.h"

#include <string_view>
#include <utility>

#include <sys/stat.h>

namespace modbuscalc::cli {

namespace {

// --verbose: each request and answer as a message.
device::Trace traceOf(const Invocation &invocation)
{
    if (!invocation.verbose)
        return {};
    return [](std::string_view line) { Report(std::string(line)); };
}

// The operands are one conversion when they read as its numbers; or when
// there are the verb's count of them, none names a file and one at least
// looks like a number, so that a mistyped number is told as such.
bool isOneConversion(const Invocation &invocation)
{
    if (invocation.numbers)
        return true;
    const std::vector<std::string> &operands = invocation.operands;
    if (!TakesInputs(*invocation.verb, operands.size()))
        return false;
    bool numberLike = false;
    for (const std::string &operand : operands) {
        struct stat info { };
        if (operand == "-" || ::stat(operand.c_str(), &info) == 0)
            return false;
        const std::string_view text = TrimBlanks(operand);
        numberLike = numberLike || text.empty()
            || std::string_view("0123456789+-.&").find(text.front()) != std::string_view::npos;
    }
    return numberLike;
}

} // namespace

std::optional<int> Connect(Job &job)
{
    Invocation &invocation = job.invocation;
    if (!device::DeviceAccessAvailable()) {
        Report(std::string(invocation.verb->name) + " is not available in this build");
        return ExitTrouble;
    }
    job.device = std::make_unique<device::Session>(
        device::MakeTransport(*invocation.connection, *job.stop, traceOf(invocation)),
        invocation.connection->retries, *job.stop);
    // A watch rides out a device out of reach at the start as it does an
    // outage later: it asks again at every poll.
    const bool watching = invocation.verb->readsDevice && invocation.options.interval > 0;
    if (watching)
        job.device->setGivingUpWords(WatchGivingUp);
    if (const std::optional<device::DeviceError> error = job.device->open()) {
        if (error->kind == device::DeviceError::Kind::Stopped)
            return ExitTrouble;
        Report(Printable(device::Where(invocation.connection->link) + ": " + error->text
                + (watching ? std::string("; ") + WatchGivingUp : std::string()),
            std::string::npos));
        if (!watching)
            return ExitTrouble;
        job.outageAtStart = true;
    }
    return std::nullopt;
}

std::unique_ptr<device::Fleet> NewFleet(
    const Invocation &invocation, device::Stop &stop, std::string givingUp)
{
    return std::make_unique<device::Fleet>(invocation.connection.value_or(device::Connection {}),
        stop, traceOf(invocation), std::move(givingUp));
}

std::variant<Job, int> Check(Invocation invocation, device::Stop &stop)
{
    Job job;
    job.invocation = std::move(invocation);
    job.stop = &stop;
    Invocation &checked = job.invocation;
    if (checked.serving) {
        job.inputs = checked.operands; // none: the controller as it starts, all 0
        return job;
    }
    job.oneConversion = isOneConversion(checked) || checked.write;
    if (!job.oneConversion) {
        job.inputs = checked.operands;
        if (job.inputs.empty())
            job.inputs.emplace_back("-");
    }
    // A map to write is checked whole before the device is asked anything;
    // one exported is never read from it.
    if (checked.verb->writesDevice || checked.verb->exportsMap)
        return job;
    if (checked.verb->readsDevice && checked.options.severalDevices() && !job.oneConversion) {
        // Each device is opened when its lines are first read, and one out
        // of reach costs its own lines only.
        if (!device::DeviceAccessAvailable()) {
            Report(std::string(checked.verb->name) + " is not available in this build");
            return ExitTrouble;
        }
        const bool watching = checked.options.interval > 0;
        job.fleet = NewFleet(checked, stop, watching ? WatchGivingUp : "giving up");
        return job;
    }
    if (checked.connection)
        if (const std::optional<int> refused = Connect(job))
            return *refused;
    return job;
}

} // namespace modbuscalc::cli
