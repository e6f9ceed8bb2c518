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

    // One share: a decimal number from 0 to 1. Its text for names and tables
    // is the shortest decimal that reads back as the same number.
    static bool parseShare(const QString &text, double &value, QByteArray &canonical, QString *errorString);
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
