#include "percolationreport.h"

#include <QCoreApplication>
#include <QFileDevice>
#include <QIODevice>

#include <charconv>
#include <cmath>

PercolationReport::PercolationReport(QIODevice *device)
    : m_device(device)
{
    if (!m_device || !m_device->isOpen() || !m_device->isWritable()) {
        m_errorString = m_device && !m_device->errorString().isEmpty()
                ? m_device->errorString()
                : QCoreApplication::translate("PercolationReport", "the report is not open for writing");
    }
}

void PercolationReport::addResult(const QByteArray &encodedPath, int result)
{
    m_sum += result;
    ++m_count;
    write(resultLine(encodedPath, result));
}

void PercolationReport::finish()
{
    write(meanLine(m_sum, m_count));
}

void PercolationReport::write(const QByteArray &line)
{
    if (hasError())
        return;
    const qint64 written = m_device->write(line);
    bool ok = written == line.size();
    if (ok) {
        if (auto *file = qobject_cast<QFileDevice *>(m_device))
            ok = file->flush();
    }
    if (!ok) {
        m_errorString = written >= 0 && written < line.size()
                ? QCoreApplication::translate("PercolationReport", "a line could not be written completely (is the disk full?)")
                : m_device->errorString();
        if (m_errorString.isEmpty())
            m_errorString = QCoreApplication::translate("PercolationReport", "the report could not be written");
    }
}

QByteArray PercolationReport::resultLine(const QByteArray &encodedPath, int result)
{
    QByteArray line;
    line.reserve(encodedPath.size() + 3);
    line += encodedPath;
    line += '\t';
    line += QByteArray::number(result);
    line += '\n';
    return line;
}

QByteArray PercolationReport::meanLine(double sum, qint64 count)
{
    return QByteArray(meanPrefix()) + formatMean(sum / double(count)) + '\n';
}

QByteArray PercolationReport::formatMean(double mean)
{
    if (std::isnan(mean))
        return QByteArrayLiteral("nan");
    // std::to_chars ignores the C locale, which QCoreApplication sets from the
    // environment and which would turn the decimal point into a comma.
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, mean, std::chars_format::general, 6);
    return QByteArray(buffer, int(result.ptr - buffer));
}
