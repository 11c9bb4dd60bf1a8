// The notations other tools write an address in: written and read back for
// every address, and the edges of each reader (lengths, prefixes, types,
// ranges). Cells and addresses as numbers, against the window's rules.

#include "core/notation.h"

#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <string>

using namespace modbuscalc;

namespace {

constexpr RegisterType Types[] = { RegisterType::Coil, RegisterType::DiscreteInput,
    RegisterType::InputRegister, RegisterType::HoldingRegister };

TEST(Notation, EveryAddressThereAndBackInEveryNotation)
{
    for (int a = 0; a <= 65535; ++a) {
        const double pdu = a;
        ASSERT_EQ(ReadHex(HexText(pdu)), pdu) << a;
        for (RegisterType type : Types) {
            const std::string reference = ReferenceText(pdu, type);
            ASSERT_EQ(reference.size(), 6u) << a;
            ASSERT_EQ(ReadReference(reference, type), pdu) << reference;
            if (a <= 9998) { // the 5-digit form: the type's digit and 0001..9999
                ASSERT_EQ(ReadReference(reference.substr(0, 1) + reference.substr(2), type), pdu)
                    << reference;
            }
        }
        // The cell, and its address again, in both modes.
        const std::optional<CellNumbers> cell = CellOfAddress(pdu, AddressingMode::Absolute);
        ASSERT_TRUE(cell) << a;
        EXPECT_EQ(cell->table * 2048 + cell->column * 256 + cell->row, pdu);
        ASSERT_EQ(AddressOfCell(*cell, AddressingMode::Absolute), pdu);
        ASSERT_EQ(AddressOfCell(*cell, AddressingMode::Modbus), pdu + 1);
        const std::optional<CellNumbers> modbus = CellOfAddress(pdu + 1, AddressingMode::Modbus);
        ASSERT_TRUE(modbus);
        EXPECT_EQ(modbus->row, cell->row);
    }
}

TEST(Notation, WrittenForms)
{
    EXPECT_EQ(HexText(2305), "0x0901");
    EXPECT_EQ(HexText(0), "0x0000");
    EXPECT_EQ(HexText(65536), "0x10000");
    EXPECT_EQ(ReferenceText(2305, RegisterType::HoldingRegister), "402306");
    EXPECT_EQ(ReferenceText(0, RegisterType::Coil), "000001");
    EXPECT_EQ(ReferenceText(65535, RegisterType::InputRegister), "365536");
    for (double bad : { -1.0, 1.5, 65536.0, 1e300 })
        EXPECT_EQ(ReferenceText(bad, RegisterType::HoldingRegister), "Error") << bad;
    for (double bad : { -1.0, 0.5, 4294967296.0 })
        EXPECT_EQ(HexText(bad), "Error") << bad;
}

TEST(Notation, ReadersTakeOnlyTheirOwnForm)
{
    struct Case {
        const char *text;
        std::optional<double> hex;
        std::optional<double> holding; // as a holding-register reference
    };
    const Case cases[] = {
        { "0x0901", 2305, std::nullopt },
        { " 0X1f\t", 31, std::nullopt },
        { "0xFFFFFFFF", 4294967295.0, std::nullopt },
        { "0x100000000", std::nullopt, std::nullopt },
        { "0x", std::nullopt, std::nullopt },
        { "0x12G", std::nullopt, std::nullopt },
        { "2305", std::nullopt, std::nullopt },
        { "&H901", std::nullopt, std::nullopt },
        { "402306", std::nullopt, 2305 },
        { "400001", std::nullopt, 0 },
        { "465536", std::nullopt, 65535 },
        { "400000", std::nullopt, std::nullopt },
        { "465537", std::nullopt, std::nullopt },
        { "40001", std::nullopt, 0 },
        { "49999", std::nullopt, 9998 },
        { "40000", std::nullopt, std::nullopt },
        { "302306", std::nullopt, std::nullopt }, // an input register's
        { "4023O6", std::nullopt, std::nullopt },
        { "4000001", std::nullopt, std::nullopt },
        { "4001", std::nullopt, std::nullopt },
        { "+40001", std::nullopt, std::nullopt },
        { "", std::nullopt, std::nullopt },
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(ReadHex(c.text), c.hex);
        EXPECT_EQ(ReadReference(c.text, RegisterType::HoldingRegister), c.holding);
    }
}

TEST(Notation, AReferenceCarriesItsType)
{
    using T = RegisterType;
    struct Case {
        const char *text;
        std::optional<double> pdu;
        T type;
    };
    const Case cases[] = {
        { "402306", 2305, T::HoldingRegister },
        { "302306", 2305, T::InputRegister },
        { "100001", 0, T::DiscreteInput },
        { "065536", 65535, T::Coil },
        { "30001", 0, T::InputRegister }, // the 5-digit form
        { "00001", 0, T::Coil },
        { "202306", std::nullopt, T::Coil }, // no type has the digit 2
        { "502306", std::nullopt, T::Coil },
        { "2305", std::nullopt, T::Coil },
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        const std::optional<Reference> reference = ReadAnyReference(c.text);
        ASSERT_EQ(reference.has_value(), c.pdu.has_value());
        if (reference) {
            EXPECT_EQ(reference->pduAddress, *c.pdu);
            EXPECT_EQ(reference->type, c.type);
        }
    }
}

TEST(Notation, CellsOutOfRangeHaveNoAddress)
{
    using M = AddressingMode;
    EXPECT_EQ(AddressOfCell({ 31, 7, 255 }, M::Modbus), 65536);
    EXPECT_EQ(AddressOfCell({ 2.5, 0, 0 }, M::Absolute), 5120); // fractions are the window's
    for (const CellNumbers &bad : { CellNumbers { 32, 0, 0 }, CellNumbers { 0, 8, 0 },
             CellNumbers { 0, 0, 256 }, CellNumbers { -1, 0, 0 },
             CellNumbers { 0, 0, std::numeric_limits<double>::infinity() } })
        EXPECT_FALSE(AddressOfCell(bad, M::Absolute));
    EXPECT_FALSE(CellOfAddress(65536, M::Absolute));
    EXPECT_FALSE(CellOfAddress(0, M::Modbus));
    EXPECT_FALSE(CellOfAddress(std::numeric_limits<double>::infinity(), M::Absolute));
}

} // namespace
