// The two conversions on an in-memory field set: the worked examples in both
// directions, every cell and every address around the valid range in both
// modes, out-of-range and non-finite input, and what each leaves untouched.

#include "form/calculations.h"
#include "form/memory_field_set.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace modbuscalc {
namespace {

struct Cell {
    std::string table;
    std::string column;
    std::string row;
};

MemoryFieldSet fieldsIn(AddressingMode mode)
{
    MemoryFieldSet fields;
    fields.setModbusSelected(mode == AddressingMode::Modbus);
    return fields;
}

std::string addressFor(AddressingMode mode, const Cell &cell)
{
    MemoryFieldSet fields = fieldsIn(mode);
    fields.setText(Field::Table, cell.table);
    fields.setText(Field::Column, cell.column);
    fields.setText(Field::Row, cell.row);
    CalculateAddress(fields);
    return fields.text(Field::Address);
}

Cell cellFor(AddressingMode mode, const std::string &address)
{
    MemoryFieldSet fields = fieldsIn(mode);
    fields.setText(Field::Address, address);
    CalculateTables(fields);
    return { fields.text(Field::Table), fields.text(Field::Column), fields.text(Field::Row) };
}

void expectCell(const Cell &actual, const Cell &expected)
{
    EXPECT_EQ(actual.table, expected.table);
    EXPECT_EQ(actual.column, expected.column);
    EXPECT_EQ(actual.row, expected.row);
}

const Cell ErrorCell { "Error", "Error", "Error" };
constexpr auto Absolute = AddressingMode::Absolute;
constexpr auto Modbus = AddressingMode::Modbus;

std::string modeName(AddressingMode mode)
{
    return mode == Modbus ? "Modbus" : "absolute";
}

TEST(Calculations, WorkedExamplesHoldBothWays)
{
    struct Example {
        AddressingMode mode;
        Cell cell;
        std::string address;
    };
    const std::vector<Example> examples = {
        { Absolute, { "0", "0", "0" }, "0" },
        { Modbus, { "0", "0", "0" }, "1" },
        { Absolute, { "5", "0", "1" }, "10241" },
        { Modbus, { "5", "0", "0" }, "10241" },
        { Absolute, { "31", "7", "255" }, "65535" },
        { Modbus, { "31", "7", "255" }, "65536" },
        { Absolute, { "1", "2", "3" }, "2563" },
        { Absolute, { "0", "0", "1.5" }, "1.5" },
    };
    for (const auto &e : examples) {
        SCOPED_TRACE(modeName(e.mode) + " " + e.address);
        EXPECT_EQ(addressFor(e.mode, e.cell), e.address);
        expectCell(cellFor(e.mode, e.address), e.cell);
    }
}

TEST(Calculations, EveryCellRoundTripsInBothModes)
{
    for (AddressingMode mode : { Absolute, Modbus }) {
        const int offset = mode == Modbus ? 1 : 0;
        MemoryFieldSet fields = fieldsIn(mode);
        for (int table = 0; table <= 31; ++table) {
            for (int column = 0; column <= 7; ++column) {
                for (int row = 0; row <= 255; ++row) {
                    const Cell cell { std::to_string(table), std::to_string(column),
                        std::to_string(row) };
                    fields.setText(Field::Table, cell.table);
                    fields.setText(Field::Column, cell.column);
                    fields.setText(Field::Row, cell.row);
                    CalculateAddress(fields);
                    const std::string address = fields.text(Field::Address);
                    const int expected = table * 2048 + column * 256 + row + offset;
                    ASSERT_EQ(address, std::to_string(expected)) << modeName(mode);

                    fields.setText(Field::Table, "x");
                    fields.setText(Field::Column, "x");
                    fields.setText(Field::Row, "x");
                    CalculateTables(fields);
                    ASSERT_EQ(fields.text(Field::Address), address);
                    ASSERT_EQ(fields.text(Field::Table), cell.table) << address;
                    ASSERT_EQ(fields.text(Field::Column), cell.column) << address;
                    ASSERT_EQ(fields.text(Field::Row), cell.row) << address;
                }
            }
        }
    }
}

TEST(Calculations, AddressesAroundTheValidRange)
{
    for (AddressingMode mode : { Absolute, Modbus }) {
        const int offset = mode == Modbus ? 1 : 0;
        for (int address = -40; address <= 65536 + 40; ++address) {
            const int zeroBased = address - offset;
            const Cell expected = zeroBased < 0 || zeroBased > 65535
                ? ErrorCell
                : Cell { std::to_string(zeroBased / 2048), std::to_string(zeroBased / 256 % 8),
                      std::to_string(zeroBased % 256) };
            SCOPED_TRACE(modeName(mode) + " " + std::to_string(address));
            expectCell(cellFor(mode, std::to_string(address)), expected);
        }
    }
}

TEST(Calculations, CellsOutOfRangeShowError)
{
    const std::vector<Cell> cells = {
        { "32", "0", "0" },
        { "31", "8", "0" },
        { "0", "0", "256" },
        { "0", "0", "-1" },
        { "-1", "0", "0" },
        { "0", "-0.5", "0" },
        { "0", "0", "255.5" },
        { "31.5", "0", "0" },
        { "0", "7.01", "0" },
        { "1E400", "0", "0" },
        { "0", "-1E400", "0" },
        { "1E305", "0", "0" },
        { "1E400", "-1E400", "0" },
        { "&HFFFF", "0", "0" },
        { "0", "0", "&H100" },
    };
    for (AddressingMode mode : { Absolute, Modbus }) {
        for (const auto &cell : cells) {
            SCOPED_TRACE(modeName(mode) + " " + cell.table + "/" + cell.column + "/" + cell.row);
            EXPECT_EQ(addressFor(mode, cell), "Error");
        }
    }
}

TEST(Calculations, LenientCellInputs)
{
    struct Case {
        Cell cell;
        std::string address;
    };
    const std::vector<Case> cases = {
        { { "abc", "", "7" }, "7" }, // non-numbers read as 0
        { { "2.5", "0", "0" }, "5120" }, // a table's fraction is not tested
        { { "Error", "Error", "Error" }, "0" },
        { { " 3 1", "7abc", "2 5 5" }, "65535" },
        { { "&H1F", "&O7", "&HFF" }, "65535" },
        { { "-0", "-0", "-0" }, "0" },
        { { "0", "0", "254.999999999999999" }, "255" },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.address);
        EXPECT_EQ(addressFor(Absolute, c.cell), c.address);
    }
}

TEST(Calculations, UnusualAddresses)
{
    struct Case {
        AddressingMode mode;
        std::string address;
        Cell cell;
    };
    const std::vector<Case> cases = {
        { Absolute, "100.5", { "0", "0", "100.5" } },
        { Absolute, "abc", { "0", "0", "0" } },
        { Absolute, "", { "0", "0", "0" } },
        { Modbus, "abc", ErrorCell },
        { Modbus, "", ErrorCell },
        { Modbus, "0", ErrorCell },
        { Modbus, "0.5", ErrorCell },
        { Modbus, "1.5", { "0", "0", "0.5" } },
        { Absolute, "-0", { "0", "0", "0" } },
        { Absolute, "-0.5", ErrorCell },
        { Absolute, "65535.5", { "31", "7", "255.5" } },
        { Absolute, "255.99999999999997", { "0", "0", "256" } },
        { Absolute, "&H2801", { "5", "0", "1" } },
        { Absolute, "&HFFFF", ErrorCell },
        { Absolute, "1E4", { "4", "7", "16" } },
        { Absolute, "1E400", ErrorCell },
        { Absolute, "-1E400", ErrorCell },
        { Modbus, "1E400", ErrorCell },
        { Absolute, "1E305", ErrorCell },
        { Absolute, "1.7976931348623157E308", ErrorCell },
        { Absolute, "-1.7976931348623157E308", ErrorCell },
        { Absolute, "1E-400", { "0", "0", "0" } },
        { Absolute, "Error", { "0", "0", "0" } },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(modeName(c.mode) + " \"" + c.address + "\"");
        expectCell(cellFor(c.mode, c.address), c.cell);
    }
}

TEST(Calculations, InputFieldsKeepTheirText)
{
    MemoryFieldSet fields;
    fields.setText(Field::Table, " 05x");
    fields.setText(Field::Column, "1E400");
    fields.setText(Field::Row, "");
    CalculateAddress(fields);
    EXPECT_EQ(fields.text(Field::Address), "Error");
    EXPECT_EQ(fields.text(Field::Table), " 05x");
    EXPECT_EQ(fields.text(Field::Column), "1E400");
    EXPECT_EQ(fields.text(Field::Row), "");
    EXPECT_EQ(fields.caption(), "Calculate Address");

    for (const char *address : { "1 0 2 4 1 ", "-5", "1E400" }) {
        fields.setText(Field::Address, address);
        CalculateTables(fields);
        EXPECT_EQ(fields.text(Field::Address), address);
        EXPECT_EQ(fields.caption(), "Calculate Tables");
    }
}

TEST(Calculations, CommaLocaleWritesCommas)
{
    MemoryFieldSet fields(',');
    fields.setText(Field::Address, "100.5");
    CalculateTables(fields);
    EXPECT_EQ(fields.text(Field::Row), "100,5");

    // The written comma is not a decimal point to the lenient reader.
    fields.setText(Field::Address, "12,5");
    CalculateTables(fields);
    EXPECT_EQ(fields.text(Field::Row), "12");

    fields.setText(Field::Table, "0");
    fields.setText(Field::Column, "0");
    fields.setText(Field::Row, "1.5");
    CalculateAddress(fields);
    EXPECT_EQ(fields.text(Field::Address), "1,5");
}

} // namespace
} // namespace modbuscalc
