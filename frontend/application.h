// SPDX-License-Identifier: LGPL-2.1-or-later
// The program's entry, with the main window's creation and the display of a
// caught exception passed in, so that tests can run it as it is.
#ifndef QUORREL_APPLICATION_H
#define QUORREL_APPLICATION_H

#include <exception>
#include <functional>
#include <memory>

class TForm1;

namespace quorrel {

using FormFactory = std::function<std::unique_ptr<TForm1>()>;
using ExceptionDisplay = std::function<void(const std::exception &)>;

// Sets up the application, creates the main window into Form1, shows it and
// runs the event loop until it is closed. A std::exception thrown while
// setting up or creating the window is shown once through showException,
// with no event loop after it; one that leaves an event handler is shown
// the same way and the program carries on. Other exceptions are not caught.
// Returns 0 in every case that returns.
int runApplication(int &argc, char **argv, const FormFactory &createForm,
                   const ExceptionDisplay &showException);

} // namespace quorrel

#endif
