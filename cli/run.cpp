#include "cli/run.h"

#include "cli/batch.h"
#include "cli/encoding.h"
#include "cli/printable.h"
#include "core/text.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <functional>
#include <iostream>
#include <sys/stat.h>
#include <utility>

#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#else
#include <unistd.h>
#endif

namespace modbuscalc::cli {

namespace {

void report(const std::string &message)
{
    std::cerr << "modbuscalc: " << message << '\n';
}

// A file's name in a message: as it is where it can be shown, else escaped
// and quoted, so that no control byte reaches the terminal.
std::string nameOf(const std::string &file)
{
    const std::string printable = Printable(file, std::string::npos);
    return printable == file ? file : '\'' + printable + '\'';
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

// Opens each input, telling those that cannot be read.
std::vector<Input> openInputs(const std::vector<std::string> &operands, int &status)
{
    std::vector<std::string> files = operands;
    if (files.empty())
        files.emplace_back("-");
    std::vector<Input> inputs;
    for (const std::string &file : files) {
        Input input;
        input.name = file == "-" ? "<stdin>" : nameOf(file);
        input.path = file;
        if (file == "-") {
            input.file = stdin;
            inputs.push_back(std::move(input));
            continue;
        }
        struct stat info { };
        if (::stat(file.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
            report(input.name + ": " + std::strerror(EISDIR));
            status = ExitTrouble;
            continue;
        }
        input.owned.reset(std::fopen(file.c_str(), "rb"));
        if (!input.owned) {
            report(input.name + ": " + std::strerror(errno));
            status = ExitTrouble;
            continue;
        }
        input.file = input.owned.get();
        inputs.push_back(std::move(input));
    }
    return inputs;
}

// The numbers given on the command line: one conversion, results on one line.
int convertOnce(const Session &session, Output &output)
{
    const Invocation &invocation = session.invocation;
    const std::vector<std::string_view> inputs(
        invocation.operands.begin(), invocation.operands.end());
    const Conversion conversion = invocation.verb->convert(invocation.options, inputs);
    // Why, as a map's line would say it.
    if (conversion.problem)
        report(Describe(*conversion.problem));
    std::string line;
    for (const std::string &result : conversion.results)
        line += (line.empty() ? "" : " ") + result;
    line += '\n';
    output.write(line);
    if (!conversion.problem)
        return ExitOk;
    return conversion.problem->device.kind == DeviceError::Kind::GaveUp ? ExitTrouble
                                                                        : ExitDataProblem;
}

std::atomic<bool> interrupted = false;

extern "C" void onInterrupt(int)
{
    interrupted = true;
}

// While a device is read: Ctrl+C stops after the request in progress, and
// on a terminal, standard error shows the lines done out of the lines read
// so far, on one line redrawn in place and cleared before any message.
// Standard output is never touched.
class Progress {
public:
    using Counts = std::function<std::pair<std::size_t, std::size_t>()>; // done, read

    Progress(bool reading, Counts counts)
        : m_reading(reading)
        , m_shown(reading && isatty(2))
        , m_counts(std::move(counts))
    {
        if (m_reading)
            std::signal(SIGINT, onInterrupt);
    }
    ~Progress()
    {
        if (m_reading)
            std::signal(SIGINT, SIG_DFL);
    }
    Progress(const Progress &) = delete;
    Progress &operator=(const Progress &) = delete;

    // Often; false once the user has asked to stop.
    bool step()
    {
        if (m_shown) {
            const auto now = Clock::now();
            if (now - m_lastShown >= std::chrono::milliseconds(100)) {
                m_lastShown = now;
                const auto [done, read] = m_counts();
                std::fprintf(stderr, "\r\033[K%zu of %zu lines", done, read);
                m_drawn = true;
            }
        }
        return !interrupted;
    }
    bool stopped() const { return interrupted; }
    // Before a message: the line goes, to be drawn again at the next step.
    void clear()
    {
        if (m_drawn)
            std::fputs("\r\033[K", stderr);
        m_drawn = false;
    }

private:
    using Clock = std::chrono::steady_clock;
    bool m_reading;
    bool m_shown;
    Counts m_counts;
    bool m_drawn = false;
    Clock::time_point m_lastShown = Clock::now();
};

// Each input in turn.
int convertLists(Session &session, Output &output)
{
    const Invocation &invocation = session.invocation;
    int status = session.status;
    std::string name;
    Progress *shown = nullptr;
    BatchConverter batch(*invocation.verb, invocation.options,
        [&name, &shown](std::size_t line, std::string_view message) {
            if (shown)
                shown->clear();
            std::cerr << "modbuscalc: " << name;
            if (line > 0)
                std::cerr << ':' << line;
            std::cerr << ": " << message << '\n';
        });
    std::string out;
    const auto flush = [&output](std::string &buffer) { output.write(buffer); };
    Progress progress(session.device != nullptr,
        [&batch] { return std::pair(batch.linesDone(), batch.linesRead()); });
    shown = &progress;
    batch.stopWhen([&progress] { return !progress.step(); });

    for (Input &input : session.inputs) {
        if (progress.stopped())
            break;
        name = input.name;
        std::FILE *in = input.file;
        LineReader reader(TextSource(
            [in](char *buffer, std::size_t size) { return std::fread(buffer, 1, size, in); }));
        if (!batch.convertAll(
                reader, OneColumnSeparator(invocation.options, input.path), out, flush))
            status = ExitTrouble;
        flush(out);
        if (std::ferror(in)) {
            progress.clear();
            report(name + ": read error");
            status = ExitTrouble;
        }
        input.owned.reset();
    }
    progress.clear();
    if (batch.failed() > 0 && status == ExitOk)
        status = ExitDataProblem;
    if (batch.gaveUp())
        status = ExitTrouble;
    if (progress.stopped()) {
        report("interrupted");
        status = ExitInterrupted;
    }
    return status;
}

} // namespace

void Output::write(std::string &buffer)
{
    if (!buffer.empty() && m_error < 0
        && std::fwrite(buffer.data(), 1, buffer.size(), stdout) != buffer.size())
        m_error = errno;
    buffer.clear();
}

int Output::close(int status)
{
    // A full disk or a closed output must not pass for success.
    errno = 0;
    if (m_error < 0 && (std::fflush(stdout) != 0 || std::ferror(stdout)))
        m_error = errno;
    if (m_error >= 0) {
        const int error = m_error;
        report(
            std::string("write error") + (error ? std::string(": ") + std::strerror(error) : ""));
        return ExitTrouble;
    }
    return status;
}

int ReportUsageError(const UsageError &error)
{
    std::cerr << "modbuscalc: " << error.message
              << "\nTry 'modbuscalc --help' for more information.\n";
    return ExitTrouble;
}

std::variant<Session, int> Check(Invocation invocation)
{
    Session session;
    session.invocation = std::move(invocation);
    Invocation &checked = session.invocation;
    session.oneConversion = isOneConversion(checked);
    if (!session.oneConversion) {
        session.inputs = openInputs(checked.operands, session.status);
        if (session.inputs.empty())
            return session.status;
    }
    if (checked.connection) {
        if (!DeviceAccessAvailable()) {
            report(std::string(checked.verb->name) + " is not available in this build");
            return ExitTrouble;
        }
        auto connected = Connect(*checked.connection);
        if (const auto *error = std::get_if<std::string>(&connected)) {
            report(Printable(*error, std::string::npos));
            return ExitTrouble;
        }
        session.device = std::get<std::unique_ptr<Device>>(std::move(connected));
        checked.options.device = session.device.get();
    }
    return session;
}

int Run(Session &session, Output &output)
{
    return session.oneConversion ? convertOnce(session, output) : convertLists(session, output);
}

} // namespace modbuscalc::cli
