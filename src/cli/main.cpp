#include "percolatecommand.h"

#include <QCoreApplication>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vantrix-percolate"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VANTRIX_VERSION));
    return PercolateCommand(QCoreApplication::arguments()).run();
}
