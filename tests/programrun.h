#pragma once

#include <QByteArray>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>

// A program run by a test in a folder, to its end: its exit status (-1 when
// it crashed or did not end within `seconds`, when it is killed) and what it
// wrote.
struct Run
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

inline Run runProgram(const QString &program, const QStringList &arguments, const QString &dir, int seconds = 600)
{
    QProcess process;
    process.setWorkingDirectory(dir);
    process.start(program, arguments);
    if (!process.waitForFinished(seconds * 1000)) {
        process.kill();
        process.waitForFinished();
        return {};
    }
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1, process.readAllStandardOutput(),
            process.readAllStandardError()};
}

// A file's bytes; empty when it cannot be read.
inline QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
