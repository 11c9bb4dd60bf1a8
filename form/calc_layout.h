#pragma once

// The window's fixed layout: every control with its rectangle (in twips,
// 1/1440 inch), text, font and alignment, in tab order. Nothing moves or
// resizes at run time.

#include <Qt>

#include <array>
#include <string_view>

namespace modbuscalc {

// Fifteen twips make one pixel at 96 dpi; Qt scales logical pixels itself.
constexpr int TwipsPerPixel = 15;
constexpr int pixels(int twips)
{
    return twips / TwipsPerPixel;
}

inline constexpr std::string_view WindowCaption = "VARKOL Modbus Calculator";
inline constexpr int ClientWidthTwips = 6540;
inline constexpr int ClientHeightTwips = 5895;

enum class ControlKind { TextField, OptionButton, Label, Picture };

enum class FontRole {
    Default, // the window's own font: the dialog face, 8.25 pt
    Indicator, // 12 pt bold italic
    Caption, // 9.75 pt bold
    Contact, // 8.25 pt bold
};

struct ControlSpec {
    std::string_view name;
    ControlKind kind;
    std::string_view text;
    int left, top, width, height; // twips
    FontRole font;
    Qt::Alignment alignment;
};

namespace layout {

using enum ControlKind;
using enum FontRole;

inline constexpr Qt::Alignment LeftAligned = Qt::AlignLeft | Qt::AlignTop;
inline constexpr Qt::Alignment RightAligned = Qt::AlignRight | Qt::AlignTop;
inline constexpr Qt::Alignment Centred = Qt::AlignHCenter | Qt::AlignTop;

// clang-format off
inline constexpr std::array<ControlSpec, 18> CalcLayout = {{
    // name       kind          text                           left   top   width height font       alignment
    {"Address",  TextField,    "0",                           5280, 2400,   975,  285, Default,   LeftAligned},
    {"Table",    TextField,    "0",                           1200, 2280,   975,  285, Default,   LeftAligned},
    {"Column",   TextField,    "0",                           1200, 3720,   975,  285, Default,   LeftAligned},
    {"Row",      TextField,    "0",                           1200, 3000,   975,  285, Default,   LeftAligned},
    {"Absolute", OptionButton, "Absolute Addressing",         2640, 4080,  1815,  255, Default,   LeftAligned},
    {"Modbus",   OptionButton, "Modbus Addressing",           2640, 4560,  1935,  255, Default,   LeftAligned},
    {"Label1",   Label,        "Calculate Address",           3600, 3360,  2535,  375, Indicator, Centred},
    {"Label2",   Label,        "Address",                     4080, 2400,  1095,  255, Caption,   RightAligned},
    {"Label3",   Label,        "Row",                            0, 3000,  1095,  255, Caption,   RightAligned},
    {"Label4",   Label,        "Column",                         0, 3720,  1095,  255, Caption,   RightAligned},
    {"Label5",   Label,        "Table",                          0, 2280,  1095,  255, Caption,   RightAligned},
    {"Label6",   Label,        "Example Controls Co.",         240, 5160,  3135,  255, Contact,   LeftAligned},
    {"Label7",   Label,        "1234 Register Lane",           240, 5400,  3135,  255, Contact,   LeftAligned},
    {"Label8",   Label,        "Anytown, ST 00000",            240, 5640,  3135,  255, Contact,   LeftAligned},
    {"Label9",   Label,        "www.modbus-calc.example",     3240, 5640,  3135,  255, Contact,   RightAligned},
    {"Label10",  Label,        "sales@modbus-calc.example",   3240, 5400,  3135,  255, Contact,   RightAligned},
    {"Label11",  Label,        "Tel. (555) 555-0142",         3240, 5160,  3135,  255, Contact,   RightAligned},
    {"Image1",   Picture,      ":/modbuscalc/logo.png",          0,  120,  7500, 1500, Default,   LeftAligned},
}};
// clang-format on

} // namespace layout

} // namespace modbuscalc
