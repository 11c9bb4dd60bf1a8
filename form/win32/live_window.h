#pragma once

// The live-value window beside the native calculator: a modeless dialog of
// the program's resources, reading what the calculator's fields name on a
// worker thread.
//
// Data flow: a handler of the calculator -> follow() -> LiveReader on its
// worker -> the reading queued here, and WM_APP posted to the dialog ->
// onReading() -> the value and the state on screen. Typing never waits on
// the device.

#include "form/field_set.h"
#include "form/live_value.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <deque>
#include <memory>
#include <mutex>

namespace modbuscalc::win32 {

// The settings as the registry keeps them, under the user's key.
LiveSettings StoredLiveSettings();
void StoreLiveSettings(const LiveSettings &settings);

// The connection dialog over parent: true, the settings changed and
// stored, once the user said OK.
bool EditConnection(HINSTANCE instance, HWND parent, LiveSettings &settings);

// A combo box of the choices, at the value; the value chosen.
void FillChoices(HWND box, const std::vector<LiveChoice> &choices, int value);
int ChosenValue(HWND box);

class LiveWindow {
public:
    // Opens the window beside owner, reading what fields name over line;
    // nullptr when Windows refuses it. closed is posted to owner when the
    // user closes it, for the owner to destroy it; connectionChanged when
    // the user changed the stored connection.
    static std::unique_ptr<LiveWindow> Create(HINSTANCE instance, HWND owner,
        const FieldSet &fields, std::shared_ptr<DeviceLine> line, UINT closed,
        UINT connectionChanged);
    ~LiveWindow(); // stops the worker first, then the window goes
    LiveWindow(const LiveWindow &) = delete;
    LiveWindow &operator=(const LiveWindow &) = delete;

    HWND handle() const { return m_dialog; }
    // The calculator's fields changed: read what they name now.
    void follow();
    // The stored connection changed.
    void reconnect();

private:
    LiveWindow(HINSTANCE instance, HWND owner, const FieldSet &fields, UINT closed,
        UINT connectionChanged);

    static INT_PTR CALLBACK DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
    void onInit();
    void onCommand(WPARAM wParam);
    void onReading();
    void choose();
    void editConnection();
    void setText(int id, std::string_view text) const;

    HINSTANCE m_instance;
    HWND m_owner;
    const FieldSet &m_fields;
    UINT m_closed;
    UINT m_connectionChanged;
    HWND m_dialog = nullptr;
    LiveSettings m_settings;
    std::uint64_t m_generation = 0;
    std::mutex m_mutex; // guards m_arrived, which the worker fills
    std::deque<LiveReading> m_arrived;
    std::unique_ptr<LiveReader> m_reader; // last: its worker stops first
};

} // namespace modbuscalc::win32
