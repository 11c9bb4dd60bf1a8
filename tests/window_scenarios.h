#pragma once

// What a user does in the calculator window, step by step, and what the
// window shows after each step. Both windows run this one table: the Qt
// window's tests through QTest, the native Windows window's UI test through
// real input from another process. Each scenario starts from a fresh window.
//   Categories: the start state and focus; typing in each field, and Error;
//   the mode switch repeating the last direction; the Tab order and what
//   the Tab and Shift+Tab releases run, and Shift+Tab with Modbus selected;
//   arrow keys in the option group; Ctrl+V; keys that change no text; text
//   placed without a key.

#include <array>
#include <span>
#include <string_view>

namespace scenarios {

enum class Action {
    Look, // nothing: only check what the window shows
    Type, // each character of text pressed and released in turn
    Clear, // Home, Shift+End, Delete: the focused field's text selected and deleted
    Press, // the key goes down and stays down
    Release, // the key held goes up
    Stroke, // the key goes down and up
    Click, // a mouse click on the control named by text
    Paste, // text is put on the clipboard
    Place, // text replaces the focused field's, with no key, as a drop would
};

enum class Key { None, Tab, Shift, Control, Down, Up, End, V, Left, Right, Home, F5 };

// The texts of Address, Table, Column, Row and the direction caption. A step
// whose caption is empty checks none of them.
struct Shown {
    std::string_view address, table, column, row, caption;
};

struct Step {
    Action action;
    Key key = Key::None;
    std::string_view text = {};
    Shown shown = {};
    std::string_view focus = {}; // the focused control's name; empty: not checked
    std::string_view selected = {}; // "Absolute" or "Modbus"; empty: not checked
};

struct Scenario {
    std::string_view name;
    std::span<const Step> steps;
    bool usesClipboard = false;
    // Moves the focus into, within or out of the option group by keyboard.
    bool usesOptionGroupKeys = false;
};

inline constexpr std::string_view Addr = "Calculate Address";
inline constexpr std::string_view Tabl = "Calculate Tables";
inline constexpr std::string_view E = "Error";

using enum Action;
using enum Key;

inline constexpr Step StartState[] = {
    { Look, None, {}, { "0", "0", "0", "0", Addr }, "Address", "Absolute" },
};

inline constexpr Step ModbusRightAfterStart[] = {
    { Click, None, "Modbus", { "1", "0", "0", "0", Addr }, {}, "Modbus" },
    { Click, None, "Absolute", { "0", "0", "0", "0", Addr }, {}, "Absolute" },
};

inline constexpr Step TypingAnAddress[] = {
    { Clear, None, {}, { "", "0", "0", "0", Tabl }, "Address" },
    { Type, None, "1", { "1", "0", "0", "1", Tabl } },
    { Type, None, "0241", { "10241", "5", "0", "1", Tabl } },
    { Click, None, "Modbus", { "10241", "5", "0", "0", Tabl }, "Modbus", "Modbus" },
    { Click, None, "Address", { "10241", "5", "0", "0", Tabl }, "Address" },
    { Clear, None, {}, { "", E, E, E, Tabl } },
    { Type, None, "65536", { "65536", "31", "7", "255", Tabl } },
    { Type, None, "7", { "655367", E, E, E, Tabl } },
};

inline constexpr Step TypingTheCell[] = {
    { Stroke, Tab, {}, { "0", "0", "0", "0", Addr }, "Table" },
    { Clear },
    { Type, None, "31", { "63488", "31", "0", "0", Addr } },
    { Stroke, Tab, {}, {}, "Column" },
    { Clear },
    { Type, None, "7", { "65280", "31", "7", "0", Addr } },
    { Stroke, Tab, {}, {}, "Row" },
    { Clear },
    { Type, None, "255", { "65535", "31", "7", "255", Addr } },
    { Type, None, "9", { E, "31", "7", "2559", Addr } },
};

inline constexpr Step ModeSwitchRepeatsTheLastDirection[] = {
    { Stroke, Tab, {}, {}, "Table" },
    { Clear },
    { Type, None, "5", { "10240", "5", "0", "0", Addr } },
    { Click, None, "Modbus", { "10241", "5", "0", "0", Addr }, "Modbus", "Modbus" },
    { Click, None, "Absolute", { "10240", "5", "0", "0", Addr }, "Absolute", "Absolute" },
    // A click into a field releases no key: nothing runs until one does.
    { Click, None, "Address", { "10240", "5", "0", "0", Addr }, "Address" },
    { Stroke, End, {}, { "10240", "5", "0", "0", Tabl } },
    { Click, None, "Modbus", { "10240", "4", "7", "255", Tabl }, {}, "Modbus" },
};

inline constexpr Step TabAndShiftTab[] = {
    { Clear },
    { Type, None, "65536", { "65536", E, E, E, Tabl } },
    // The Tab key goes up in Table: the address of cell 0, 0, 0.
    { Stroke, Tab, {}, { "0", E, E, E, Addr }, "Table" },
    { Clear },
    { Type, None, "1", { "2048", "1", E, E, Addr } },
    // Shift+Tab back: both keys go up in Address, each a calculation.
    { Press, Shift, {}, { "2048", "1", E, E, Addr }, "Table" },
    { Press, Tab, {}, { "2048", "1", E, E, Addr }, "Address" },
    { Release, Tab, {}, { "2048", "1", "0", "0", Tabl } },
    { Release, Shift, {}, { "2048", "1", "0", "0", Tabl } },
    // Round the tab order: into the option group nothing runs; out of it,
    // Tab goes up in Address.
    { Stroke, Tab, {}, { "2048", "1", "0", "0", Addr }, "Table" },
    { Stroke, Tab, {}, {}, "Column" },
    { Stroke, Tab, {}, {}, "Row" },
    { Stroke, Tab, {}, { "2048", "1", "0", "0", Addr }, "Absolute" },
    { Stroke, Tab, {}, { "2048", "1", "0", "0", Tabl }, "Address" },
};

inline constexpr Step ArrowKeysInTheOptionGroup[] = {
    { Clear },
    { Type, None, "10241", { "10241", "5", "0", "1", Tabl } },
    { Stroke, Tab, {}, {}, "Table" },
    { Stroke, Tab, {}, {}, "Column" },
    { Stroke, Tab, {}, {}, "Row" },
    { Stroke, Tab, {}, { "10241", "5", "0", "1", Addr }, "Absolute" },
    { Stroke, Down, {}, { "10242", "5", "0", "1", Addr }, "Modbus", "Modbus" },
    { Stroke, Up, {}, { "10241", "5", "0", "1", Addr }, "Absolute", "Absolute" },
};

inline constexpr Step PasteWithCtrlV[] = {
    { Paste, None, "10241" },
    { Clear, None, {}, { "", "0", "0", "0", Tabl } },
    { Press, Control },
    // Pasted when V goes down, calculated when it comes up.
    { Press, V, {}, { "10241", "0", "0", "0", Tabl } },
    { Release, V, {}, { "10241", "5", "0", "1", Tabl } },
    { Release, Control, {}, { "10241", "5", "0", "1", Tabl } },
};

// Each key released recalculates, whether or not it changed the text.
inline constexpr Step KeysThatChangeNoText[] = {
    { Place, None, "10241", { "10241", "0", "0", "0", Addr }, "Address" },
    { Stroke, Left, {}, { "10241", "5", "0", "1", Tabl } },
    { Place, None, "2563", { "2563", "5", "0", "1", Tabl } },
    { Stroke, Home, {}, { "2563", "1", "2", "3", Tabl } },
    { Place, None, "0" },
    { Stroke, Right, {}, { "0", "0", "0", "0", Tabl } },
    { Place, None, "65535" },
    { Stroke, End, {}, { "65535", "31", "7", "255", Tabl } },
    { Place, None, "2305" },
    { Stroke, Up, {}, { "2305", "1", "1", "1", Tabl } },
    { Place, None, "10" },
    { Stroke, F5, {}, { "10", "0", "0", "10", Tabl } },
    { Place, None, "11" },
    { Stroke, Shift, {}, { "11", "0", "0", "11", Tabl } },
    { Place, None, "12" },
    { Stroke, Control, {}, { "12", "0", "0", "12", Tabl } },
};

// Text placed without a key waits: the next calculation uses it.
inline constexpr Step TextPlacedWithoutAKey[] = {
    { Stroke, Tab, {}, { "0", "0", "0", "0", Addr }, "Table" },
    { Place, None, "5", { "0", "5", "0", "0", Addr } },
    { Click, None, "Modbus", { "10241", "5", "0", "0", Addr }, "Modbus", "Modbus" },
};

// Into the option group nothing runs, though Row disagrees with Address;
// out of it, the Tab key goes up in Address.
inline constexpr Step TabIntoTheOptionGroupRunsNothing[] = {
    { Click, None, "Row", {}, "Row" },
    { Place, None, "9", { "0", "0", "0", "9", Addr } },
    { Stroke, Tab, {}, { "0", "0", "0", "9", Addr }, "Absolute" },
    { Stroke, Tab, {}, { "0", "0", "0", "0", Tabl }, "Address" },
};

// With Modbus selected, the option group's one tab stop is Modbus. Shift
// goes down and up with each Tab, as a user's hand does.
inline constexpr Step ShiftTabWithModbusSelected[] = {
    { Click, None, "Modbus", {}, "Modbus", "Modbus" },
    { Click, None, "Address", {}, "Address" },
    { Press, Shift },
    { Stroke, Tab, {}, {}, "Modbus", "Modbus" },
    { Release, Shift },
    { Press, Shift },
    { Stroke, Tab, {}, {}, "Row" },
    { Release, Shift },
    { Press, Shift },
    { Stroke, Tab, {}, {}, "Column" },
    { Release, Shift },
    { Press, Shift },
    { Stroke, Tab, {}, {}, "Table" },
    { Release, Shift },
    { Press, Shift },
    { Stroke, Tab, {}, {}, "Address" },
    { Release, Shift, {}, {}, "Address", "Modbus" },
};

inline constexpr std::array<Scenario, 12> All = { {
    { "StartState", StartState },
    { "ModbusRightAfterStart", ModbusRightAfterStart },
    { "TypingAnAddress", TypingAnAddress },
    { "TypingTheCell", TypingTheCell },
    { "ModeSwitchRepeatsTheLastDirection", ModeSwitchRepeatsTheLastDirection },
    { "TabAndShiftTab", TabAndShiftTab, false, true },
    { "ArrowKeysInTheOptionGroup", ArrowKeysInTheOptionGroup, false, true },
    { "PasteWithCtrlV", PasteWithCtrlV, true },
    { "KeysThatChangeNoText", KeysThatChangeNoText },
    { "TextPlacedWithoutAKey", TextPlacedWithoutAKey },
    { "TabIntoTheOptionGroupRunsNothing", TabIntoTheOptionGroupRunsNothing, false, true },
    { "ShiftTabWithModbusSelected", ShiftTabWithModbusSelected, false, true },
} };

} // namespace scenarios
