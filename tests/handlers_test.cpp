// Event sequences as a user produces them, on the in-memory field set:
// start-up, key releases in each field, option clicks repeating the last
// direction, and "Error" texts flowing back in as input.

#include "form/address_notes.h"
#include "form/calculations.h"
#include "form/handlers.h"
#include "form/memory_field_set.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace modbuscalc {
namespace {

// A few key codes as the window reports them; the handlers ignore them.
constexpr int KeyDigit1 = 0x31;
constexpr int KeyShift = 0x10;
constexpr int KeyLeft = 0x25;
constexpr int KeyTab = 0x09;
constexpr int ShiftMask = 1;

struct Snapshot {
    std::string address, table, column, row, caption;
    bool operator==(const Snapshot &) const = default;
};

std::ostream &operator<<(std::ostream &out, const Snapshot &s)
{
    return out << '{' << s.address << " | " << s.table << ", " << s.column << ", " << s.row << " | "
               << s.caption << '}';
}

Snapshot snapshot(const FieldSet &fields)
{
    return { fields.text(Field::Address), fields.text(Field::Table), fields.text(Field::Column),
        fields.text(Field::Row), fields.caption() };
}

class Handlers : public ::testing::Test {
protected:
    Handlers() { Form_Load(fields); }

    // Types text into a field one key at a time, releasing each key there.
    void typeInto(Field field, const std::string &text, void (*keyUp)(FieldSet &, int, int),
        std::vector<Snapshot> *trail = nullptr)
    {
        std::string typed;
        fields.setText(field, typed);
        keyUp(fields, 0x08, 0); // the Backspace that cleared it
        if (trail)
            trail->push_back(snapshot(fields));
        for (char c : text) {
            typed.push_back(c);
            fields.setText(field, typed);
            keyUp(fields, c, 0);
            if (trail)
                trail->push_back(snapshot(fields));
        }
    }

    void clickModbus()
    {
        fields.setModbusSelected(true);
        Modbus_Click(fields);
    }

    void clickAbsolute()
    {
        fields.setModbusSelected(false);
        Absolute_Click(fields);
    }

    MemoryFieldSet fields;
};

TEST_F(Handlers, StartUpState)
{
    EXPECT_EQ(snapshot(fields), (Snapshot { "0", "0", "0", "0", "Calculate Address" }));
    EXPECT_FALSE(fields.modbusSelected());
}

TEST_F(Handlers, FormLoadResetsTheCaption)
{
    fields.setCaption("Calculate Tables");
    Form_Load(fields);
    EXPECT_EQ(fields.caption(), "Calculate Address");
    EXPECT_EQ(fields.text(Field::Address), "0");
}

TEST_F(Handlers, ModbusRightAfterStart)
{
    clickModbus();
    EXPECT_EQ(snapshot(fields), (Snapshot { "1", "0", "0", "0", "Calculate Address" }));
}

TEST_F(Handlers, TypingAnAddressKeyByKey)
{
    std::vector<Snapshot> trail;
    typeInto(Field::Address, "10241", Address_KeyUp, &trail);
    const std::vector<Snapshot> expected = {
        { "", "0", "0", "0", "Calculate Tables" },
        { "1", "0", "0", "1", "Calculate Tables" },
        { "10", "0", "0", "10", "Calculate Tables" },
        { "102", "0", "0", "102", "Calculate Tables" },
        { "1024", "0", "4", "0", "Calculate Tables" },
        { "10241", "5", "0", "1", "Calculate Tables" },
    };
    EXPECT_EQ(trail, expected);

    clickModbus();
    EXPECT_EQ(snapshot(fields), (Snapshot { "10241", "5", "0", "0", "Calculate Tables" }));
    clickAbsolute();
    EXPECT_EQ(snapshot(fields), (Snapshot { "10241", "5", "0", "1", "Calculate Tables" }));
}

TEST_F(Handlers, ModeChangeRepeatsTheAddressDirection)
{
    typeInto(Field::Table, "5", Table_KeyUp);
    typeInto(Field::Row, "1", Row_KeyUp);
    EXPECT_EQ(snapshot(fields), (Snapshot { "10241", "5", "0", "1", "Calculate Address" }));
    clickModbus();
    EXPECT_EQ(snapshot(fields), (Snapshot { "10242", "5", "0", "1", "Calculate Address" }));
    clickAbsolute();
    EXPECT_EQ(fields.text(Field::Address), "10241");
}

TEST_F(Handlers, EveryKeyReleaseRecalculatesWhateverTheKey)
{
    struct Case {
        const char *name;
        void (*keyUp)(FieldSet &, int, int);
        Snapshot expected;
    };
    // Address holds 2563 and the cell fields 1, 2, 4, which disagree; the
    // handler decides which side is recomputed.
    const std::vector<Case> cases = {
        { "Table", Table_KeyUp, { "2564", "1", "2", "4", "Calculate Address" } },
        { "Column", Column_KeyUp, { "2564", "1", "2", "4", "Calculate Address" } },
        { "Row", Row_KeyUp, { "2564", "1", "2", "4", "Calculate Address" } },
        { "Address", Address_KeyUp, { "2563", "1", "2", "3", "Calculate Tables" } },
    };
    for (const auto &c : cases) {
        for (int key : { KeyDigit1, KeyShift, KeyLeft, KeyTab }) {
            for (int shift : { 0, ShiftMask }) {
                SCOPED_TRACE(std::string(c.name) + " key " + std::to_string(key));
                fields.setText(Field::Address, "2563");
                fields.setText(Field::Table, "1");
                fields.setText(Field::Column, "2");
                fields.setText(Field::Row, "4");
                c.keyUp(fields, key, shift);
                EXPECT_EQ(snapshot(fields), c.expected);
            }
        }
    }
}

TEST_F(Handlers, ErrorTextsReadAsZeroWhenTypedOver)
{
    typeInto(Field::Address, "65536", Address_KeyUp);
    EXPECT_EQ(
        snapshot(fields), (Snapshot { "65536", "Error", "Error", "Error", "Calculate Tables" }));

    typeInto(Field::Table, "3", Table_KeyUp);
    EXPECT_EQ(snapshot(fields), (Snapshot { "6144", "3", "Error", "Error", "Calculate Address" }));
}

TEST_F(Handlers, TabIntoACellFieldOverwritesTheAddress)
{
    // Tab from Address goes up in Table: the address direction runs, and
    // cell fields holding "Error" make it the address of cell 0, 0, 0.
    typeInto(Field::Address, "99999", Address_KeyUp);
    Table_KeyUp(fields, KeyTab, 0);
    EXPECT_EQ(snapshot(fields), (Snapshot { "0", "Error", "Error", "Error", "Calculate Address" }));
}

TEST_F(Handlers, OnlyTheExactCaptionMeansTheTablesDirection)
{
    for (const char *caption : { "calculate tables", "Calculate Tables ", "", "Calculate" }) {
        SCOPED_TRACE(caption);
        fields.setText(Field::Address, "10241");
        fields.setCaption(caption);
        clickModbus();
        EXPECT_EQ(snapshot(fields), (Snapshot { "1", "0", "0", "0", "Calculate Address" }));
        clickAbsolute();
    }
    fields.setText(Field::Address, "10241");
    fields.setCaption("Calculate Tables");
    clickModbus();
    EXPECT_EQ(snapshot(fields), (Snapshot { "10241", "5", "0", "0", "Calculate Tables" }));
}

TEST_F(Handlers, OptionClicksInTheTablesDirectionShowErrorAtTheEdges)
{
    typeInto(Field::Address, "0", Address_KeyUp);
    EXPECT_EQ(fields.text(Field::Row), "0");
    clickModbus();
    EXPECT_EQ(snapshot(fields), (Snapshot { "0", "Error", "Error", "Error", "Calculate Tables" }));
    clickAbsolute();
    EXPECT_EQ(snapshot(fields), (Snapshot { "0", "0", "0", "0", "Calculate Tables" }));
}

} // namespace
} // namespace modbuscalc

namespace modbuscalc {
namespace {

TEST(AddressNotes, EveryNotationOfTheAddressShown)
{
    struct Case {
        const char *address;
        bool modbus;
        const char *notes;
    };
    const Case cases[] = {
        { "2305", false,
            "PDU address (0-based): 2305\nRegister number (1-based): 2306\n"
            "Holding-register reference: 402306\nHex: 0x0901" },
        { "2306", true,
            "PDU address (0-based): 2305\nRegister number (1-based): 2306\n"
            "Holding-register reference: 402306\nHex: 0x0901" },
        { "65535", false,
            "PDU address (0-based): 65535\nRegister number (1-based): 65536\n"
            "Holding-register reference: 465536\nHex: 0xFFFF" },
        { "65536", false, "Not the address of a single register" },
        { "0", true, "Not the address of a single register" },
        { "100.5", false, "Not the address of a single register" },
        { "Error", false,
            "PDU address (0-based): 0\nRegister number (1-based): 1\n"
            "Holding-register reference: 400001\nHex: 0x0000" },
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.address);
        MemoryFieldSet fields;
        fields.setModbusSelected(c.modbus);
        fields.setText(Field::Address, c.address);
        EXPECT_EQ(AddressNotes(fields), c.notes);
    }
}

} // namespace
} // namespace modbuscalc
