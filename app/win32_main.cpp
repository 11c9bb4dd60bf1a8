#include "form/win32/calc_window.h"

#include <objbase.h>

// The Windows entry point: the native window and its event loop.
int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand)
{
    // For the imaging component that decodes the logo.
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE)))
        return 1;
    int status = 1;
    if (auto calc = modbuscalc::win32::Calc::Create(instance)) {
        calc->show(showCommand);
        MSG message;
        BOOL got;
        while ((got = GetMessageW(&message, nullptr, 0, 0)) > 0) {
            // Tab, Shift+Tab and the arrow keys move the focus the
            // platform's way; the key releases still reach the fields.
            if (!IsDialogMessageW(calc->handle(), &message)) {
                TranslateMessage(&message);
                DispatchMessageW(&message);
            }
        }
        status = got == 0 ? static_cast<int>(message.wParam) : 1;
    }
    CoUninitialize();
    return status;
}
