// SPDX-License-Identifier: LGPL-2.1-or-later
#include "application.h"

#include <QApplication>

#include "tform1.h"

namespace quorrel {
namespace {

// Qt cannot carry an exception through its event loop, so one that leaves
// an event handler is caught where the event is delivered, shown, and the
// loop goes on with the next event.
class Application : public QApplication {
public:
    Application(int &argc, char **argv, const ExceptionDisplay &display)
        : QApplication(argc, argv), showException(display)
    {}

    bool notify(QObject *receiver, QEvent *event) override
    {
        try {
            return QApplication::notify(receiver, event);
        } catch (const std::exception &exception) {
            showException(exception);
            return false;
        }
    }

private:
    const ExceptionDisplay &showException;
};

} // namespace

int runApplication(int &argc, char **argv, const FormFactory &createForm,
                   const ExceptionDisplay &showException)
{
    Application application(argc, argv, showException);
    std::unique_ptr<TForm1> mainForm;
    try {
        QApplication::setApplicationVersion(QStringLiteral(QUORREL_VERSION));
        QApplication::setWindowIcon(QIcon(QStringLiteral(":/MAINICON.xpm")));
        mainForm = createForm();
        Form1 = mainForm.get();
        Form1->show();
        QApplication::exec();
    } catch (const std::exception &exception) {
        showException(exception);
    }
    Form1 = nullptr;
    return 0;
}

} // namespace quorrel
