#include "notice_box.h"

#include <QApplication>
#include <QEventLoop>
#include <QMessageBox>

int showNoticeBox(const char *title, const char *text, void * /*userData*/)
{
    QMessageBox box(QMessageBox::NoIcon, QString::fromUtf8(title), QString::fromUtf8(text),
                    QMessageBox::Ok);
    // exec() would make the box modal to the whole application; a box owned
    // by no window disables none, so it is shown modeless and waited for.
    box.setWindowModality(Qt::NonModal);
    // Closing the main window ends the program even while a notice is open.
    box.setAttribute(Qt::WA_QuitOnClose, false);
    QEventLoop untilDismissed;
    QObject::connect(&box, &QMessageBox::finished, &untilDismissed, &QEventLoop::quit);
    box.show();
    untilDismissed.exec();
    return 1;
}

void showExceptionBox(const std::exception &exception)
{
    QMessageBox::critical(nullptr, QApplication::applicationName(),
                          QString::fromLocal8Bit(exception.what()));
}
