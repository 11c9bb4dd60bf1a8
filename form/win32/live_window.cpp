#include "form/win32/live_window.h"

#include "core/text.h"

#include "form/win32/registry.h"
#include "form/win32/resource_ids.h"
#include "form/win32/text.h"

#include <charconv>
#include <utility>

namespace modbuscalc::win32 {

namespace {

constexpr wchar_t SettingsKey[] = L"Software\\Example Controls\\Modbus Calculator\\Live value";
// A reading is waiting: the worker's word to the dialog.
constexpr UINT ReadingArrived = WM_APP + 1;

std::string numberText(double value)
{
    char text[32];
    return std::string(text, std::to_chars(text, text + sizeof text, value).ptr);
}

std::string itemText(HWND dialog, int id)
{
    return toUtf8(windowText(GetDlgItem(dialog, id)));
}

} // namespace

void FillChoices(HWND box, const std::vector<LiveChoice> &choices, int value)
{
    for (const LiveChoice &choice : choices) {
        const auto at = SendMessageW(
            box, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(toWide(choice.name).c_str()));
        SendMessageW(box, CB_SETITEMDATA, static_cast<WPARAM>(at), choice.value);
        if (choice.value == value)
            SendMessageW(box, CB_SETCURSEL, static_cast<WPARAM>(at), 0);
    }
}

int ChosenValue(HWND box)
{
    const auto at = SendMessageW(box, CB_GETCURSEL, 0, 0);
    return static_cast<int>(SendMessageW(box, CB_GETITEMDATA, static_cast<WPARAM>(at), 0));
}

namespace {

// The connection dialog: the settings to show, then those the user chose.
INT_PTR CALLBACK ConnectionProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_INITDIALOG) {
        SetWindowLongPtrW(dialog, DWLP_USER, lParam);
        const LiveSettings &settings = *reinterpret_cast<LiveSettings *>(lParam);
        CheckRadioButton(dialog, MODBUSCALC_IDC_CONNECTION_TCP, MODBUSCALC_IDC_CONNECTION_SERIAL,
            settings.serial ? MODBUSCALC_IDC_CONNECTION_SERIAL : MODBUSCALC_IDC_CONNECTION_TCP);
        for (const auto &[id, text] : { std::pair { MODBUSCALC_IDC_CONNECTION_HOST, settings.host },
                 std::pair { MODBUSCALC_IDC_CONNECTION_PORT, std::to_string(settings.port) },
                 std::pair { MODBUSCALC_IDC_CONNECTION_SERIAL_PORT, settings.serialPort },
                 std::pair { MODBUSCALC_IDC_CONNECTION_SPEED, std::to_string(settings.baud) },
                 std::pair { MODBUSCALC_IDC_CONNECTION_UNIT, std::to_string(settings.unit) },
                 std::pair { MODBUSCALC_IDC_CONNECTION_INTERVAL, numberText(settings.interval) },
                 std::pair { MODBUSCALC_IDC_CONNECTION_TIMEOUT, numberText(settings.timeout) } })
            SetDlgItemTextW(dialog, id, toWide(text).c_str());
        HWND speed = GetDlgItem(dialog, MODBUSCALC_IDC_CONNECTION_SPEED);
        for (const int baud : LiveSpeeds)
            SendMessageW(
                speed, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(std::to_wstring(baud).c_str()));
        SetWindowTextW(speed, toWide(std::to_string(settings.baud)).c_str());
        FillChoices(
            GetDlgItem(dialog, MODBUSCALC_IDC_CONNECTION_PARITY), LiveParities, settings.parity);
        return TRUE;
    }
    if (message != WM_COMMAND)
        return FALSE;
    if (LOWORD(wParam) == IDCANCEL) {
        EndDialog(dialog, IDCANCEL);
        return TRUE;
    }
    if (LOWORD(wParam) != IDOK)
        return FALSE;
    auto &settings = *reinterpret_cast<LiveSettings *>(GetWindowLongPtrW(dialog, DWLP_USER));
    LiveSettings read = settings;
    read.serial = IsDlgButtonChecked(dialog, MODBUSCALC_IDC_CONNECTION_SERIAL) == BST_CHECKED;
    read.host = itemText(dialog, MODBUSCALC_IDC_CONNECTION_HOST);
    read.serialPort = itemText(dialog, MODBUSCALC_IDC_CONNECTION_SERIAL_PORT);
    read.parity
        = static_cast<char>(ChosenValue(GetDlgItem(dialog, MODBUSCALC_IDC_CONNECTION_PARITY)));
    const auto port = NumberOf<int>(itemText(dialog, MODBUSCALC_IDC_CONNECTION_PORT));
    const auto baud = NumberOf<int>(itemText(dialog, MODBUSCALC_IDC_CONNECTION_SPEED));
    const auto unit = NumberOf<int>(itemText(dialog, MODBUSCALC_IDC_CONNECTION_UNIT));
    const auto interval = NumberOf<double>(itemText(dialog, MODBUSCALC_IDC_CONNECTION_INTERVAL));
    const auto timeout = NumberOf<double>(itemText(dialog, MODBUSCALC_IDC_CONNECTION_TIMEOUT));
    std::optional<std::string> problem;
    if (!port || !baud || *baud <= 0 || !unit || !interval || !timeout)
        problem = "a number is not right";
    else {
        read.port = *port;
        read.baud = *baud;
        read.unit = *unit;
        read.interval = *interval;
        read.timeout = *timeout;
        problem = read.problem();
    }
    if (problem) {
        SetDlgItemTextW(dialog, MODBUSCALC_IDC_CONNECTION_PROBLEM, toWide(*problem).c_str());
        return TRUE;
    }
    settings = read;
    EndDialog(dialog, IDOK);
    return TRUE;
}

} // namespace

LiveSettings StoredLiveSettings()
{
    return ReadRegistry(SettingsKey, &LiveSettings::FromPairs);
}

void StoreLiveSettings(const LiveSettings &settings)
{
    WriteRegistry(SettingsKey, settings.toPairs());
}

LiveWindow::LiveWindow(
    HINSTANCE instance, HWND owner, const FieldSet &fields, UINT closed, UINT connectionChanged)
    : m_instance(instance)
    , m_owner(owner)
    , m_fields(fields)
    , m_closed(closed)
    , m_connectionChanged(connectionChanged)
    , m_settings(StoredLiveSettings())
{
}

std::unique_ptr<LiveWindow> LiveWindow::Create(HINSTANCE instance, HWND owner,
    const FieldSet &fields, std::shared_ptr<DeviceLine> line, UINT closed, UINT connectionChanged)
{
    std::unique_ptr<LiveWindow> live(
        new LiveWindow(instance, owner, fields, closed, connectionChanged));
    live->m_dialog = CreateDialogParamW(instance, MAKEINTRESOURCEW(MODBUSCALC_IDD_LIVE), owner,
        DialogProc, reinterpret_cast<LPARAM>(live.get()));
    if (!live->m_dialog)
        return nullptr;
    live->m_reader = std::make_unique<LiveReader>(
        [self = live.get()](LiveReading reading) {
            {
                const std::lock_guard lock(self->m_mutex);
                self->m_arrived.push_back(std::move(reading));
            }
            PostMessageW(self->m_dialog, ReadingArrived, 0, 0);
        },
        std::move(line));
    // Beside the calculator, which keeps the focus its user gave it.
    RECT calc {};
    GetWindowRect(owner, &calc);
    SetWindowPos(live->m_dialog, nullptr, calc.right + 8, calc.top, 0, 0,
        SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    ShowWindow(live->m_dialog, SW_SHOWNOACTIVATE);
    live->follow();
    return live;
}

LiveWindow::~LiveWindow()
{
    m_reader.reset();
    if (m_dialog) {
        SetWindowLongPtrW(m_dialog, DWLP_USER, 0);
        DestroyWindow(m_dialog);
    }
}

INT_PTR CALLBACK LiveWindow::DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_INITDIALOG) {
        SetWindowLongPtrW(dialog, DWLP_USER, lParam);
        auto *live = reinterpret_cast<LiveWindow *>(lParam);
        live->m_dialog = dialog;
        live->onInit();
        return FALSE; // the focus stays where it was
    }
    auto *live = reinterpret_cast<LiveWindow *>(GetWindowLongPtrW(dialog, DWLP_USER));
    if (!live)
        return FALSE;
    switch (message) {
    case WM_COMMAND:
        live->onCommand(wParam);
        return TRUE;
    case WM_CLOSE:
        PostMessageW(live->m_owner, live->m_closed, 0, 0);
        return TRUE;
    case ReadingArrived:
        live->onReading();
        return TRUE;
    default:
        return FALSE;
    }
}

void LiveWindow::onInit()
{
    FillChoices(GetDlgItem(m_dialog, MODBUSCALC_IDC_LIVE_TYPE), LiveTypes,
        static_cast<int>(m_settings.type));
    FillChoices(GetDlgItem(m_dialog, MODBUSCALC_IDC_LIVE_FORMAT), LiveFormats,
        static_cast<int>(m_settings.format));
    FillChoices(GetDlgItem(m_dialog, MODBUSCALC_IDC_LIVE_ORDER), LiveWordOrders,
        static_cast<int>(m_settings.order));
    SetDlgItemTextW(m_dialog, MODBUSCALC_IDC_LIVE_CONNECTION, L"Connection\u2026");
    for (const int id : { MODBUSCALC_IDC_LIVE_VALUE, MODBUSCALC_IDC_LIVE_LAST_READ })
        setText(id, NoValue);
}

void LiveWindow::onCommand(WPARAM wParam)
{
    switch (LOWORD(wParam)) {
    case MODBUSCALC_IDC_LIVE_TYPE:
    case MODBUSCALC_IDC_LIVE_FORMAT:
    case MODBUSCALC_IDC_LIVE_ORDER:
        if (HIWORD(wParam) == CBN_SELCHANGE)
            choose();
        break;
    case MODBUSCALC_IDC_LIVE_CONNECTION:
        editConnection();
        break;
    case IDCANCEL: // Esc
        PostMessageW(m_owner, m_closed, 0, 0);
        break;
    default:
        break;
    }
}

void LiveWindow::setText(int id, std::string_view text) const
{
    SetDlgItemTextW(m_dialog, id, toWide(text).c_str());
}

void LiveWindow::follow()
{
    const std::optional<LiveTarget> target = TargetOf(m_fields);
    setText(MODBUSCALC_IDC_LIVE_CELL, target ? target->cell : std::string(NoValue));
    setText(MODBUSCALC_IDC_LIVE_ADDRESS, target ? target->address : std::string(NoValue));
    const std::uint64_t generation = m_reader->follow(target, m_settings);
    if (generation == m_generation)
        return;
    m_generation = generation;
    // Until the device answers: nothing that could pass for the new cell's,
    // nor a time of the cell or device before.
    setText(MODBUSCALC_IDC_LIVE_VALUE, NoValue);
    setText(MODBUSCALC_IDC_LIVE_LAST_READ, NoValue);
    setText(MODBUSCALC_IDC_LIVE_STATE, target ? "reading" : "");
}

void LiveWindow::choose()
{
    m_settings.type
        = static_cast<RegisterType>(ChosenValue(GetDlgItem(m_dialog, MODBUSCALC_IDC_LIVE_TYPE)));
    m_settings.format
        = static_cast<ValueFormat>(ChosenValue(GetDlgItem(m_dialog, MODBUSCALC_IDC_LIVE_FORMAT)));
    m_settings.order
        = static_cast<WordOrder>(ChosenValue(GetDlgItem(m_dialog, MODBUSCALC_IDC_LIVE_ORDER)));
    StoreLiveSettings(m_settings);
    follow();
}

bool EditConnection(HINSTANCE instance, HWND parent, LiveSettings &settings)
{
    LiveSettings edited = settings;
    if (DialogBoxParamW(instance, MAKEINTRESOURCEW(MODBUSCALC_IDD_CONNECTION), parent,
            ConnectionProc, reinterpret_cast<LPARAM>(&edited))
        != IDOK)
        return false;
    settings = edited;
    StoreLiveSettings(settings);
    return true;
}

void LiveWindow::editConnection()
{
    if (EditConnection(m_instance, m_dialog, m_settings))
        PostMessageW(m_owner, m_connectionChanged, 0, 0);
}

void LiveWindow::reconnect()
{
    m_settings = StoredLiveSettings();
    follow();
}

void LiveWindow::onReading()
{
    std::deque<LiveReading> arrived;
    {
        const std::lock_guard lock(m_mutex);
        arrived.swap(m_arrived);
    }
    for (const LiveReading &reading : arrived) {
        if (reading.generation != m_generation)
            continue; // for a cell or settings no longer shown
        setText(MODBUSCALC_IDC_LIVE_VALUE, reading.value);
        setText(MODBUSCALC_IDC_LIVE_STATE, reading.state);
        if (reading.ok)
            setText(MODBUSCALC_IDC_LIVE_LAST_READ, reading.time);
    }
}

} // namespace modbuscalc::win32
