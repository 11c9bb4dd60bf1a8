// Event sequences on the in-memory field set: the fuzzer's bytes choose edits
// of a field's text, key releases, option clicks and loads. After every event
// the calculation that ran has left its inputs as they were, every output is
// "Error" or a NumberText-shaped number, the caption is one of the two, and
// a result without "Error" lies in the valid range for the mode.

#include "form/calculations.h"
#include "form/handlers.h"
#include "form/memory_field_set.h"
#include "fuzz/number_shape.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

using namespace modbuscalc;

namespace {

class ByteReader {
public:
    ByteReader(const std::uint8_t *data, std::size_t size)
        : m_data(data)
        , m_size(size)
    {
    }
    bool empty() const { return m_pos >= m_size; }
    std::uint8_t next() { return empty() ? 0 : m_data[m_pos++]; }

private:
    const std::uint8_t *m_data;
    std::size_t m_size;
    std::size_t m_pos = 0;
};

// Mostly characters that matter to the reader, sometimes any byte at all.
char pickChar(std::uint8_t byte)
{
    static constexpr std::string_view Alphabet = "0123456789012345.-+eE&HhOoFf ,\t\nx\r";
    return byte < 224 ? Alphabet[byte % Alphabet.size()] : static_cast<char>(byte);
}

void check(bool condition)
{
    if (!condition)
        std::abort();
}

double offsetOf(const FieldSet &fields)
{
    return ModbusOffset(CurrentAddressingMode(fields));
}

void checkAddressDirection(const FieldSet &before, const FieldSet &after)
{
    for (Field input : { Field::Table, Field::Column, Field::Row })
        check(after.text(input) == before.text(input));
    check(after.caption() == CalculateAddressCaption);
    const std::string address = after.text(Field::Address);
    if (address == ErrorMark)
        return;
    const char separator = after.decimalSeparator();
    check(fuzz::HasNumberTextShape(address, separator));
    const double value = ExactNumber(address, separator);
    const double offset = offsetOf(after);
    check(value >= offset && value <= 65535 + offset);
}

void checkTablesDirection(const FieldSet &before, const FieldSet &after)
{
    check(after.text(Field::Address) == before.text(Field::Address));
    check(after.caption() == CalculateTablesCaption);
    const std::string table = after.text(Field::Table);
    if (table == ErrorMark) {
        check(after.text(Field::Column) == ErrorMark && after.text(Field::Row) == ErrorMark);
        return;
    }
    const char separator = after.decimalSeparator();
    const double t = ExactNumber(table, separator);
    const double c = ExactNumber(after.text(Field::Column), separator);
    const double r = ExactNumber(after.text(Field::Row), separator);
    for (Field output : { Field::Table, Field::Column, Field::Row })
        check(fuzz::HasNumberTextShape(after.text(output), separator));
    // Rounding to 15 digits may show a row just below 256 as 256.
    check(t >= 0 && t <= 31 && t == static_cast<int>(t));
    check(c >= 0 && c <= 7 && c == static_cast<int>(c));
    check(r >= 0 && r <= 256);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    ByteReader bytes(data, size);
    MemoryFieldSet fields(bytes.next() & 1 ? ',' : '.');
    Form_Load(fields);

    while (!bytes.empty()) {
        const MemoryFieldSet before = fields;
        switch (bytes.next() % 5) {
        case 0: { // the user's own edit, without a key release yet
            const auto field = static_cast<Field>(bytes.next() % 4);
            std::string text;
            for (int n = bytes.next() % 32; n > 0; --n)
                text.push_back(pickChar(bytes.next()));
            fields.setText(field, text);
            break;
        }
        case 1: {
            const auto field = static_cast<Field>(bytes.next() % 4);
            KeyUpHandlerFor(field)(fields, bytes.next(), bytes.next() % 8);
            if (field == Field::Address)
                checkTablesDirection(before, fields);
            else
                checkAddressDirection(before, fields);
            break;
        }
        case 2:
        case 3: {
            const bool modbus = bytes.next() & 1;
            fields.setModbusSelected(modbus);
            const bool tables = fields.caption() == CalculateTablesCaption;
            modbus ? Modbus_Click(fields) : Absolute_Click(fields);
            if (tables)
                checkTablesDirection(before, fields);
            else
                checkAddressDirection(before, fields);
            break;
        }
        case 4:
            Form_Load(fields);
            check(fields.caption() == CalculateAddressCaption);
            break;
        }
        check(fields.caption() == CalculateAddressCaption
            || fields.caption() == CalculateTablesCaption);
    }
    return 0;
}
