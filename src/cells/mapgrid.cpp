#include "mapgrid.h"

namespace {

constexpr int Digits = 10;
constexpr size_t MaxPalette = MapGrid::MissingCode; // codes 0 .. MissingCode - 1

} // namespace

void MapGrid::clear()
{
    m_codes.clear();
    m_values.clear();
    m_values.cells.shrink_to_fit();
    m_missing.clear();
    m_missing.shrink_to_fit();
    m_palette.clear();
    for (int d = 0; d < Digits; ++d)
        m_palette.push_back(d);
    m_codeOfValue.clear();
    m_wide = false;
}

void MapGrid::appendRow(const qint32 *values, size_t count, const quint8 *present)
{
    for (size_t i = 0; i < count; ++i) {
        const bool has = !present || present[i];
        if (isCoded()) {
            const int code = has ? codeOf(values[i]) : MissingCode;
            if (code >= 0) {
                m_codes.cells.push_back(quint8(code));
                continue;
            }
            widen();
        }
        m_values.cells.push_back(has ? values[i] : 0);
        if (!has && m_missing.empty())
            m_missing.resize(m_values.cells.size() - 1, 0);
        if (!m_missing.empty())
            m_missing.push_back(has ? 0 : 1);
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
    if (m_palette.size() == MaxPalette)
        return -1;
    const quint8 code = quint8(m_palette.size());
    m_palette.push_back(value);
    m_codeOfValue.emplace(value, code);
    return code;
}

void MapGrid::commit(size_t written)
{
    if (isCoded()) {
        m_codes.cells.resize(m_open + written);
    } else {
        m_values.cells.resize(m_open + written);
        if (!m_missing.empty())
            m_missing.resize(m_values.cells.size(), 0); // values written through room() are present
    }
}

void MapGrid::widen()
{
    if (m_wide)
        return;
    m_values.cells.resize(m_codes.cells.size());
    for (size_t i = 0; i < m_codes.cells.size(); ++i) {
        const quint8 code = m_codes.cells[i];
        if (code == MissingCode) {
            if (m_missing.empty())
                m_missing.resize(m_codes.cells.size(), 0);
            m_missing[i] = 1;
            m_values.cells[i] = 0;
        } else {
            m_values.cells[i] = m_palette[code];
        }
    }
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
