#include "generatecommand.h"

#include <QCoreApplication>

#include <csignal>

int main(int argc, char *argv[])
{
    std::signal(SIGXFSZ, SIG_IGN); // a file-size limit fails the write, which is reported
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vantrix-generate"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VANTRIX_VERSION));
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLatin1(argv[i]);
    return GenerateCommand(arguments).run();
}
