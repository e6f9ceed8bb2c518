#include "ppcurveplot.h"

#include <QtTest>

class TestPPCurvePlot : public QObject
{
    Q_OBJECT
};

QTEST_MAIN(TestPPCurvePlot)
#include "tst_ppcurveplot.moc"
