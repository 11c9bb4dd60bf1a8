#include "cli/signals.h"

#include <atomic>
#include <csignal>
#include <cstdio>

#ifdef _WIN32
#include <windows.h>
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

} // namespace

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

} // namespace modbuscalc::cli
