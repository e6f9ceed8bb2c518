#include "percolatetool.h"

#include "commandline.h"

#include <QCoreApplication>

int main(int argc, char *argv[])
{
    CommandLine::prepareProcess("vantrix-percolate");
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vantrix-percolate"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VANTRIX_VERSION));
    PercolateOptions options;
    QString error;
    if (!PercolateTool::parse(CommandLine::arguments(argc, argv), options, &error))
        return CommandLine::usageError("vantrix-percolate", error);
    return PercolateTool::run(options);
}
