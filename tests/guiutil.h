#pragma once

#include <QAction>
#include <QApplication>
#include <QBackingStore>
#include <QFileDialog>
#include <QElapsedTimer>
#include <QImage>
#include <QLineEdit>
#include <QListView>
#include <QTest>
#include <QTimer>
#include <QWidget>

#include <functional>

// Helpers for tests that drive the real widgets.
namespace GuiUtil {

// Calls handler, from the event loop, with the first visible window of type T
// that appears (a dialog opened by the code under test, say). Polls at every
// pass of the event loop until then; the poll dies with context.
template <typename T>
void whenShown(QObject *context, std::function<void(T *)> handler)
{
    auto *timer = new QTimer(context);
    timer->setInterval(0);
    QObject::connect(timer, &QTimer::timeout, context, [timer, handler] {
        for (QWidget *widget : QApplication::topLevelWidgets()) {
            if (auto *window = qobject_cast<T *>(widget); window && window->isVisible()) {
                timer->stop();
                timer->deleteLater();
                handler(window);
                return;
            }
        }
    });
    timer->start();
}

// What window last painted to its screen: a copy of its backing store, in
// window coordinates (device pixels), or a null image when the backing store
// is not an image. Unlike QWidget::grab(), it paints nothing itself.
inline QImage lastPainted(QWidget *window)
{
    QBackingStore *store = window->backingStore();
    const auto *image = store ? dynamic_cast<const QImage *>(store->paintDevice()) : nullptr;
    return image ? image->copy() : QImage();
}

// Triggers an Open action and picks paths in the real file dialog it shows;
// with no paths, cancels the dialog.
inline void chooseFiles(QObject *context, QAction *open, const QStringList &paths)
{
    whenShown<QFileDialog>(context, [paths](QFileDialog *dialog) {
        if (paths.isEmpty()) {
            dialog->reject();
            return;
        }
        QStringList quoted;
        for (const QString &path : paths)
            quoted << QLatin1Char('"') + path + QLatin1Char('"');
        dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"))->setText(quoted.join(QLatin1Char(' ')));
        QMetaObject::invokeMethod(dialog, "accept");
    });
    open->trigger();
}

// Triggers an Open action, and in the real file dialog goes to directory and
// selects all its files in the file list with Ctrl+A (expected: count files).
inline void chooseAllFiles(QObject *context, QAction *open, const QString &directory, int count)
{
    whenShown<QFileDialog>(context, [directory, count](QFileDialog *dialog) {
        dialog->setDirectory(directory);
        auto *list = dialog->findChild<QListView *>(QStringLiteral("listView"));
        QElapsedTimer waited;
        waited.start();
        while (list->model()->rowCount(list->rootIndex()) < count && waited.elapsed() < 60000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        list->setFocus();
        QTest::keyClick(list, Qt::Key_A, Qt::ControlModifier);
        QMetaObject::invokeMethod(dialog, "accept");
    });
    open->trigger();
}

} // namespace GuiUtil
