#pragma once

// The window's fixed layout: every control with its rectangle (in twips,
// 1/1440 inch), text, font and alignment, in tab order. Nothing moves or
// resizes at run time. Toolkit-free: each window maps these rows to its own
// controls, so the windows cannot drift apart.

#include "form/calculations.h"
#include "form/field_set.h"

#include <array>
#include <cstddef>
#include <string_view>

namespace modbuscalc {

// Fifteen twips make one pixel at 96 dpi; a window scales pixels itself.
constexpr int TwipsPerPixel = 15;
constexpr int pixels(int twips)
{
    return twips / TwipsPerPixel;
}

inline constexpr std::string_view WindowCaption = "VARKOL Modbus Calculator";
inline constexpr int ClientWidthTwips = 6540;
inline constexpr int ClientHeightTwips = 5895;

enum class ControlKind { TextField, OptionButton, Label, Picture };

// What a control does in the calculator, beyond being drawn.
enum class ControlRole {
    FieldBox, // one of the four fields, named by the entry's field
    FieldLabel, // the label that names the entry's field
    AbsoluteOption,
    ModbusOption,
    DirectionLabel, // the direction caption
    Decoration, // contact lines, the logo
};

enum class FontRole {
    Default, // the window's own font: the dialog face, 8.25 pt
    Indicator, // 12 pt bold italic
    Caption, // 9.75 pt bold
    Contact, // 8.25 pt bold
};

// Horizontal placement of a text in its box; every text sits at the top.
enum class Alignment { Left, Right, Centre };

struct ControlEntry {
    std::string_view name;
    ControlKind kind;
    ControlRole role;
    Field field; // for FieldBox and FieldLabel rows only
    std::string_view text; // the initial text; for the picture, its resource
    int left, top, width, height; // twips
    FontRole font;
    Alignment alignment;
};

// The option selected at start: absolute addressing.
inline constexpr bool InitiallyModbus = false;

namespace layout {

using enum ControlKind;
using enum ControlRole;
using enum FontRole;
using enum Alignment;
using F = Field;

// clang-format off
inline constexpr std::array<ControlEntry, 18> CalcLayout = {{
    // name      kind          role            field       text                         left   top  width height font       alignment
    {"Address",  TextField,    FieldBox,       F::Address, "0",                         5280, 2400,   975,  285, Default,   Left},
    {"Table",    TextField,    FieldBox,       F::Table,   "0",                         1200, 2280,   975,  285, Default,   Left},
    {"Column",   TextField,    FieldBox,       F::Column,  "0",                         1200, 3720,   975,  285, Default,   Left},
    {"Row",      TextField,    FieldBox,       F::Row,     "0",                         1200, 3000,   975,  285, Default,   Left},
    {"Absolute", OptionButton, AbsoluteOption, {},         "Absolute Addressing",       2640, 4080,  1815,  255, Default,   Left},
    {"Modbus",   OptionButton, ModbusOption,   {},         "Modbus Addressing",         2640, 4560,  1935,  255, Default,   Left},
    {"Label1",   Label,        DirectionLabel, {},         CalculateAddressCaption,     3600, 3360,  2535,  375, Indicator, Centre},
    {"Label2",   Label,        FieldLabel,     F::Address, "Address",                   4080, 2400,  1095,  255, Caption,   Right},
    {"Label3",   Label,        FieldLabel,     F::Row,     "Row",                          0, 3000,  1095,  255, Caption,   Right},
    {"Label4",   Label,        FieldLabel,     F::Column,  "Column",                       0, 3720,  1095,  255, Caption,   Right},
    {"Label5",   Label,        FieldLabel,     F::Table,   "Table",                        0, 2280,  1095,  255, Caption,   Right},
    {"Label6",   Label,        Decoration,     {},         "Example Controls Co.",       240, 5160,  3135,  255, Contact,   Left},
    {"Label7",   Label,        Decoration,     {},         "1234 Register Lane",         240, 5400,  3135,  255, Contact,   Left},
    {"Label8",   Label,        Decoration,     {},         "Anytown, ST 00000",          240, 5640,  3135,  255, Contact,   Left},
    {"Label9",   Label,        Decoration,     {},         "www.modbus-calc.example",   3240, 5640,  3135,  255, Contact,   Right},
    {"Label10",  Label,        Decoration,     {},         "sales@modbus-calc.example", 3240, 5400,  3135,  255, Contact,   Right},
    {"Label11",  Label,        Decoration,     {},         "Tel. (555) 555-0142",       3240, 5160,  3135,  255, Contact,   Right},
    {"Image1",   Picture,      Decoration,     {},         "logo.png",                     0,  120,  7500, 1500, Default,   Left},
}};
// clang-format on

} // namespace layout

// The row of the field's own control, and of the label that names it.
constexpr const ControlEntry &FieldEntry(Field field)
{
    for (const ControlEntry &entry : layout::CalcLayout)
        if (entry.role == ControlRole::FieldBox && entry.field == field)
            return entry;
    throw "every field has a row"; // unreachable; a compile error when constant-evaluated
}

constexpr const ControlEntry &CaptionEntry(Field field)
{
    for (const ControlEntry &entry : layout::CalcLayout)
        if (entry.role == ControlRole::FieldLabel && entry.field == field)
            return entry;
    throw "every field has a caption";
}

// The row of the one control with this role: the direction label or an option.
constexpr const ControlEntry &EntryWithRole(ControlRole role)
{
    for (const ControlEntry &entry : layout::CalcLayout)
        if (entry.role == role)
            return entry;
    throw "no such role";
}

// The row number of an entry of the table.
constexpr std::size_t RowOf(const ControlEntry &entry)
{
    return static_cast<std::size_t>(&entry - layout::CalcLayout.data());
}

// Each font role's size and style; the face is the classic dialog face (or a
// face of the same widths), chosen by each window from what it has.
struct FontStyle {
    FontRole role;
    int quarterPoints; // 33 is 8.25 pt
    bool bold;
    bool italic;
};

inline constexpr std::array<FontStyle, 4> Fonts = { {
    { FontRole::Default, 33, false, false },
    { FontRole::Indicator, 48, true, true },
    { FontRole::Caption, 39, true, false },
    { FontRole::Contact, 33, true, false },
} };

constexpr const FontStyle &FontOf(FontRole role)
{
    for (const FontStyle &font : Fonts)
        if (font.role == role)
            return font;
    throw "every font role has a row";
}

struct Rgb {
    int red, green, blue;
};

// The window's fixed face and its texts, whatever the desktop's scheme; the
// direction caption stands out in blue. The fields keep the desktop's colours.
inline constexpr Rgb FaceColour { 255, 255, 255 };
inline constexpr Rgb TextColour { 0, 0, 0 };
inline constexpr Rgb IndicatorColour { 0, 0, 192 };

// The screen densities the logo is rendered for, sharpest last; a window
// shows the one made for its screen, else the next sharper one scaled down.
struct LogoDensity {
    int percent; // 125: a 1.25x screen, 120 dpi
    std::string_view suffix; // of its file name: "logo@1.25x.png"
};

inline constexpr std::array<LogoDensity, 5> LogoDensities = { {
    { 100, "" },
    { 125, "@1.25x" },
    { 150, "@1.5x" },
    { 200, "@2x" },
    { 300, "@3x" },
} };

// The rendering for a screen of this density, in percent of 96 dpi.
constexpr std::size_t LogoDensityFor(int percent)
{
    for (std::size_t i = 0; i < LogoDensities.size(); ++i)
        if (LogoDensities[i].percent >= percent)
            return i;
    return LogoDensities.size() - 1;
}

// A field's text when the window opens.
constexpr std::string_view InitialText(Field field)
{
    return FieldEntry(field).text;
}

inline constexpr std::string_view InitialCaption = EntryWithRole(ControlRole::DirectionLabel).text;

} // namespace modbuscalc
