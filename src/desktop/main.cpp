#include "mainwindow.h"
#include "systemmemory.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    SystemMemory::oneHeapUnderLimits();
    QApplication app(argc, argv);
    MainWindow window;
    window.show();
    return app.exec();
}
