#include "progressline.h"

#include <algorithm>

ProgressLine::ProgressLine(std::FILE *out, qint64 total, const char *unit)
    : m_out(out)
    , m_total(total)
    , m_unit(unit)
{
    m_clock.start();
}

void ProgressLine::update(qint64 done)
{
    if (done < m_total && m_clock.elapsed() - m_lastPrint < 200)
        return;
    m_lastPrint = m_clock.elapsed();
    const double seconds = std::max(1e-3, double(m_clock.elapsed()) / 1000.0);
    const double rate = double(done) / seconds;
    const double left = rate > 0 ? double(m_total - done) / rate : 0.0;
    std::fprintf(m_out, "\r%lld/%lld %s, %.1f %s/s, %.0f s left   ", (long long)done, (long long)m_total, m_unit,
                 rate, m_unit, left);
    m_open = true;
    if (done == m_total)
        interrupt();
    std::fflush(m_out);
}

void ProgressLine::interrupt()
{
    if (m_open)
        std::fputc('\n', m_out);
    m_open = false;
}
