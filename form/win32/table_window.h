#pragma once

// The table view beside the native calculator: a dialog of the program's
// resources around a virtual list view (report view, LVS_OWNERDATA), 256
// rows of a table's 8 columns, read on a worker thread.
//
// Data flow: the choosers, or a handler of the calculator -> follow() ->
// TableReader on its worker -> the reading queued here, and WM_APP posted
// to the dialog -> onArrived() -> TableState::take() -> exactly the cells
// whose text changed are invalidated; LVN_GETDISPINFO and NM_CUSTOMDRAW
// draw them from the state. A cell chosen (click, arrow keys) -> the
// calculator's fields. An edit confirmed with Enter -> TableReader::write().

#include "form/field_set.h"
#include "form/table_view.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <commctrl.h>

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <variant>

namespace modbuscalc::win32 {

// The view's table, type, format and word order as the registry keeps them.
TableChoice StoredTableChoice();
void StoreTableChoice(const TableChoice &choice);

class TableWindow {
public:
    // Names a cell in the calculator's fields and calculates its address.
    using ShowCell = std::function<void(int table, int column, int row)>;

    // Opens the window beside owner, reading the device of the stored
    // connection over line; nullptr when Windows refuses it. closed is
    // posted to owner when the user closes it, for the owner to destroy it;
    // connectionChanged when the user changed the stored connection.
    static std::unique_ptr<TableWindow> Create(HINSTANCE instance, HWND owner,
        const FieldSet &fields, std::shared_ptr<DeviceLine> line, ShowCell showCell, UINT closed,
        UINT connectionChanged);
    ~TableWindow(); // stops the worker first, then the window goes
    TableWindow(const TableWindow &) = delete;
    TableWindow &operator=(const TableWindow &) = delete;

    HWND handle() const { return m_dialog; }
    // The calculator's fields changed: show the table of the cell they
    // name, and mark that cell.
    void follow();
    // The stored connection changed.
    void reconnect();

private:
    TableWindow(HINSTANCE instance, HWND owner, const FieldSet &fields, ShowCell showCell,
        UINT closed, UINT connectionChanged);

    static INT_PTR CALLBACK DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
    static LRESULT CALLBACK EditProc(
        HWND edit, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR subclassId, DWORD_PTR self);
    static LRESULT CALLBACK GridProc(
        HWND grid, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR subclassId, DWORD_PTR self);

    void onInit();
    void onCommand(WPARAM wParam);
    LRESULT onNotify(NMHDR &header);
    void onArrived();
    void onSize();
    void onTimer();
    LRESULT onCustomDraw(NMLVCUSTOMDRAW &draw);
    void onKey(WORD key);
    void choose();
    void read();
    void editConnection();
    void saveCsv();
    void copy();
    void showStatus();
    // The current cell moved: redraw it; moved by the user, tell the
    // calculator, else make it the list's focused row.
    void moveTo(int column, int row, bool byUser);
    void redraw(int cell);
    void beginEdit();
    void endEdit(bool confirmed);
    HWND item(int id) const { return GetDlgItem(m_dialog, id); }

    HINSTANCE m_instance;
    HWND m_owner;
    const FieldSet &m_fields;
    ShowCell m_showCell;
    UINT m_closed;
    UINT m_connectionChanged;
    HWND m_dialog = nullptr;
    HWND m_grid = nullptr;
    HWND m_edit = nullptr; // the cell's editor, while open
    HWND m_toolTip = nullptr;
    std::wstring m_toolTipText;
    int m_tipCell = -1; // the cell the tooltip speaks of
    int m_editing = -1; // the cell being edited
    int m_column = 0; // the current cell's column; its row is the list's focus
    int m_named = -1; // the register the calculator names
    bool m_following = false;
    std::wstring m_cellText; // LVN_GETDISPINFO's answer, kept while it is read
    LiveSettings m_settings;
    TableChoice m_choice;
    TableState m_state;
    std::mutex m_mutex; // guards m_arrived, which the worker fills
    std::deque<std::variant<TableReading, WriteOutcome>> m_arrived;
    std::unique_ptr<TableReader> m_reader; // last: its worker stops first
};

} // namespace modbuscalc::win32
