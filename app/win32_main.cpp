#include "form/win32/calc_window.h"
#include "version.h"

#include <cstdlib>
#include <string>
#include <string_view>

namespace {

constexpr std::wstring_view Usage
    = L"Usage: modbus-calculator [options]\n"
      L"Converts between Modbus addresses and data cells in a small window:\n"
      L"address = table * 2048 + column * 256 + row, plus 1 in Modbus addressing.\n"
      L"modbuscalc.exe does the same on the command line.\n\n"
      L"Options:\n"
      L"  -h, --help, /?  Displays this help.\n"
      L"  -v, --version   Displays version information.\n";

// --help and --version: the text on the console the program was started
// from, where there is one, else in a message box. Nothing else is an
// option; anything else opens the window as ever.
bool answeredFromTheCommandLine()
{
    // The C runtime has split the command line already, as for wmain.
    if (!__wargv)
        return false;
    std::wstring text;
    for (int i = 1; i < __argc && text.empty(); ++i) {
        const std::wstring_view argument = __wargv[i];
        if (argument == L"--help" || argument == L"-h" || argument == L"/?")
            text = Usage;
        else if (argument == L"--version" || argument == L"-v")
            text = L"modbus-calculator " MODBUSCALC_VERSION_WIDE L"\n";
    }
    if (text.empty())
        return false;
    // Redirected to a file or a pipe: bytes there. From a console: on it.
    // Else, from a shortcut or Explorer, a message box.
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    const DWORD kind = out && out != INVALID_HANDLE_VALUE ? GetFileType(out) : FILE_TYPE_UNKNOWN;
    DWORD written = 0;
    if (kind == FILE_TYPE_DISK || kind == FILE_TYPE_PIPE) {
        std::string bytes;
        for (wchar_t c : text)
            bytes += static_cast<char>(c); // the texts are ASCII
        WriteFile(out, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    } else if (AttachConsole(ATTACH_PARENT_PROCESS)) {
        WriteConsoleW(GetStdHandle(STD_OUTPUT_HANDLE), text.c_str(),
            static_cast<DWORD>(text.size()), &written, nullptr);
        FreeConsole();
    } else {
        MessageBoxW(nullptr, text.c_str(), L"Modbus Calculator", MB_OK | MB_ICONINFORMATION);
    }
    return true;
}

} // namespace

// The Windows entry point: the native window and its event loop.
int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand)
{
    if (answeredFromTheCommandLine())
        return 0;
    int status = 1;
    if (auto calc = modbuscalc::win32::Calc::Create(instance)) {
        calc->show(showCommand);
        ACCEL shortcut[] = { modbuscalc::win32::Calc::LiveValueShortcut(),
            modbuscalc::win32::Calc::TableViewShortcut() };
        HACCEL shortcuts = CreateAcceleratorTableW(shortcut, 2);
        MSG message;
        BOOL got;
        while ((got = GetMessageW(&message, nullptr, 0, 0)) > 0) {
            // Ctrl+L and Ctrl+T in the calculator; then Tab, Shift+Tab and
            // the arrow keys move the focus the platform's way in each
            // window. The key releases still reach the fields.
            const HWND live = calc->liveHandle();
            const HWND table = calc->tableHandle();
            const bool inCalc
                = message.hwnd == calc->handle() || IsChild(calc->handle(), message.hwnd);
            if (inCalc && TranslateAcceleratorW(calc->handle(), shortcuts, &message))
                continue;
            if (live && IsDialogMessageW(live, &message))
                continue;
            if (table && IsDialogMessageW(table, &message))
                continue;
            if (!IsDialogMessageW(calc->handle(), &message)) {
                TranslateMessage(&message);
                DispatchMessageW(&message);
            }
        }
        DestroyAcceleratorTable(shortcuts);
        status = got == 0 ? static_cast<int>(message.wParam) : 1;
    }
    return status;
}
