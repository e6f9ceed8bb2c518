#include "percolatecommand.h"

#include <QCoreApplication>

#include <csignal>

int main(int argc, char *argv[])
{
    // A file-size limit must fail the write, which is then reported, rather
    // than kill the program without a word.
    std::signal(SIGXFSZ, SIG_IGN);
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vantrix-percolate"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VANTRIX_VERSION));
    // The arguments as the bytes given: paths need not be valid in the
    // locale's encoding.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLatin1(argv[i]);
    return PercolateCommand(arguments).run();
}
