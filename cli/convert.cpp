#include "cli/convert.h"

#include "cli/batch.h"
#include "cli/console.h"
#include "cli/inputs.h"

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

namespace modbuscalc::cli {

namespace {

// The numbers given on the command line: one conversion, results on one line.
int convertOnce(const Job &job, Output &output)
{
    const Invocation &invocation = job.invocation;
    const std::vector<std::string_view> inputs(
        invocation.operands.begin(), invocation.operands.end());
    const Conversion conversion = job.device ? ReadOnce(invocation.options, *job.device, inputs)
                                             : invocation.verb->convert(invocation.options, inputs);
    if (job.stop && job.stop->requested())
        return ExitDataProblem; // never reached the device: nothing to write
    // Why, as a map's line would say it.
    if (conversion.problem)
        Report(Describe(*conversion.problem));
    std::string line;
    for (const std::string &result : conversion.results)
        line += (line.empty() ? "" : " ") + result;
    line += '\n';
    output.write(line);
    if (!conversion.problem)
        return ExitOk;
    return conversion.problem->device.kind == device::DeviceError::Kind::GaveUp ? ExitTrouble
                                                                                : ExitDataProblem;
}

// Each input in turn, each opened when its turn comes and closed before
// the next.
int convertLists(Job &job, Output &output)
{
    const Invocation &invocation = job.invocation;
    const bool reading = job.device != nullptr || job.fleet != nullptr;
    const device::Stop *stop = job.stop;
    const auto stopped = [stop] { return stop && stop->requested(); };
    int status = ExitOk;
    std::string name;
    BatchConverter batch(*invocation.verb, invocation.options,
        [&name](std::size_t line, std::string_view message) { ReportAt(name, line, message); });
    if (job.device)
        batch.readFrom(*job.device);
    if (job.fleet)
        batch.nameDevicesIn(*job.fleet, invocation.connection, true, job.stop);
    batch.stopWhen([&] {
        if (reading)
            ShowProgress([&batch] {
                return std::to_string(batch.linesDone()) + " of "
                    + std::to_string(batch.linesRead()) + " lines";
            });
        return stopped();
    });
    std::string out;
    // Lines read from a device are handed on as soon as they are done.
    const auto flush = [&output, reading](std::string &buffer) { output.write(buffer, reading); };

    for (const std::string &file : job.inputs) {
        if (stopped())
            break;
        name = FileName(file);
        status
            = std::max(status, ConvertInput(batch, file, invocation.options, out, flush, stopped));
    }
    ShowProgress(std::string());
    if (batch.failed() > 0 && status == ExitOk)
        status = ExitDataProblem;
    if (batch.gaveUp() || batch.unread() > 0)
        status = ExitTrouble;
    if (job.fleet)
        if (const auto summary = GivenUpSummary(batch.devicesGivenUp(), job.fleet->size()))
            Report(*summary);
    return status;
}

} // namespace

int RunConversions(Job &job, Output &output)
{
    return job.oneConversion ? convertOnce(job, output) : convertLists(job, output);
}

} // namespace modbuscalc::cli
