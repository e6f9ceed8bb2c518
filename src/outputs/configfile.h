#pragma once

#include <QString>

// The two parameters kept in config.txt: the cover value, then the matrix value.
//
// Reading follows formatted integer input: white space (blank, tab, line ends,
// vertical tab, form feed) before each value is skipped; a value is an optional
// sign and decimal digits and ends at the first byte that cannot continue it;
// anything after the second value is ignored. A value that is missing,
// malformed or outside the signed 32-bit range is not read, and once one read
// fails the later one fails too; an unread value keeps its default (cover 1,
// matrix 0). Only the first MiB of the file is looked at.
class ConfigFile
{
public:
    static constexpr qint32 DefaultCoverValue = 1;
    static constexpr qint32 DefaultMatrixValue = 0;

    qint32 coverValue = DefaultCoverValue;
    qint32 matrixValue = DefaultMatrixValue;

    // Reads path; returns false, with the reason, if it cannot be opened or
    // is not a regular file (a FIFO is never waited on); the defaults stay.
    bool read(const QString &path, QString *errorString = nullptr);
    // Applies the reading rules to the file's bytes.
    void parse(const QByteArray &bytes);

    // The bytes written for the two values: "<cover>\n<matrix>\n".
    QByteArray serialize() const;
    // Replaces path with serialize() as a whole: a temporary file beside it is
    // written and renamed over it, so path holds either the old or the new two
    // values, never a part. Returns false, with the reason, if that fails.
    bool write(const QString &path, QString *errorString = nullptr) const;
};
