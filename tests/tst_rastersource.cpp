#include "rastersource.h"

#include <QtTest>

class TestRasterSource : public QObject
{
    Q_OBJECT
};

QTEST_GUILESS_MAIN(TestRasterSource)
#include "tst_rastersource.moc"
