#include "cli/console.h"

#include "cli/printable.h"
#include "cli/status.h"

#include <chrono>
#include <cstdio>
#include <iostream>
#include <mutex>

#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#else
#include <unistd.h>
#endif

namespace modbuscalc::cli {

namespace {

// Standard error's one line of progress, redrawn in place on a terminal
// and cleared before any message.
class Console {
public:
    Console()
        : m_terminal(isatty(2))
    {
    }

    // Whole lines, from any thread: the links of a map are read on threads
    // of their own.
    void report(const std::string &message)
    {
        const std::lock_guard lock(m_mutex);
        clearLine();
        std::cerr << ("modbuscalc: " + message + '\n') << std::flush;
    }

    // Shows the text now and then (at most ten times a second), and only
    // where standard output, on the same screen, ends with a whole line.
    void progress(const std::function<std::string()> &text)
    {
        const std::lock_guard lock(m_mutex);
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
        const std::lock_guard lock(m_mutex);
        clearLine();
    }

    void beforeOutput(std::string_view text)
    {
        if (text.empty())
            return;
        const std::lock_guard lock(m_mutex);
        if (m_sharedScreen)
            clearLine();
        m_outputMidLine = text.back() != '\n';
    }

private:
    using Clock = std::chrono::steady_clock;

    void clearLine()
    {
        if (m_drawn)
            std::fputs("\r\033[K", stderr);
        m_drawn = false;
    }

    std::mutex m_mutex;
    bool m_terminal;
    bool m_sharedScreen = isatty(1) != 0;
    bool m_outputMidLine = false;
    bool m_drawn = false;
    Clock::time_point m_lastShown = Clock::now();
};

Console console;

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

void ShowProgress(const std::function<std::string()> &text)
{
    console.progress(text);
}

void BeforeOutput(std::string_view text)
{
    console.beforeOutput(text);
}

std::string FileName(const std::string &file)
{
    if (file == "-")
        return "<stdin>";
    // As it is where it can be shown, else escaped and quoted, so that no
    // control byte reaches the terminal.
    const std::string printable = Printable(file, std::string::npos);
    return printable == file ? file : '\'' + printable + '\'';
}

int ReportUsageError(const UsageError &error)
{
    std::cerr << "modbuscalc: " << error.message
              << "\nTry 'modbuscalc --help' for more information.\n";
    return ExitTrouble;
}

} // namespace modbuscalc::cli
