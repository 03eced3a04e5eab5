// SPDX-License-Identifier: LGPL-2.1-or-later
#ifndef QUORREL_NOTICE_BOX_H
#define QUORREL_NOTICE_BOX_H

#include <exception>

// The presenter Quorrel installs into qport: a message box with the notice's
// title and text, a single OK button and no icon, owned by no window. It
// blocks the caller in a nested event loop until dismissed and returns 1.
// The main window stays enabled meanwhile, so a click on it starts a further
// run of the exercise inside the first.
int showNoticeBox(const char *title, const char *text, void *userData);

// Shows an exception that reached the program's handler: its message in an
// error box titled with the application's name.
void showExceptionBox(const std::exception &exception);

#endif
