#pragma once

#include <QByteArray>
#include <QString>

#include <optional>
#include <utility>
#include <vector>

// The class values that count as habitat: one value, or a set of values and
// ranges ("41,42,43", "41-43", "-5--1,7"). Or every class on its own
// (each()): one landscape per class value present, the rest of the map its
// matrix.
class CoverSet
{
public:
    CoverSet() = default;
    explicit CoverSet(qint32 value) { m_ranges.push_back({value, value}); }

    // Parses "each", a value, or values and ranges separated by commas;
    // nullopt with the reason for anything else (an empty part, a range
    // whose end lies below its start, a value beyond 32 bits).
    static std::optional<CoverSet> parse(const QString &text, QString *errorString);
    static CoverSet each()
    {
        CoverSet set;
        set.m_each = true;
        return set;
    }

    bool isEach() const { return m_each; }
    // Whether one value is the whole cover.
    bool isSingle() const { return !m_each && m_ranges.size() == 1 && m_ranges[0].first == m_ranges[0].second; }
    qint32 single() const { return m_ranges.front().first; }
    bool contains(qint32 value) const
    {
        for (const auto &range : m_ranges) {
            if (value >= range.first && value <= range.second)
                return true;
        }
        return false;
    }
    // The ranges, sorted, none overlapping or touching another.
    const std::vector<std::pair<qint32, qint32>> &ranges() const { return m_ranges; }
    // The cover in a canonical form, the same for every way of writing it:
    // "7", "41-43", "1,3,5-9", "each".
    QByteArray text() const;
    // The cover as it was asked for (parse()'s text), for tables to show it
    // as the user wrote it; text() for a cover made otherwise.
    QByteArray asked() const { return m_asked.isEmpty() ? text() : m_asked; }

    // Covers are equal when they hold the same values, however written.
    bool operator==(const CoverSet &other) const { return m_each == other.m_each && m_ranges == other.m_ranges; }

private:
    std::vector<std::pair<qint32, qint32>> m_ranges;
    bool m_each = false;
    QByteArray m_asked;
};
