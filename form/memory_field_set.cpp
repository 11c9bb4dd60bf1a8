#include "form/memory_field_set.h"

#include "form/calc_layout.h"

#include <utility>

namespace modbuscalc {

namespace {

std::size_t indexOf(Field field)
{
    return static_cast<std::size_t>(field);
}

} // namespace

MemoryFieldSet::MemoryFieldSet(char decimalSeparator)
    : m_texts { std::string(InitialText(Field::Address)), std::string(InitialText(Field::Table)),
        std::string(InitialText(Field::Column)), std::string(InitialText(Field::Row)) }
    , m_modbusSelected(InitiallyModbus)
    , m_caption(InitialCaption)
    , m_decimalSeparator(decimalSeparator)
{
}

std::string MemoryFieldSet::text(Field field) const
{
    return m_texts.at(indexOf(field));
}

void MemoryFieldSet::setText(Field field, std::string text)
{
    m_texts.at(indexOf(field)) = std::move(text);
}

bool MemoryFieldSet::modbusSelected() const
{
    return m_modbusSelected;
}

std::string MemoryFieldSet::caption() const
{
    return m_caption;
}

void MemoryFieldSet::setCaption(std::string caption)
{
    m_caption = std::move(caption);
}

char MemoryFieldSet::decimalSeparator() const
{
    return m_decimalSeparator;
}

void MemoryFieldSet::setModbusSelected(bool selected)
{
    m_modbusSelected = selected;
}

} // namespace modbuscalc
