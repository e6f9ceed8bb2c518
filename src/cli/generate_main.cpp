#include "generatetool.h"

#include "commandline.h"

#include <QCoreApplication>

int main(int argc, char *argv[])
{
    CommandLine::prepareProcess("vantrix-generate");
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vantrix-generate"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VANTRIX_VERSION));
    GenerateOptions options;
    QString error;
    if (!GenerateTool::parse(CommandLine::arguments(argc, argv), options, &error))
        return CommandLine::usageError("vantrix-generate", error);
    return GenerateTool::run(options);
}
