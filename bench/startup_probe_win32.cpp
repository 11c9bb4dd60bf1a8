// Start-up of whole Windows programs: the time from CreateProcess to a
// visible top-level window of the new process. Programs are run alternately,
// so that both see the same machine state; each is closed before the next.
//
//   startup_probe_win32 RUNS PROGRAM [PROGRAM...]
//
// Prints one line per program: name and median milliseconds.

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Search {
    DWORD process;
    HWND window;
};

BOOL CALLBACK findShown(HWND window, LPARAM lParam)
{
    auto *search = reinterpret_cast<Search *>(lParam);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == search->process && IsWindowVisible(window) && !GetWindow(window, GW_OWNER)) {
        search->window = window;
        return FALSE;
    }
    return TRUE;
}

// Milliseconds to the window shown, or a negative number on failure.
double runOnce(const std::wstring &program)
{
    std::wstring commandLine = L"\"" + program + L"\"";
    STARTUPINFOW startup {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process {};
    const auto start = std::chrono::steady_clock::now();
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
            &startup, &process))
        return -1;

    Search search { process.dwProcessId, nullptr };
    const auto deadline = start + std::chrono::seconds(30);
    while (!search.window && std::chrono::steady_clock::now() < deadline) {
        EnumWindows(findShown, reinterpret_cast<LPARAM>(&search));
        if (!search.window)
            Sleep(1); // a busier poll would slow the wine server the child needs
    }
    const double milliseconds = search.window
        ? std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
              .count()
        : -1;

    if (search.window)
        PostMessageW(search.window, WM_CLOSE, 0, 0);
    if (WaitForSingleObject(process.hProcess, 10000) != WAIT_OBJECT_0)
        TerminateProcess(process.hProcess, 1);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return milliseconds;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc < 3) {
        std::fputs("usage: startup_probe_win32 RUNS PROGRAM [PROGRAM...]\n", stderr);
        return 2;
    }
    const int runs = std::max(1, _wtoi(argv[1]));
    std::vector<std::vector<double>> samples(static_cast<std::size_t>(argc - 2));
    for (int run = -1; run < runs; ++run) { // run -1 warms the caches up
        for (int i = 2; i < argc; ++i) {
            const double ms = runOnce(argv[i]);
            if (ms < 0) {
                std::fwprintf(stderr, L"%ls: no window\n", argv[i]);
                return 1;
            }
            if (run >= 0)
                samples[static_cast<std::size_t>(i - 2)].push_back(ms);
        }
    }
    for (int i = 2; i < argc; ++i) {
        std::wstring name = argv[i];
        name = name.substr(name.find_last_of(L"\\/") + 1);
        std::wprintf(L"%ls %.1f\n", name.c_str(), median(samples[static_cast<std::size_t>(i - 2)]));
    }
    return 0;
}
