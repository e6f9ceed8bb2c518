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

bool PercolationReport::parse(const QByteArray &bytes, QList<Entry> &entries, QString *errorString)
{
    auto fail = [errorString](const QString &why) {
        if (errorString)
            *errorString = why;
        return false;
    };
    if (!bytes.endsWith('\n'))
        return fail(QCoreApplication::translate("PercolationReport", "the report does not end with a complete line"));
    const qsizetype meanStart = bytes.lastIndexOf('\n', bytes.size() - 2) + 1;
    const QByteArray meanText = bytes.mid(meanStart, bytes.size() - 1 - meanStart);
    if (!meanText.startsWith(meanPrefix()))
        return fail(QCoreApplication::translate("PercolationReport", "the report has no mean line at its end"));

    QList<Entry> read;
    double sum = 0;
    qsizetype pos = 0;
    qint64 lineNumber = 0;
    while (pos < meanStart) {
        ++lineNumber;
        const qsizetype end = bytes.indexOf('\n', pos);
        const QByteArray line = bytes.mid(pos, end - pos);
        pos = end + 1;
        const qsizetype tab = line.lastIndexOf('\t');
        const QByteArray value = tab < 0 ? QByteArray() : line.mid(tab + 1);
        if (tab <= 0 || (value != "0" && value != "1")) {
            return fail(QCoreApplication::translate("PercolationReport", "line %1 is not a path, a tab and 0 or 1")
                                .arg(lineNumber));
        }
        read.append({line.left(tab), value == "1" ? 1 : 0});
        sum += read.last().result;
    }
    if (meanLine(sum, read.size()) != bytes.mid(meanStart))
        return fail(QCoreApplication::translate("PercolationReport", "the mean line does not match the %n result line(s)",
                                                nullptr, int(read.size())));
    entries += read;
    return true;
}
