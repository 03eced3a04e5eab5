// SPDX-License-Identifier: LGPL-2.1-or-later
#ifndef QUORREL_OUTER_BOUNDS_H
#define QUORREL_OUTER_BOUNDS_H

#include <QRect>

class QWidget;

// Places the top-level window so that its outer bounds, frame and title bar
// included, are bounds. The frame's size is known only once the window
// manager has framed the window, so the client area is fitted again then.
void keepOuterBounds(QWidget &window, QRect bounds);

#endif
