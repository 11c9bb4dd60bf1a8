#pragma once

// The calculator's one window on the Windows API.
//
// Data flow: a key released in a field (WM_KEYUP, delivered by Windows to
// whichever field has the focus; Tab and the arrow keys move the focus
// through IsDialogMessage in the event loop) or a selection in the option
// group (BN_CLICKED, sent after the button has checked itself)
//   -> FieldProc() / onCommand()
//   -> the handler of that control and event (form/handlers.h)
//   -> CalculateAddress or CalculateTables (form/calculations.h),
//      which read and write this window's controls through FieldSet
//   -> the new field texts and direction caption are on screen.
// Writing a control through FieldSet raises no handler: only key releases and
// button clicks are listened to, never EN_CHANGE. After each handler the
// live-value window and the table view, when open, are told
// (form/win32/live_window.h, form/win32/table_window.h).

#include "form/calc_layout.h"
#include "form/field_set.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <array>
#include <memory>
#include <string>
#include <type_traits>

namespace modbuscalc {
class DeviceLine;
}

namespace modbuscalc::win32 {

class LiveWindow;
class TableWindow;

struct GdiObjectDeleter {
    void operator()(HGDIOBJ object) const { DeleteObject(object); }
};
using FontHandle = std::unique_ptr<std::remove_pointer_t<HFONT>, GdiObjectDeleter>;
using BitmapHandle = std::unique_ptr<std::remove_pointer_t<HBITMAP>, GdiObjectDeleter>;

class Calc final : public FieldSet {
public:
    // Builds the window and every control at its initial value, runs
    // Form_Load and leaves the focus to go to Address; nullptr when Windows
    // refuses the window.
    static std::unique_ptr<Calc> Create(HINSTANCE instance);
    ~Calc() override;
    Calc(const Calc &) = delete;
    Calc &operator=(const Calc &) = delete;

    HWND handle() const { return m_window; }
    void show(int showCommand);
    // The live-value window, while it is open: the event loop gives it its
    // dialog keys.
    HWND liveHandle() const;
    // The table view, while it is open.
    HWND tableHandle() const;
    // Ctrl+L and Ctrl+T, for the event loop to translate: the context
    // menu's commands.
    static ACCEL LiveValueShortcut();
    static ACCEL TableViewShortcut();

    std::string text(Field field) const override;
    void setText(Field field, std::string text) override;
    bool modbusSelected() const override;
    std::string caption() const override;
    void setCaption(std::string caption) override;
    // The user's locale's decimal symbol, or '.' where that is not one ASCII
    // character.
    char decimalSeparator() const override;

private:
    explicit Calc(HINSTANCE instance);

    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    static LRESULT CALLBACK FieldProc(HWND field, UINT message, WPARAM wParam, LPARAM lParam,
        UINT_PTR subclassId, DWORD_PTR self);

    LRESULT onCreate();
    void onCommand(WPARAM wParam, LPARAM lParam);
    void onContextMenu(LPARAM lParam);
    // A handler ran: the fields may name another register.
    void calculated();
    std::shared_ptr<DeviceLine> deviceLine();
    LRESULT onCtlColorStatic(HDC dc, HWND painted);
    void onNotify(NMHDR &header);
    void onActivate(WPARAM wParam);
    void onDpiChanged(UINT dpi, const RECT &suggested);

    void createControls();
    // Places every control, and sets the fonts and the logo, for this density.
    void layOut(UINT dpi);
    HWND control(const ControlEntry &entry) const;
    HWND fieldControl(Field field) const;

    HINSTANCE m_instance;
    HWND m_window = nullptr;
    UINT m_dpi = 96;
    std::array<HWND, layout::CalcLayout.size()> m_controls {}; // by layout row
    std::array<FontHandle, 4> m_fonts; // by FontRole
    BitmapHandle m_logo;
    HWND m_lastFocus = nullptr; // given back when the window is activated again
    HWND m_toolTip = nullptr;
    std::wstring m_toolTipText; // what the tooltip shows while it shows
    // The companion windows, made when first asked for, and the device
    // line they take turns on.
    // Held by the windows that read: with the last of them gone, the
    // device's connection is closed.
    std::weak_ptr<DeviceLine> m_line;
    std::unique_ptr<LiveWindow> m_live;
    std::unique_ptr<TableWindow> m_table;
};

} // namespace modbuscalc::win32
