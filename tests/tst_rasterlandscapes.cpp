#include <QtTest>

class TestRasterLandscapes : public QObject
{
    Q_OBJECT
};

QTEST_MAIN(TestRasterLandscapes)
#include "tst_rasterlandscapes.moc"
