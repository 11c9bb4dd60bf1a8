#include "form/win32/table_window.h"

#include "form/win32/live_window.h"
#include "form/win32/registry.h"
#include "form/win32/resource_ids.h"
#include "form/win32/text.h"

#include <commctrl.h>
#include <commdlg.h>

#include <algorithm>
#include <cstdio>
#include <utility>

namespace modbuscalc::win32 {

namespace {

constexpr wchar_t SettingsKey[] = L"Software\\Example Controls\\Modbus Calculator\\Table view";
// A reading or a write's outcome is waiting: the worker's word to the dialog.
constexpr UINT Arrived = WM_APP + 1;
// The cell's editor lost the focus: closed, nothing sent.
constexpr UINT EditLeft = WM_APP + 2;
constexpr UINT_PTR UnmarkTimer = 1;
constexpr UINT_PTR EditSubclass = 1;
constexpr UINT_PTR GridSubclass = 2;

// Tints as the Qt view has them, over the list's white.
constexpr COLORREF ChangedColour = RGB(255, 224, 130); // amber: it just changed
constexpr COLORREF NamedColour = RGB(187, 222, 251); // blue: the calculator's cell
constexpr COLORREF QuietColour = RGB(128, 128, 128); // no value to show

} // namespace

TableChoice StoredTableChoice()
{
    return ReadRegistry(SettingsKey, &TableChoice::FromPairs);
}

void StoreTableChoice(const TableChoice &choice)
{
    WriteRegistry(SettingsKey, choice.toPairs());
}

TableWindow::TableWindow(HINSTANCE instance, HWND owner, const FieldSet &fields, ShowCell showCell,
    UINT closed, UINT connectionChanged)
    : m_instance(instance)
    , m_owner(owner)
    , m_fields(fields)
    , m_showCell(std::move(showCell))
    , m_closed(closed)
    , m_connectionChanged(connectionChanged)
    , m_settings(StoredLiveSettings())
    , m_choice(StoredTableChoice())
{
}

std::unique_ptr<TableWindow> TableWindow::Create(HINSTANCE instance, HWND owner,
    const FieldSet &fields, std::shared_ptr<DeviceLine> line, ShowCell showCell, UINT closed,
    UINT connectionChanged)
{
    const INITCOMMONCONTROLSEX classes { sizeof(INITCOMMONCONTROLSEX), ICC_LISTVIEW_CLASSES };
    InitCommonControlsEx(&classes);
    std::unique_ptr<TableWindow> table(
        new TableWindow(instance, owner, fields, std::move(showCell), closed, connectionChanged));
    table->m_reader = std::make_unique<TableReader>(
        [self = table.get()](TableReading reading) {
            {
                const std::lock_guard lock(self->m_mutex);
                self->m_arrived.emplace_back(std::move(reading));
            }
            PostMessageW(self->m_dialog, Arrived, 0, 0);
        },
        [self = table.get()](WriteOutcome outcome) {
            {
                const std::lock_guard lock(self->m_mutex);
                self->m_arrived.emplace_back(std::move(outcome));
            }
            PostMessageW(self->m_dialog, Arrived, 0, 0);
        },
        std::move(line));
    table->m_dialog = CreateDialogParamW(instance, MAKEINTRESOURCEW(MODBUSCALC_IDD_TABLE), owner,
        DialogProc, reinterpret_cast<LPARAM>(table.get()));
    if (!table->m_dialog)
        return nullptr;
    // Below the calculator.
    RECT calc {};
    GetWindowRect(owner, &calc);
    SetWindowPos(
        table->m_dialog, nullptr, calc.left, calc.bottom + 8, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    table->follow();
    table->read();
    ShowWindow(table->m_dialog, SW_SHOW);
    SetFocus(table->m_grid);
    return table;
}

TableWindow::~TableWindow()
{
    m_reader.reset();
    if (m_dialog) {
        SetWindowLongPtrW(m_dialog, DWLP_USER, 0);
        DestroyWindow(m_dialog);
    }
}

INT_PTR CALLBACK TableWindow::DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_INITDIALOG) {
        SetWindowLongPtrW(dialog, DWLP_USER, lParam);
        auto *table = reinterpret_cast<TableWindow *>(lParam);
        table->m_dialog = dialog;
        table->onInit();
        return FALSE;
    }
    auto *table = reinterpret_cast<TableWindow *>(GetWindowLongPtrW(dialog, DWLP_USER));
    if (!table)
        return FALSE;
    switch (message) {
    case WM_COMMAND:
        table->onCommand(wParam);
        return TRUE;
    case WM_NOTIFY:
        SetWindowLongPtrW(
            dialog, DWLP_MSGRESULT, table->onNotify(*reinterpret_cast<NMHDR *>(lParam)));
        return TRUE;
    case WM_SIZE:
        table->onSize();
        return TRUE;
    case WM_TIMER:
        table->onTimer();
        return TRUE;
    case WM_CLOSE:
        PostMessageW(table->m_owner, table->m_closed, 0, 0);
        return TRUE;
    case Arrived:
        table->onArrived();
        return TRUE;
    case EditLeft:
        table->endEdit(false);
        return TRUE;
    default:
        return FALSE;
    }
}

void TableWindow::onInit()
{
    HWND tables = item(MODBUSCALC_IDC_TABLE_TABLE);
    for (int t = 0; t < TableCount; ++t)
        SendMessageW(tables, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(std::to_wstring(t).c_str()));
    SendMessageW(tables, CB_SETCURSEL, static_cast<WPARAM>(m_choice.table), 0);
    FillChoices(item(MODBUSCALC_IDC_TABLE_TYPE), LiveTypes, static_cast<int>(m_choice.type));
    FillChoices(item(MODBUSCALC_IDC_TABLE_FORMAT), LiveFormats, static_cast<int>(m_choice.format));
    FillChoices(item(MODBUSCALC_IDC_TABLE_ORDER), LiveWordOrders, static_cast<int>(m_choice.order));
    SetDlgItemTextW(m_dialog, MODBUSCALC_IDC_TABLE_CONNECTION, L"Connection\u2026");
    SetDlgItemTextW(m_dialog, MODBUSCALC_IDC_TABLE_SAVE, L"Save as CSV\u2026");

    m_grid = item(MODBUSCALC_IDC_TABLE_GRID);
    ListView_SetExtendedListViewStyle(m_grid, LVS_EX_GRIDLINES | LVS_EX_DOUBLEBUFFER);
    const UINT dpi = GetDpiForWindow(m_dialog);
    const auto scaled = [dpi](int pixels) { return MulDiv(pixels, static_cast<int>(dpi), 96); };
    std::wstring title = L"Row";
    LVCOLUMNW column {};
    column.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_FMT;
    column.fmt = LVCFMT_RIGHT;
    column.cx = scaled(36);
    column.pszText = title.data();
    ListView_InsertColumn(m_grid, 0, &column);
    for (int c = 0; c < TableColumns; ++c) {
        title = L"Column " + std::to_wstring(c);
        column.pszText = title.data();
        column.cx = scaled(76); // a 32-bit value, signed
        ListView_InsertColumn(m_grid, c + 1, &column);
    }
    ListView_SetItemCountEx(m_grid, TableRows, LVSICF_NOINVALIDATEALL);
    SetWindowSubclass(m_grid, GridProc, GridSubclass, reinterpret_cast<DWORD_PTR>(this));

    // Each cell's notes as its tooltip.
    m_toolTip = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr,
        WS_POPUP | TTS_NOPREFIX | TTS_ALWAYSTIP, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
        CW_USEDEFAULT, m_dialog, nullptr, m_instance, nullptr);
    TOOLINFOW tool {};
    tool.cbSize = sizeof tool;
    tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    tool.hwnd = m_dialog;
    tool.uId = reinterpret_cast<UINT_PTR>(m_grid);
    tool.lpszText = LPSTR_TEXTCALLBACKW;
    SendMessageW(m_toolTip, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
    SendMessageW(m_toolTip, TTM_SETMAXTIPWIDTH, 0, scaled(400));
    const bool bits = device::IsBits(m_choice.type);
    EnableWindow(item(MODBUSCALC_IDC_TABLE_FORMAT), !bits);
    EnableWindow(item(MODBUSCALC_IDC_TABLE_ORDER), !bits);
}

void TableWindow::onSize()
{
    // The grid takes what the choosers and the status line leave.
    RECT client {}, grid {}, status {};
    GetClientRect(m_dialog, &client);
    const auto place = [this](HWND control, RECT &rect) {
        GetWindowRect(control, &rect);
        MapWindowPoints(nullptr, m_dialog, reinterpret_cast<POINT *>(&rect), 2);
    };
    place(m_grid, grid);
    place(item(MODBUSCALC_IDC_TABLE_STATUS), status);
    const int margin = grid.left;
    const int statusHeight = status.bottom - status.top;
    const int width = std::max(0, static_cast<int>(client.right - 2 * margin));
    SetWindowPos(item(MODBUSCALC_IDC_TABLE_STATUS), nullptr, margin,
        client.bottom - margin - statusHeight, width, statusHeight, SWP_NOZORDER);
    SetWindowPos(m_grid, nullptr, margin, grid.top, width,
        std::max(0, static_cast<int>(client.bottom - margin * 2 - statusHeight - grid.top)),
        SWP_NOZORDER);
}

void TableWindow::onCommand(WPARAM wParam)
{
    switch (LOWORD(wParam)) {
    case MODBUSCALC_IDC_TABLE_TABLE:
    case MODBUSCALC_IDC_TABLE_TYPE:
    case MODBUSCALC_IDC_TABLE_FORMAT:
    case MODBUSCALC_IDC_TABLE_ORDER:
        if (HIWORD(wParam) == CBN_SELCHANGE)
            choose();
        break;
    case MODBUSCALC_IDC_TABLE_CONNECTION:
        editConnection();
        break;
    case MODBUSCALC_IDC_TABLE_SAVE:
        saveCsv();
        break;
    case IDOK: // Enter: edits the current cell, or confirms the edit
        if (m_edit)
            endEdit(true);
        else if (GetFocus() == m_grid)
            beginEdit();
        break;
    case IDCANCEL: // Esc
        if (m_edit)
            endEdit(false);
        else
            PostMessageW(m_owner, m_closed, 0, 0);
        break;
    default:
        break;
    }
}

LRESULT TableWindow::onNotify(NMHDR &header)
{
    if (header.hwndFrom == m_toolTip && header.code == TTN_GETDISPINFOW) {
        m_toolTipText = m_tipCell < 0
            ? std::wstring()
            : toWide(CellNotes(m_choice, m_tipCell, m_fields.modbusSelected()));
        reinterpret_cast<NMTTDISPINFOW &>(header).lpszText = m_toolTipText.data();
        return 0;
    }
    if (header.hwndFrom != m_grid)
        return 0;
    switch (header.code) {
    case LVN_GETDISPINFOW: {
        LVITEMW &cell = reinterpret_cast<NMLVDISPINFOW &>(header).item;
        if (!(cell.mask & LVIF_TEXT))
            return 0;
        m_cellText = cell.iSubItem == 0
            ? std::to_wstring(cell.iItem)
            : toWide(m_state.text(CellIndex(cell.iSubItem - 1, cell.iItem)));
        cell.pszText = m_cellText.data();
        return 0;
    }
    case NM_CUSTOMDRAW:
        return onCustomDraw(reinterpret_cast<NMLVCUSTOMDRAW &>(header));
    case NM_CLICK:
    case NM_DBLCLK: {
        const auto &activate = reinterpret_cast<NMITEMACTIVATE &>(header);
        LVHITTESTINFO hit {};
        hit.pt = activate.ptAction;
        if (ListView_SubItemHitTest(m_grid, &hit) >= 0 && hit.iSubItem > 0) {
            moveTo(hit.iSubItem - 1, hit.iItem, true);
            if (header.code == NM_DBLCLK)
                beginEdit();
        }
        return 0;
    }
    case LVN_ITEMCHANGED: {
        const auto &change = reinterpret_cast<NMLISTVIEW &>(header);
        if ((change.uNewState & LVIS_FOCUSED) && !(change.uOldState & LVIS_FOCUSED)
            && change.iItem >= 0)
            moveTo(m_column, change.iItem, true);
        return 0;
    }
    case LVN_KEYDOWN:
        onKey(reinterpret_cast<NMLVKEYDOWN &>(header).wVKey);
        return 0;
    default:
        return 0;
    }
}

LRESULT TableWindow::onCustomDraw(NMLVCUSTOMDRAW &draw)
{
    switch (draw.nmcd.dwDrawStage) {
    case CDDS_PREPAINT:
        return CDRF_NOTIFYITEMDRAW;
    case CDDS_ITEMPREPAINT:
        return CDRF_NOTIFYSUBITEMDRAW;
    case CDDS_ITEMPREPAINT | CDDS_SUBITEM: {
        draw.clrTextBk = CLR_DEFAULT;
        draw.clrText = CLR_DEFAULT;
        if (draw.iSubItem == 0)
            return CDRF_NEWFONT;
        const int row = static_cast<int>(draw.nmcd.dwItemSpec);
        const int cell = CellIndex(draw.iSubItem - 1, row);
        const bool current = ListView_GetNextItem(m_grid, -1, LVNI_FOCUSED) == row
            && draw.iSubItem - 1 == m_column;
        if (m_state.marked(cell))
            draw.clrTextBk = ChangedColour;
        else if (current
            || (m_named >= 0 && m_named / TableCells == m_choice.table
                && cell == m_named % TableCells))
            draw.clrTextBk = NamedColour;
        if (m_state.kind(cell) != CellKind::Value)
            draw.clrText = QuietColour;
        // The row's selection colour would hide the cells' own.
        draw.nmcd.uItemState &= ~static_cast<UINT>(CDIS_SELECTED | CDIS_FOCUS);
        return CDRF_NEWFONT;
    }
    default:
        return CDRF_DODEFAULT;
    }
}

void TableWindow::onKey(WORD key)
{
    const int row = ListView_GetNextItem(m_grid, -1, LVNI_FOCUSED);
    const bool control = GetKeyState(VK_CONTROL) < 0;
    if (key == VK_LEFT && m_column > 0)
        moveTo(m_column - 1, std::max(row, 0), true);
    else if (key == VK_RIGHT && m_column < TableColumns - 1)
        moveTo(m_column + 1, std::max(row, 0), true);
    else if (key == VK_F2)
        beginEdit();
    else if (control && key == 'C')
        copy();
}

LRESULT CALLBACK TableWindow::GridProc(
    HWND grid, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR, DWORD_PTR self)
{
    auto *table = reinterpret_cast<TableWindow *>(self);
    if (message == WM_MOUSEMOVE) {
        // The tooltip speaks of the cell under the mouse: a new cell, a new tip.
        LVHITTESTINFO hit {};
        hit.pt = { static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam)) };
        const int cell = ListView_SubItemHitTest(grid, &hit) >= 0 && hit.iSubItem > 0
            ? CellIndex(hit.iSubItem - 1, hit.iItem)
            : -1;
        if (cell != table->m_tipCell) {
            table->m_tipCell = cell;
            SendMessageW(table->m_toolTip, TTM_POP, 0, 0);
        }
    } else if (message == WM_KEYDOWN && (wParam == VK_LEFT || wParam == VK_RIGHT)) {
        // Left and right move between cells, not the view.
        table->onKey(static_cast<WORD>(wParam));
        return 0;
    }
    return DefSubclassProc(grid, message, wParam, lParam);
}

void TableWindow::redraw(int cell)
{
    if (cell < 0)
        return;
    RECT rect {};
    if (ListView_GetSubItemRect(m_grid, RowOf(cell), ColumnOf(cell) + 1, LVIR_BOUNDS, &rect))
        InvalidateRect(m_grid, &rect, FALSE);
}

void TableWindow::moveTo(int column, int row, bool byUser)
{
    const int focused = ListView_GetNextItem(m_grid, -1, LVNI_FOCUSED);
    const int before = CellIndex(m_column, std::max(0, focused));
    m_column = column;
    // The user's clicks and keys move the list's own focus and selection;
    // the calculator's cell is made the focused one here.
    if (!byUser && focused != row) {
        const bool following = std::exchange(m_following, true);
        ListView_SetItemState(m_grid, -1, 0, LVIS_SELECTED);
        ListView_SetItemState(
            m_grid, row, LVIS_FOCUSED | LVIS_SELECTED, LVIS_FOCUSED | LVIS_SELECTED);
        m_following = following;
    }
    ListView_EnsureVisible(m_grid, row, FALSE);
    redraw(before);
    redraw(CellIndex(column, row));
    if (byUser && !m_following)
        m_showCell(m_choice.table, column, row);
}

void TableWindow::follow()
{
    const std::optional<LiveTarget> target = TargetOf(m_fields);
    // Most keys leave the cell as it was: nothing to move then.
    const int before = m_named;
    m_named = target ? target->pdu : -1;
    if (m_named == before)
        return;
    if (before >= 0 && before / TableCells == m_choice.table)
        redraw(before % TableCells);
    if (!target)
        return;
    const int table = m_named / TableCells;
    const int cell = m_named % TableCells;
    m_following = true;
    if (table != m_choice.table) {
        SendMessageW(item(MODBUSCALC_IDC_TABLE_TABLE), CB_SETCURSEL, static_cast<WPARAM>(table), 0);
        choose();
    }
    moveTo(ColumnOf(cell), RowOf(cell), false);
    m_following = false;
}

void TableWindow::reconnect()
{
    m_settings = StoredLiveSettings();
    read();
}

void TableWindow::choose()
{
    m_choice.table
        = static_cast<int>(SendMessageW(item(MODBUSCALC_IDC_TABLE_TABLE), CB_GETCURSEL, 0, 0));
    m_choice.type = static_cast<RegisterType>(ChosenValue(item(MODBUSCALC_IDC_TABLE_TYPE)));
    m_choice.format = static_cast<ValueFormat>(ChosenValue(item(MODBUSCALC_IDC_TABLE_FORMAT)));
    m_choice.order = static_cast<WordOrder>(ChosenValue(item(MODBUSCALC_IDC_TABLE_ORDER)));
    const bool bits = device::IsBits(m_choice.type);
    EnableWindow(item(MODBUSCALC_IDC_TABLE_FORMAT), !bits);
    EnableWindow(item(MODBUSCALC_IDC_TABLE_ORDER), !bits);
    StoreTableChoice(m_choice);
    read();
}

void TableWindow::read()
{
    const std::uint64_t generation = m_reader->follow(m_choice, m_settings);
    if (generation == m_state.generation())
        return;
    endEdit(false);
    m_state.reset(m_choice, generation);
    InvalidateRect(m_grid, nullptr, FALSE);
    showStatus();
}

void TableWindow::onArrived()
{
    std::deque<std::variant<TableReading, WriteOutcome>> arrived;
    {
        const std::lock_guard lock(m_mutex);
        arrived.swap(m_arrived);
    }
    const auto now = TableState::Clock::now();
    for (const auto &news : arrived) {
        const std::vector<int> changed = std::holds_alternative<TableReading>(news)
            ? m_state.take(std::get<TableReading>(news), now)
            : m_state.take(std::get<WriteOutcome>(news), now);
        for (const int cell : changed)
            redraw(cell);
        if (!changed.empty())
            SetTimer(m_dialog, UnmarkTimer, 250, nullptr);
    }
    showStatus();
}

void TableWindow::onTimer()
{
    for (const int cell : m_state.unmark(TableState::Clock::now()))
        redraw(cell);
    for (int cell = 0; cell < TableCells; ++cell)
        if (m_state.marked(cell))
            return;
    KillTimer(m_dialog, UnmarkTimer);
}

void TableWindow::showStatus()
{
    SetDlgItemTextW(
        m_dialog, MODBUSCALC_IDC_TABLE_STATUS, toWide(m_state.status(m_settings)).c_str());
}

void TableWindow::beginEdit()
{
    const int row = ListView_GetNextItem(m_grid, -1, LVNI_FOCUSED);
    if (row < 0 || m_edit)
        return;
    const int cell = CellIndex(m_column, row);
    if (!m_state.editable(cell))
        return;
    RECT rect {};
    ListView_GetSubItemRect(m_grid, row, m_column + 1, LVIR_BOUNDS, &rect);
    const std::wstring value
        = m_state.kind(cell) == CellKind::Value ? toWide(m_state.text(cell)) : std::wstring();
    m_edit = CreateWindowExW(0, L"EDIT", value.c_str(),
        WS_CHILD | WS_VISIBLE | WS_BORDER | ES_AUTOHSCROLL | ES_RIGHT, rect.left, rect.top,
        rect.right - rect.left, rect.bottom - rect.top, m_grid,
        reinterpret_cast<HMENU>(static_cast<INT_PTR>(MODBUSCALC_IDC_TABLE_EDIT)), m_instance,
        nullptr);
    SendMessageW(
        m_edit, WM_SETFONT, static_cast<WPARAM>(SendMessageW(m_grid, WM_GETFONT, 0, 0)), TRUE);
    SetWindowSubclass(m_edit, EditProc, EditSubclass, reinterpret_cast<DWORD_PTR>(this));
    m_editing = cell;
    SetFocus(m_edit);
    SendMessageW(m_edit, EM_SETSEL, 0, -1);
}

LRESULT CALLBACK TableWindow::EditProc(
    HWND edit, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR, DWORD_PTR self)
{
    auto *table = reinterpret_cast<TableWindow *>(self);
    switch (message) {
    case WM_GETDLGCODE:
        return DLGC_WANTALLKEYS; // Enter and Esc are the editor's
    case WM_KEYDOWN:
        if (wParam == VK_RETURN || wParam == VK_ESCAPE) {
            table->endEdit(wParam == VK_RETURN);
            return 0;
        }
        if (wParam == VK_TAB) {
            table->endEdit(false);
            return 0;
        }
        break;
    case WM_CHAR:
        if (wParam == L'\r' || wParam == 0x1B || wParam == L'\t')
            return 0; // no beep
        break;
    case WM_KILLFOCUS:
        // Leaving the cell sends nothing.
        PostMessageW(table->m_dialog, EditLeft, 0, 0);
        break;
    default:
        break;
    }
    return DefSubclassProc(edit, message, wParam, lParam);
}

void TableWindow::endEdit(bool confirmed)
{
    if (!m_edit)
        return;
    const std::string text = toUtf8(windowText(m_edit));
    const int cell = m_editing;
    HWND edit = std::exchange(m_edit, nullptr);
    m_editing = -1;
    RemoveWindowSubclass(edit, EditProc, EditSubclass);
    DestroyWindow(edit);
    SetFocus(m_grid);
    if (!confirmed || cell < 0)
        return;
    const auto sent = m_reader->write(cell, text);
    if (const auto *why = std::get_if<std::string>(&sent)) {
        m_state.refused(cell, *why);
    } else {
        m_state.writing(cell, std::get<std::uint64_t>(sent),
            std::get<std::vector<std::uint16_t>>(CellWords(m_choice, text)));
        redraw(cell);
    }
    showStatus();
}

void TableWindow::copy()
{
    // The selected rows, each of its 8 cells.
    std::vector<int> cells;
    for (int row = ListView_GetNextItem(m_grid, -1, LVNI_SELECTED); row >= 0;
         row = ListView_GetNextItem(m_grid, row, LVNI_SELECTED))
        for (int column = 0; column < TableColumns; ++column)
            cells.push_back(CellIndex(column, row));
    if (cells.empty() || !OpenClipboard(m_dialog))
        return;
    const std::wstring text = toWide(m_state.tabSeparated(cells));
    EmptyClipboard();
    if (HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, (text.size() + 1) * sizeof(wchar_t))) {
        std::copy_n(text.c_str(), text.size() + 1, static_cast<wchar_t *>(GlobalLock(memory)));
        GlobalUnlock(memory);
        if (!SetClipboardData(CF_UNICODETEXT, memory))
            GlobalFree(memory);
    }
    CloseClipboard();
}

void TableWindow::editConnection()
{
    LiveSettings settings = StoredLiveSettings();
    if (EditConnection(m_instance, m_dialog, settings))
        PostMessageW(m_owner, m_connectionChanged, 0, 0);
}

void TableWindow::saveCsv()
{
    wchar_t path[MAX_PATH] {};
    const std::wstring suggested = L"table-" + std::to_wstring(m_choice.table) + L".csv";
    std::copy(suggested.begin(), suggested.end(), path);
    OPENFILENAMEW dialog {};
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = m_dialog;
    dialog.lpstrFilter = L"CSV (*.csv)\0*.csv\0";
    dialog.lpstrFile = path;
    dialog.nMaxFile = MAX_PATH;
    dialog.lpstrDefExt = L"csv";
    dialog.Flags = OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST;
    if (!GetSaveFileNameW(&dialog))
        return;
    // Written beside it first, then put in its place: a full disk leaves
    // the file as it was.
    const std::wstring part = std::wstring(path) + L".part";
    const std::string text = m_state.csv(m_fields.modbusSelected());
    bool saved = false;
    if (FILE *file = _wfopen(part.c_str(), L"wb")) {
        saved = std::fwrite(text.data(), 1, text.size(), file) == text.size();
        saved = std::fclose(file) == 0 && saved;
    }
    saved = saved && MoveFileExW(part.c_str(), path, MOVEFILE_REPLACE_EXISTING);
    if (!saved)
        DeleteFileW(part.c_str());
    SetDlgItemTextW(m_dialog, MODBUSCALC_IDC_TABLE_STATUS,
        ((saved ? L"Saved " : L"Not saved: ") + std::wstring(path)).c_str());
}

} // namespace modbuscalc::win32
