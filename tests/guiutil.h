#pragma once

#include <QApplication>
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

} // namespace GuiUtil
