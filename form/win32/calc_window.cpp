#include "form/win32/calc_window.h"

#include "form/address_notes.h"
#include "form/calculations.h"
#include "form/device_line.h"
#include "form/handlers.h"
#include "form/win32/control_ids.h"
#include "form/win32/live_window.h"
#include "form/win32/resource_ids.h"
#include "form/win32/table_window.h"
#include "form/win32/text.h"

#include <commctrl.h>

#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

namespace modbuscalc::win32 {

namespace {

constexpr wchar_t WindowClassName[] = L"ModbusCalculatorWindow";
// The live-value window was closed: time to let it go.
constexpr UINT LiveClosed = WM_APP + 2;
// The table view was closed.
constexpr UINT TableClosed = WM_APP + 3;
// A companion window changed the stored connection: the others take it.
constexpr UINT ConnectionChanged = WM_APP + 4;
constexpr int BaseDpi = 96; // the density the layout's pixels are given for
constexpr COLORREF colorRef(Rgb rgb)
{
    return RGB(rgb.red, rgb.green, rgb.blue);
}
// Fixed size: no resizing frame, no maximise box.
constexpr DWORD WindowStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;

// The per-monitor DPI functions came with Windows 10 (1607); looked up at run
// time so that the program still starts, at the system density, on older
// Windows.
template <typename Function> Function user32Function(const char *name)
{
    return reinterpret_cast<Function>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"user32.dll"), name)));
}

UINT dpiOf(HWND window)
{
    static const auto getDpiForWindow = user32Function<UINT(WINAPI *)(HWND)>("GetDpiForWindow");
    if (getDpiForWindow)
        return getDpiForWindow(window);
    HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    return static_cast<UINT>(dpi);
}

SIZE windowSizeFor(UINT dpi)
{
    RECT rect { 0, 0, MulDiv(pixels(ClientWidthTwips), static_cast<int>(dpi), BaseDpi),
        MulDiv(pixels(ClientHeightTwips), static_cast<int>(dpi), BaseDpi) };
    static const auto adjustForDpi
        = user32Function<BOOL(WINAPI *)(LPRECT, DWORD, BOOL, DWORD, UINT)>(
            "AdjustWindowRectExForDpi");
    if (adjustForDpi)
        adjustForDpi(&rect, WindowStyle, FALSE, 0, dpi);
    else
        AdjustWindowRectEx(&rect, WindowStyle, FALSE, 0);
    return { rect.right - rect.left, rect.bottom - rect.top };
}

int scaled(int twips, UINT dpi)
{
    return MulDiv(pixels(twips), static_cast<int>(dpi), BaseDpi);
}

// The classic dialog face where Windows still maps that name to a font of
// its own, else its TrueType successor.
const wchar_t *dialogFace()
{
    static const wchar_t *const face = [] {
        LOGFONTW wanted {};
        wanted.lfHeight = -11;
        lstrcpynW(wanted.lfFaceName, L"MS Sans Serif", LF_FACESIZE);
        HFONT font = CreateFontIndirectW(&wanted);
        HDC screen = GetDC(nullptr);
        HGDIOBJ previous = SelectObject(screen, font);
        wchar_t mapped[LF_FACESIZE] {};
        GetTextFaceW(screen, LF_FACESIZE, mapped);
        SelectObject(screen, previous);
        ReleaseDC(nullptr, screen);
        DeleteObject(font);
        return std::wcscmp(mapped, L"MS Sans Serif") == 0 ? L"MS Sans Serif"
                                                          : L"Microsoft Sans Serif";
    }();
    return face;
}

FontHandle makeFont(FontRole role, UINT dpi)
{
    const FontStyle &style = FontOf(role);
    LOGFONTW font {};
    font.lfWeight = style.bold ? FW_BOLD : FW_NORMAL;
    font.lfItalic = style.italic ? TRUE : FALSE;
    font.lfHeight = -MulDiv(style.quarterPoints, static_cast<int>(dpi), 4 * 72);
    font.lfCharSet = DEFAULT_CHARSET;
    font.lfQuality = DEFAULT_QUALITY;
    lstrcpynW(font.lfFaceName, dialogFace(), LF_FACESIZE);
    return FontHandle(CreateFontIndirectW(&font));
}

// The logo renderings are consecutive resources, one for each density.
static_assert(MODBUSCALC_IDR_LOGO_300 - MODBUSCALC_IDR_LOGO_100 + 1 == LogoDensities.size());

// The logo rendered for a screen of this density, as Windows loads a bitmap
// resource (8 bits a pixel, run-length encoded: no decoder, nothing to
// start): the rendering made for that density where one ships, else the
// next sharper one.
BitmapHandle logoRendering(HINSTANCE instance, UINT dpi)
{
    const std::size_t density = LogoDensityFor(MulDiv(static_cast<int>(dpi), 100, BaseDpi));
    return BitmapHandle(static_cast<HBITMAP>(
        LoadImageW(instance, MAKEINTRESOURCEW(MODBUSCALC_IDR_LOGO_100 + static_cast<int>(density)),
            IMAGE_BITMAP, 0, 0, LR_DEFAULTCOLOR)));
}

// The bitmap at width x height: as it is where it has that size, else
// scaled down with halftoning into a bitmap of the screen's own.
BitmapHandle scaledTo(BitmapHandle bitmap, int width, int height)
{
    BITMAP natural {};
    if (!bitmap || !GetObjectW(bitmap.get(), sizeof natural, &natural))
        return nullptr;
    if (natural.bmWidth == width && natural.bmHeight == height)
        return bitmap;
    HDC screen = GetDC(nullptr);
    HDC from = CreateCompatibleDC(screen);
    HDC to = CreateCompatibleDC(screen);
    BitmapHandle scaled(CreateCompatibleBitmap(screen, width, height));
    HGDIOBJ previousFrom = SelectObject(from, bitmap.get());
    HGDIOBJ previousTo = SelectObject(to, scaled.get());
    SetStretchBltMode(to, HALFTONE);
    SetBrushOrgEx(to, 0, 0, nullptr);
    StretchBlt(to, 0, 0, width, height, from, 0, 0, natural.bmWidth, natural.bmHeight, SRCCOPY);
    SelectObject(to, previousTo);
    SelectObject(from, previousFrom);
    DeleteDC(to);
    DeleteDC(from);
    ReleaseDC(nullptr, screen);
    return scaled;
}

// The logo for a screen of this density, as a bitmap of width x height
// pixels, never enlarged from a coarser rendering; nullptr if it fails.
BitmapHandle loadLogo(HINSTANCE instance, UINT dpi, int width, int height)
{
    return scaledTo(logoRendering(instance, dpi), width, height);
}

int shiftState()
{
    // The classic KeyUp shift mask: 1 Shift, 2 Ctrl, 4 Alt.
    return (GetKeyState(VK_SHIFT) < 0 ? 1 : 0) | (GetKeyState(VK_CONTROL) < 0 ? 2 : 0)
        | (GetKeyState(VK_MENU) < 0 ? 4 : 0);
}

std::size_t indexOf(Field field)
{
    return static_cast<std::size_t>(field);
}

} // namespace

Calc::Calc(HINSTANCE instance)
    : m_instance(instance)
{
}

std::unique_ptr<Calc> Calc::Create(HINSTANCE instance)
{
    WNDCLASSEXW windowClass {};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = instance;
    windowClass.hIcon
        = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(MODBUSCALC_IDI_APP), IMAGE_ICON,
            GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON), LR_DEFAULTCOLOR));
    windowClass.hIconSm
        = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(MODBUSCALC_IDI_APP), IMAGE_ICON,
            GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR));
    windowClass.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512)); // IDC_ARROW
    windowClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    windowClass.lpszClassName = WindowClassName;
    if (!RegisterClassExW(&windowClass) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
        return nullptr;
    const INITCOMMONCONTROLSEX classes { sizeof(INITCOMMONCONTROLSEX),
        ICC_TAB_CLASSES }; // tooltips
    InitCommonControlsEx(&classes);

    std::unique_ptr<Calc> calc(new Calc(instance));
    const std::wstring title = toWide(WindowCaption);
    // The size follows in WM_CREATE, once the window's screen density is known.
    if (!CreateWindowExW(0, WindowClassName, title.c_str(), WindowStyle, CW_USEDEFAULT,
            CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, instance, calc.get()))
        return nullptr;
    return calc;
}

Calc::~Calc()
{
    m_live.reset(); // their workers first
    m_table.reset();
    if (m_window) {
        SetWindowLongPtrW(m_window, GWLP_USERDATA, 0);
        DestroyWindow(m_window);
    }
}

std::shared_ptr<DeviceLine> Calc::deviceLine()
{
    std::shared_ptr<DeviceLine> line = m_line.lock();
    if (!line) {
        line = std::make_shared<DeviceLine>();
        m_line = line;
    }
    return line;
}

HWND Calc::liveHandle() const
{
    return m_live ? m_live->handle() : nullptr;
}

HWND Calc::tableHandle() const
{
    return m_table ? m_table->handle() : nullptr;
}

ACCEL Calc::LiveValueShortcut()
{
    return { FVIRTKEY | FCONTROL, 'L', MODBUSCALC_IDM_LIVE_VALUE };
}

ACCEL Calc::TableViewShortcut()
{
    return { FVIRTKEY | FCONTROL, 'T', MODBUSCALC_IDM_TABLE_VIEW };
}

void Calc::calculated()
{
    if (m_live)
        m_live->follow();
    if (m_table)
        m_table->follow();
}

void Calc::onContextMenu(LPARAM lParam)
{
    HMENU menu = CreatePopupMenu();
    AppendMenuW(menu, MF_STRING, MODBUSCALC_IDM_LIVE_VALUE, L"Live value\u2026\tCtrl+L");
    AppendMenuW(menu, MF_STRING, MODBUSCALC_IDM_TABLE_VIEW, L"Table view\u2026\tCtrl+T");
    POINT at { static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam)) };
    if (lParam == -1) { // from the keyboard: at the window's corner
        at = { 0, 0 };
        ClientToScreen(m_window, &at);
    }
    TrackPopupMenu(menu, TPM_RIGHTBUTTON, at.x, at.y, 0, m_window, nullptr);
    DestroyMenu(menu);
}

void Calc::show(int showCommand)
{
    ShowWindow(m_window, showCommand);
    UpdateWindow(m_window);
    SetFocus(m_lastFocus);
}

LRESULT CALLBACK Calc::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_NCCREATE) {
        auto *calc = static_cast<Calc *>(reinterpret_cast<CREATESTRUCTW *>(lParam)->lpCreateParams);
        calc->m_window = window;
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(calc));
    }
    auto *calc = reinterpret_cast<Calc *>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (!calc)
        return DefWindowProcW(window, message, wParam, lParam);

    switch (message) {
    case WM_CREATE:
        return calc->onCreate();
    case WM_COMMAND:
        calc->onCommand(wParam, lParam);
        return 0;
    case WM_CONTEXTMENU:
        calc->onContextMenu(lParam);
        return 0;
    case LiveClosed:
        calc->m_live.reset();
        return 0;
    case TableClosed:
        calc->m_table.reset();
        return 0;
    case ConnectionChanged:
        if (calc->m_live)
            calc->m_live->reconnect();
        if (calc->m_table)
            calc->m_table->reconnect();
        return 0;
    case WM_NOTIFY:
        calc->onNotify(*reinterpret_cast<NMHDR *>(lParam));
        return 0;
    case WM_CTLCOLORSTATIC:
        return calc->onCtlColorStatic(
            reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam));
    case WM_ACTIVATE:
        calc->onActivate(wParam);
        return 0;
    case WM_DPICHANGED:
        calc->onDpiChanged(HIWORD(wParam), *reinterpret_cast<const RECT *>(lParam));
        return 0;
    case WM_DESTROY:
        calc->m_window = nullptr;
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

LRESULT CALLBACK Calc::FieldProc(
    HWND field, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR subclassId, DWORD_PTR self)
{
    // Every released key counts, Alt combinations (WM_SYSKEYUP) included;
    // the edit control still gets the message afterwards.
    if (message == WM_KEYUP || message == WM_SYSKEYUP) {
        const auto handler = KeyUpHandlerFor(static_cast<Field>(subclassId));
        auto &calc = *reinterpret_cast<Calc *>(self);
        handler(calc, static_cast<int>(wParam), shiftState());
        calc.calculated();
    } else if (message == WM_NCDESTROY) {
        RemoveWindowSubclass(field, FieldProc, subclassId);
    }
    return DefSubclassProc(field, message, wParam, lParam);
}

LRESULT Calc::onCreate()
{
    m_dpi = dpiOf(m_window);
    createControls();
    layOut(m_dpi);
    const SIZE size = windowSizeFor(m_dpi);
    SetWindowPos(
        m_window, nullptr, 0, 0, size.cx, size.cy, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    Form_Load(*this);
    m_lastFocus = fieldControl(Field::Address);
    return 0;
}

void Calc::createControls()
{
    const auto create = [this](std::size_t row, DWORD extraStyle) {
        const ControlEntry &entry = layout::CalcLayout[row];
        const wchar_t *windowClass = L"STATIC";
        DWORD style = WS_CHILD | WS_VISIBLE | extraStyle;
        DWORD exStyle = 0;
        switch (entry.kind) {
        case ControlKind::TextField:
            windowClass = L"EDIT";
            style |= WS_TABSTOP | WS_GROUP | ES_AUTOHSCROLL | ES_LEFT;
            exStyle = WS_EX_CLIENTEDGE;
            break;
        case ControlKind::OptionButton:
            // One group, one tab stop: the button checks itself and keeps the
            // tab stop on whichever of the two is selected.
            windowClass = L"BUTTON";
            style |= BS_AUTORADIOBUTTON;
            break;
        case ControlKind::Label:
            style |= WS_GROUP | SS_NOPREFIX
                | (entry.alignment == Alignment::Right         ? SS_RIGHT
                        : entry.alignment == Alignment::Centre ? SS_CENTER
                                                               : SS_LEFTNOWORDWRAP);
            break;
        case ControlKind::Picture:
            style |= WS_GROUP | SS_BITMAP;
            break;
        }
        const std::wstring text
            = entry.kind == ControlKind::Picture ? std::wstring() : toWide(entry.text);
        m_controls[row] = CreateWindowExW(exStyle, windowClass, text.c_str(), style, 0, 0, 0, 0,
            m_window, reinterpret_cast<HMENU>(static_cast<INT_PTR>(ControlIdOfRow(row))),
            m_instance, nullptr);
        return m_controls[row];
    };

    // In the table's order, which is the tab order; each field's caption
    // label just before its field, so that Windows names the field after it.
    for (std::size_t row = 0; row < layout::CalcLayout.size(); ++row) {
        const ControlEntry &entry = layout::CalcLayout[row];
        switch (entry.role) {
        case ControlRole::FieldLabel:
            break; // made with its field
        case ControlRole::FieldBox:
            create(RowOf(CaptionEntry(entry.field)), 0);
            SetWindowSubclass(
                create(row, 0), FieldProc, indexOf(entry.field), reinterpret_cast<DWORD_PTR>(this));
            break;
        case ControlRole::AbsoluteOption:
            create(row, WS_GROUP | WS_TABSTOP);
            break;
        default:
            create(row, 0);
            break;
        }
    }
    const HWND selected = control(
        EntryWithRole(InitiallyModbus ? ControlRole::ModbusOption : ControlRole::AbsoluteOption));
    SendMessageW(selected, BM_SETCHECK, BST_CHECKED, 0);

    // Address's tooltip: asked for its text each time it shows.
    m_toolTip = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr,
        WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
        CW_USEDEFAULT, m_window, nullptr, m_instance, nullptr);
    TTTOOLINFOW tool {};
    tool.cbSize = sizeof(tool);
    tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    tool.hwnd = m_window;
    tool.uId = reinterpret_cast<UINT_PTR>(fieldControl(Field::Address));
    tool.lpszText = LPSTR_TEXTCALLBACKW;
    SendMessageW(m_toolTip, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
}

void Calc::layOut(UINT dpi)
{
    // The controls let go of the old fonts before they are deleted.
    std::array<FontHandle, 4> fonts;
    for (std::size_t role = 0; role < fonts.size(); ++role)
        fonts[role] = makeFont(static_cast<FontRole>(role), dpi);

    for (std::size_t row = 0; row < layout::CalcLayout.size(); ++row) {
        const ControlEntry &entry = layout::CalcLayout[row];
        const HWND handle = m_controls[row];
        SetWindowPos(handle, nullptr, scaled(entry.left, dpi), scaled(entry.top, dpi),
            scaled(entry.width, dpi), scaled(entry.height, dpi), SWP_NOZORDER | SWP_NOACTIVATE);
        if (entry.kind == ControlKind::Picture) {
            // At its natural size, cut off by the window's right edge.
            BitmapHandle logo
                = loadLogo(m_instance, dpi, scaled(entry.width, dpi), scaled(entry.height, dpi));
            SendMessageW(handle, STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(logo.get()));
            m_logo = std::move(logo);
        } else {
            SendMessageW(handle, WM_SETFONT,
                reinterpret_cast<WPARAM>(fonts[static_cast<std::size_t>(entry.font)].get()), TRUE);
        }
    }
    m_fonts = std::move(fonts);
    // Wide enough for its longest line; '\n' breaks the lines.
    SendMessageW(m_toolTip, TTM_SETMAXTIPWIDTH, 0, MulDiv(400, static_cast<int>(dpi), BaseDpi));
}

void Calc::onCommand(WPARAM wParam, LPARAM lParam)
{
    // The context menu's item, or its shortcut: the live value, its window
    // and the device code made only now.
    if (LOWORD(wParam) == MODBUSCALC_IDM_LIVE_VALUE && lParam == 0) {
        if (!m_live)
            m_live = LiveWindow::Create(
                m_instance, m_window, *this, deviceLine(), LiveClosed, ConnectionChanged);
        else
            ShowWindow(m_live->handle(), SW_SHOWNOACTIVATE);
        return;
    }
    if (LOWORD(wParam) == MODBUSCALC_IDM_TABLE_VIEW && lParam == 0) {
        if (!m_table)
            m_table = TableWindow::Create(
                m_instance, m_window, *this, deviceLine(),
                [this](int table, int column, int row) {
                    // As typing the cell would: its address follows.
                    setText(Field::Table, std::to_string(table));
                    setText(Field::Column, std::to_string(column));
                    setText(Field::Row, std::to_string(row));
                    CalculateAddress(*this);
                    calculated();
                },
                TableClosed, ConnectionChanged);
        else
            SetForegroundWindow(m_table->handle());
        return;
    }
    // Sent after the auto radio button has checked itself, for a mouse
    // click, the Space bar or an arrow key within the group.
    if (HIWORD(wParam) != BN_CLICKED)
        return;
    const auto sender = reinterpret_cast<HWND>(lParam);
    for (std::size_t row = 0; row < layout::CalcLayout.size(); ++row) {
        if (m_controls[row] != sender)
            continue;
        if (layout::CalcLayout[row].role == ControlRole::ModbusOption)
            Modbus_Click(*this);
        else if (layout::CalcLayout[row].role == ControlRole::AbsoluteOption)
            Absolute_Click(*this);
        calculated();
    }
}

LRESULT Calc::onCtlColorStatic(HDC dc, HWND painted)
{
    // Labels and option buttons: black on the window's white, whatever the
    // desktop's colours; the direction caption in dark blue.
    const HWND indicator = control(EntryWithRole(ControlRole::DirectionLabel));
    SetTextColor(dc, colorRef(painted == indicator ? IndicatorColour : TextColour));
    SetBkColor(dc, colorRef(FaceColour));
    return reinterpret_cast<LRESULT>(GetStockObject(WHITE_BRUSH));
}

void Calc::onNotify(NMHDR &header)
{
    if (header.code != TTN_GETDISPINFOW || header.hwndFrom != m_toolTip)
        return;
    m_toolTipText = toWide(AddressNotes(*this));
    reinterpret_cast<NMTTDISPINFOW &>(header).lpszText = m_toolTipText.data();
}

void Calc::onActivate(WPARAM wParam)
{
    // A plain window does not keep its focused control across a switch to
    // another program, as a dialog does: remember it, give it back.
    if (LOWORD(wParam) == WA_INACTIVE) {
        const HWND focus = GetFocus();
        if (focus && IsChild(m_window, focus))
            m_lastFocus = focus;
    } else if (m_lastFocus) {
        SetFocus(m_lastFocus);
    }
}

void Calc::onDpiChanged(UINT dpi, const RECT &suggested)
{
    m_dpi = dpi;
    layOut(dpi);
    SetWindowPos(m_window, nullptr, suggested.left, suggested.top, suggested.right - suggested.left,
        suggested.bottom - suggested.top, SWP_NOZORDER | SWP_NOACTIVATE);
}

HWND Calc::control(const ControlEntry &entry) const
{
    return m_controls[RowOf(entry)];
}

HWND Calc::fieldControl(Field field) const
{
    return control(FieldEntry(field));
}

std::string Calc::text(Field field) const
{
    return toUtf8(windowText(fieldControl(field)));
}

void Calc::setText(Field field, std::string text)
{
    SetWindowTextW(fieldControl(field), toWide(text).c_str());
}

bool Calc::modbusSelected() const
{
    const HWND modbus = control(EntryWithRole(ControlRole::ModbusOption));
    return SendMessageW(modbus, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

std::string Calc::caption() const
{
    return toUtf8(windowText(control(EntryWithRole(ControlRole::DirectionLabel))));
}

void Calc::setCaption(std::string caption)
{
    SetWindowTextW(control(EntryWithRole(ControlRole::DirectionLabel)), toWide(caption).c_str());
}

char Calc::decimalSeparator() const
{
    wchar_t symbol[8] {};
    const int length = GetLocaleInfoEx(LOCALE_NAME_USER_DEFAULT, LOCALE_SDECIMAL, symbol, 8);
    // The length counts the terminating null.
    if (length == 2 && symbol[0] > 0 && symbol[0] < 0x80)
        return static_cast<char>(symbol[0]);
    return '.';
}

} // namespace modbuscalc::win32
