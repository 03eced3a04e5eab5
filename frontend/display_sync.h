// SPDX-License-Identifier: LGPL-2.1-or-later
#ifndef QUORREL_DISPLAY_SYNC_H
#define QUORREL_DISPLAY_SYNC_H

// Returns once the display server has taken in everything painted so far.
// The exercise blocks the GUI thread right after each repaint, so a paint
// still queued on the client side would show only after the pause.
void waitUntilDisplayed();

#endif
