#include "sweepcommand.h"

#include <QCoreApplication>
#include <QGuiApplication>

#include <csignal>
#include <cstdio>
#include <memory>

namespace {

// Qt's own warnings (a missing XDG_RUNTIME_DIR under the offscreen platform,
// say) are not the user's business; the program reports its own failures.
void quietQtMessages(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtCriticalMsg || type == QtFatalMsg)
        std::fprintf(stderr, "vantrix-sweep: %s\n", message.toLocal8Bit().constData());
}

} // namespace

int main(int argc, char *argv[])
{
    qInstallMessageHandler(quietQtMessages);
    std::signal(SIGXFSZ, SIG_IGN); // a file-size limit fails the write, which is reported
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLatin1(argv[i]);
    // Plots are painted with QtGui, which needs a QGuiApplication; no window
    // is shown, so no display is needed.
    std::unique_ptr<QCoreApplication> app;
    if (SweepCommand::wantsPlot(arguments)) {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        app = std::make_unique<QGuiApplication>(argc, argv);
    } else {
        app = std::make_unique<QCoreApplication>(argc, argv);
    }
    QCoreApplication::setApplicationName(QStringLiteral("vantrix-sweep"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VANTRIX_VERSION));
    return SweepCommand(arguments).run();
}
