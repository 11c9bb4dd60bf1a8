// modbuscalc: the calculator's conversions for scripts and register maps.
// Reads the command line, checks it against the world, runs it.

#include "cli/console.h"
#include "cli/job.h"
#include "cli/options.h"
#include "cli/output.h"
#include "cli/run.h"
#include "cli/signals.h"

#include <variant>

#ifdef _WIN32
#include <cstdio>
#include <fcntl.h>
#include <io.h>
#endif

using namespace modbuscalc::cli;

int main(int argc, char **argv)
{
#ifdef _WIN32
    // Bytes in, bytes out: CRLF line ends are the input's own, not added.
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    Output output;
    ParseResult parsed = ParseCommandLine({ argv, static_cast<std::size_t>(argc) });
    if (auto *error = std::get_if<UsageError>(&parsed))
        return ReportUsageError(*error);
    if (auto *text = std::get_if<ShowText>(&parsed)) {
        output.write(text->text);
        return output.close(ExitOk);
    }
    Interrupts interrupts;
    auto checked = Check(std::get<Invocation>(std::move(parsed)), interrupts.stop());
    const int *refused = std::get_if<int>(&checked);
    const int status = output.close(refused ? *refused : Run(std::get<Job>(checked), output));
    // Whole lines are out: now die by the signal, if one came.
    interrupts.dieIfInterrupted();
    return status;
}
