#include "mapgrid.h"

namespace {

constexpr int Digits = 10;

} // namespace

void MapGrid::clear()
{
    m_codes.clear();
    m_values.clear();
    m_values.cells.shrink_to_fit();
    m_palette.clear();
    for (int d = 0; d < Digits; ++d)
        m_palette.push_back(d);
    m_codeOfValue.clear();
    m_wide = false;
}

void MapGrid::appendRow(const qint32 *values, size_t count)
{
    for (size_t i = 0; i < count; ++i) {
        const int code = isCoded() ? codeOf(values[i]) : -1;
        if (code < 0)
            widen();
        if (isCoded())
            m_codes.cells.push_back(quint8(code));
        else
            m_values.cells.push_back(values[i]);
    }
    endRow();
}

void MapGrid::reserve(size_t values)
{
    if (isCoded())
        m_codes.cells.reserve(values);
    else
        m_values.cells.reserve(values);
}

MapGrid::Room MapGrid::room(size_t count)
{
    Room room;
    if (isCoded()) {
        m_open = m_codes.cells.size();
        m_codes.cells.resize(m_open + count);
        room.codes = m_codes.cells.data() + m_open;
    } else {
        m_open = m_values.cells.size();
        m_values.cells.resize(m_open + count);
        room.values = m_values.cells.data() + m_open;
    }
    return room;
}

int MapGrid::codeOf(qint32 value)
{
    if (value >= 0 && value < Digits)
        return value;
    const auto known = m_codeOfValue.find(value);
    if (known != m_codeOfValue.end())
        return known->second;
    if (m_palette.size() == 256)
        return -1;
    const quint8 code = quint8(m_palette.size());
    m_palette.push_back(value);
    m_codeOfValue.emplace(value, code);
    return code;
}

void MapGrid::commit(size_t written)
{
    if (isCoded())
        m_codes.cells.resize(m_open + written);
    else
        m_values.cells.resize(m_open + written);
}

void MapGrid::widen()
{
    if (m_wide)
        return;
    m_values.cells.resize(m_codes.cells.size());
    for (size_t i = 0; i < m_codes.cells.size(); ++i)
        m_values.cells[i] = m_palette[m_codes.cells[i]];
    m_values.offsets = m_codes.offsets;
    m_codes.clear();
    m_codes.cells.shrink_to_fit();
    m_wide = true;
}

void MapGrid::endRow()
{
    if (isCoded())
        m_codes.endRow();
    else
        m_values.endRow();
}
