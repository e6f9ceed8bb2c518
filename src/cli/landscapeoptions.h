#pragma once

#include "neutrallandscape.h"

#include <QByteArrayList>
#include <QCommandLineOption>
#include <QCommandLineParser>

#include <vector>

// The command-line options that describe neutral landscapes, shared by
// vantrix-generate and vantrix-sweep: --model, --size, --roughness,
// --seed-share, --seed; and the reading of habitat shares.
class LandscapeOptions
{
public:
    LandscapeOptions();

    void addTo(QCommandLineParser &parser) const;
    // The parameters given; false, with the reason, when they are not valid
    // (missing --model, --size or --seed; a value out of range; --roughness
    // without the fractal model; --seed-share without the clusters model).
    bool read(const QCommandLineParser &parser, NeutralLandscape::Parameters &parameters, QString *errorString) const;

    // One share: a number from 0 to 1, in any notation ("0.5", ".5", "5e-1",
    // "1e-300"). Its text for names and tables is the shortest decimal that
    // reads back as the same number, in exponent notation where that would
    // be very long ("1e-300").
    static bool parseShare(const QString &text, double &value, QByteArray &canonical, QString *errorString);
    // The shortest text that reads back as value, as parseShare() writes it.
    static QByteArray shortest(double value);
    // The model's parameter as file names carry it: "-H0.5" (fractal),
    // "-Q0.05" (clusters), "" (random).
    static QByteArray parameterTag(const NeutralLandscape::Parameters &parameters);
    // Shares as FROM:TO:STEP (FROM, FROM+STEP, ... up to TO, computed in
    // decimal, each written with the most decimals of the three), or as a
    // comma-separated list of different shares. At most maxShares().
    static bool parseShares(const QString &text, std::vector<double> &values, QByteArrayList &texts,
                            QString *errorString);
    static constexpr qsizetype maxShares() { return 100000; }

private:
    QCommandLineOption m_model;
    QCommandLineOption m_size;
    QCommandLineOption m_roughness;
    QCommandLineOption m_seedShare;
    QCommandLineOption m_seed;
};
