#include "sweeptool.h"

#include "commandline.h"

#include <QCoreApplication>
#include <QGuiApplication>

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
    CommandLine::prepareProcess("vantrix-sweep");
    const QStringList arguments = CommandLine::arguments(argc, argv);
    // Plots are painted with QtGui, which needs a QGuiApplication; no window
    // is shown, so no display is needed.
    std::unique_ptr<QCoreApplication> app;
    if (SweepTool::wantsPlot(arguments)) {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        app = std::make_unique<QGuiApplication>(argc, argv);
    } else {
        app = std::make_unique<QCoreApplication>(argc, argv);
    }
    QCoreApplication::setApplicationName(QStringLiteral("vantrix-sweep"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VANTRIX_VERSION));
    SweepOptions options;
    QString error;
    if (!SweepTool::parse(arguments, options, &error))
        return CommandLine::usageError("vantrix-sweep", error);
    return SweepTool::run(options);
}
