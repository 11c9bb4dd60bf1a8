#include "cli/run.h"

#include "cli/batch.h"
#include "cli/printable.h"
#include "cli/scan.h"
#include "cli/watch.h"
#include "cli/write.h"
#include "core/text.h"
#include "maps/encoding.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iostream>
#include <sys/stat.h>
#include <utility>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#define isatty _isatty
#else
#include <unistd.h>
#endif

namespace modbuscalc::cli {

namespace {

// The signal that came first, and the stop it asks for: a handler can
// reach nothing else.
std::atomic<int> caught = 0;
std::atomic<device::Stop *> stopToAsk = nullptr;

#ifdef _WIN32
BOOL WINAPI onConsoleEvent(DWORD event)
{
    if (caught.exchange(static_cast<int>(event) + 1) != 0)
        return FALSE; // the second: Windows' own handler ends the program
    if (device::Stop *stop = stopToAsk.load())
        stop->request();
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
        // Windows ends the program as soon as this returns: the work stops
        // at a whole line and flushes what it has first, and ends the
        // program itself; Windows allows about five seconds.
        for (int i = 0; i < 45; ++i)
            ::Sleep(100);
    }
    return TRUE;
}
#else
constexpr int Signals[] = { SIGINT, SIGTERM, SIGHUP };

extern "C" void onSignal(int signal)
{
    if (caught.exchange(signal) != 0) {
        // The second: at once.
        std::signal(signal, SIG_DFL);
        std::raise(signal);
        return;
    }
    if (device::Stop *stop = stopToAsk.load())
        stop->request();
}
#endif

// Standard error's one line of progress, redrawn in place on a terminal
// and cleared before any message.
class Console {
public:
    Console()
        : m_terminal(isatty(2))
    {
    }

    void report(const std::string &message)
    {
        clear();
        std::cerr << "modbuscalc: " << message << '\n';
    }

    // Shows the text now and then (at most ten times a second), and only
    // where standard output, on the same screen, ends with a whole line.
    void progress(const std::function<std::string()> &text)
    {
        if (!m_terminal || (m_sharedScreen && m_outputMidLine))
            return;
        const auto now = Clock::now();
        if (now - m_lastShown < std::chrono::milliseconds(100))
            return;
        m_lastShown = now;
        std::fprintf(stderr, "\r\033[K%s", text().c_str());
        m_drawn = true;
    }

    void clear()
    {
        if (m_drawn)
            std::fputs("\r\033[K", stderr);
        m_drawn = false;
    }

    // Before standard output writes text: the progress line goes first
    // where both share the screen.
    void beforeOutput(std::string_view text)
    {
        if (text.empty())
            return;
        if (m_sharedScreen)
            clear();
        m_outputMidLine = text.back() != '\n';
    }

private:
    using Clock = std::chrono::steady_clock;
    bool m_terminal;
    bool m_sharedScreen = isatty(1) != 0;
    bool m_outputMidLine = false;
    bool m_drawn = false;
    Clock::time_point m_lastShown = Clock::now();
};

Console console;

void report(const std::string &message)
{
    console.report(message);
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

struct FileCloser {
    void operator()(std::FILE *file) const { std::fclose(file); }
};

// One input, opened when its turn comes; nullptr (told) when it cannot be.
std::FILE *openInput(const std::string &file, std::unique_ptr<std::FILE, FileCloser> &owned)
{
    if (file == "-")
        return stdin;
    struct stat info { };
    if (::stat(file.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
        report(nameOf(file) + ": " + std::strerror(EISDIR));
        return nullptr;
    }
    owned.reset(std::fopen(file.c_str(), "rb"));
    if (!owned)
        report(nameOf(file) + ": " + std::strerror(errno));
    return owned.get();
}

// An input's bytes. A signal ends a read that waits: that is the end when
// it asks to stop, and is read past when it does not.
maps::TextSource sourceOf(std::FILE *in, const std::function<bool()> &stopped)
{
    return maps::TextSource([in, &stopped](char *buffer, std::size_t size) {
        for (;;) {
            const std::size_t got = std::fread(buffer, 1, size, in);
            if (got > 0 || !std::ferror(in) || errno != EINTR || stopped())
                return got;
            std::clearerr(in);
        }
    });
}

// The numbers given on the command line: one conversion, results on one line.
int convertOnce(const Job &job, Output &output)
{
    const Invocation &invocation = job.invocation;
    const std::vector<std::string_view> inputs(
        invocation.operands.begin(), invocation.operands.end());
    const Conversion conversion = invocation.verb->convert(invocation.options, inputs);
    if (job.stop && job.stop->requested())
        return ExitDataProblem; // never reached the device: nothing to write
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
    return conversion.problem->device.kind == device::DeviceError::Kind::GaveUp ? ExitTrouble
                                                                                : ExitDataProblem;
}

} // namespace

void Report(const std::string &message)
{
    console.report(message);
}

void ReportAt(const std::string &name, std::size_t line, std::string_view message)
{
    console.report(name + (line > 0 ? ':' + std::to_string(line) : std::string()) + ": "
        + std::string(message));
}

void ShowProgress(const std::string &text)
{
    if (text.empty())
        console.clear();
    else
        console.progress([&text] { return text; });
}

std::string FileName(const std::string &file)
{
    return file == "-" ? "<stdin>" : nameOf(file);
}

int ConvertInput(BatchConverter &batch, const std::string &file, const Options &options,
    std::string &out, const std::function<void(std::string &)> &flush,
    const std::function<bool()> &stopped)
{
    std::unique_ptr<std::FILE, FileCloser> owned;
    std::FILE *in = openInput(file, owned);
    if (!in)
        return ExitTrouble;
    int status = ExitOk;
    maps::LineReader reader(sourceOf(in, stopped));
    if (!batch.convertAll(reader, OneColumnSeparator(options, file), out, flush))
        status = ExitTrouble;
    flush(out);
    if (std::ferror(in) && !stopped()) {
        report(FileName(file) + ": read error");
        status = ExitTrouble;
    }
    if (owned && std::fclose(owned.release()) != 0) {
        report(FileName(file) + ": " + std::strerror(errno));
        status = ExitTrouble;
    }
    return status;
}

int ReadWhole(const std::string &file, std::string &text, const std::function<bool()> &stopped)
{
    std::unique_ptr<std::FILE, FileCloser> owned;
    std::FILE *in = openInput(file, owned);
    if (!in)
        return ExitTrouble;
    maps::TextSource source = sourceOf(in, stopped);
    char buffer[64 * 1024];
    while (const std::size_t got = source(buffer, sizeof buffer))
        text.append(buffer, got);
    if (std::ferror(in) && !stopped()) {
        report(FileName(file) + ": read error");
        return ExitTrouble;
    }
    return ExitOk;
}

namespace {

// Each input in turn, each opened when its turn comes and closed before
// the next.
int convertLists(Job &job, Output &output)
{
    const Invocation &invocation = job.invocation;
    const bool reading = job.device != nullptr;
    const device::Stop *stop = job.stop;
    const auto stopped = [stop] { return stop && stop->requested(); };
    int status = ExitOk;
    std::string name;
    BatchConverter batch(*invocation.verb, invocation.options,
        [&name](std::size_t line, std::string_view message) { ReportAt(name, line, message); });
    batch.stopWhen([&] {
        if (reading)
            console.progress([&batch] {
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
    console.clear();
    if (batch.failed() > 0 && status == ExitOk)
        status = ExitDataProblem;
    if (batch.gaveUp() || batch.unread() > 0)
        status = ExitTrouble;
    return status;
}

} // namespace

void Output::write(std::string &buffer, bool now)
{
    console.beforeOutput(buffer);
    if (!buffer.empty() && m_error < 0
        && std::fwrite(buffer.data(), 1, buffer.size(), stdout) != buffer.size())
        m_error = errno;
    if (now && m_error < 0 && std::fflush(stdout) != 0)
        m_error = errno;
    buffer.clear();
}

bool Output::ContinuesAFile()
{
    struct stat info { };
    return ::fstat(fileno(stdout), &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0;
}

int Output::close(int status)
{
    console.clear();
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

Interrupts::Interrupts()
{
    stopToAsk.store(&m_stop);
#ifdef _WIN32
    ::SetConsoleCtrlHandler(onConsoleEvent, TRUE);
#else
    for (const int signal : Signals) {
        struct sigaction action { };
        ::sigaction(signal, nullptr, &action);
        if (action.sa_handler == SIG_IGN)
            continue; // ignored by whoever started us: it stays so
        action.sa_handler = onSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0; // no SA_RESTART: a blocked read returns
        ::sigaction(signal, &action, nullptr);
    }
#endif
}

Interrupts::~Interrupts()
{
#ifdef _WIN32
    ::SetConsoleCtrlHandler(onConsoleEvent, FALSE);
#else
    for (const int signal : Signals) {
        struct sigaction action { };
        ::sigaction(signal, nullptr, &action);
        if (action.sa_handler == onSignal)
            std::signal(signal, SIG_DFL);
    }
#endif
    stopToAsk.store(nullptr);
}

bool Interrupts::happened() const
{
    return caught.load() != 0;
}

void Interrupts::dieIfInterrupted()
{
    const int signal = caught.load();
    if (signal == 0)
        return;
    std::fflush(nullptr);
#ifdef _WIN32
    // As Windows ends a program on Ctrl+C.
    ::ExitProcess(static_cast<UINT>(STATUS_CONTROL_C_EXIT));
#else
    std::signal(signal, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal);
    ::sigprocmask(SIG_UNBLOCK, &set, nullptr);
    std::raise(signal);
    ::_exit(128 + signal);
#endif
}

int ReportUsageError(const UsageError &error)
{
    std::cerr << "modbuscalc: " << error.message
              << "\nTry 'modbuscalc --help' for more information.\n";
    return ExitTrouble;
}

namespace {

// Connects the job's device: nullopt, or the status to exit with (told).
std::optional<int> connect(Job &job)
{
    Invocation &invocation = job.invocation;
    if (!device::DeviceAccessAvailable()) {
        report(std::string(invocation.verb->name) + " is not available in this build");
        return ExitTrouble;
    }
    device::Trace trace;
    if (invocation.verbose)
        trace = [](std::string_view line) { report(std::string(line)); };
    job.device = std::make_unique<device::Session>(
        device::MakeTransport(*invocation.connection, *job.stop, std::move(trace)),
        invocation.connection->retries, *job.stop);
    // A watch rides out a device out of reach at the start as it does an
    // outage later: it asks again at every poll.
    const bool watching = invocation.verb->readsDevice && invocation.options.interval > 0;
    if (watching)
        job.device->setGivingUpWords(WatchGivingUp);
    if (const std::optional<device::DeviceError> error = job.device->open()) {
        if (error->kind == device::DeviceError::Kind::Stopped)
            return ExitTrouble;
        report(Printable(device::Where(invocation.connection->link) + ": " + error->text
                + (watching ? std::string("; ") + WatchGivingUp : std::string()),
            std::string::npos));
        if (!watching)
            return ExitTrouble;
        job.outageAtStart = true;
    }
    invocation.options.device = job.device.get();
    return std::nullopt;
}

} // namespace

std::variant<Job, int> Check(Invocation invocation, device::Stop &stop)
{
    Job job;
    job.invocation = std::move(invocation);
    job.stop = &stop;
    Invocation &checked = job.invocation;
    job.oneConversion = isOneConversion(checked) || checked.write;
    if (!job.oneConversion) {
        job.inputs = checked.operands;
        if (job.inputs.empty())
            job.inputs.emplace_back("-");
    }
    if (checked.verb->writesDevice) {
        // A map is checked whole before the device is asked anything.
        if (!WriteMayRun(job))
            return ExitTrouble;
        return job;
    }
    if (checked.connection)
        if (const std::optional<int> refused = connect(job))
            return *refused;
    return job;
}

int Run(Job &job, Output &output)
{
    if (job.invocation.verb->writesDevice)
        return RunWrite(job, output, connect);
    if (job.invocation.verb->scansDevice)
        return RunScan(job, output);
    if (Watching(job.invocation))
        return RunWatch(job, output);
    return job.oneConversion ? convertOnce(job, output) : convertLists(job, output);
}

} // namespace modbuscalc::cli
