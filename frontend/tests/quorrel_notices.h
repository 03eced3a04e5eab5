// SPDX-License-Identifier: LGPL-2.1-or-later
// The tests' recording presenter, and the notice Quorrel's sequence ends with.
#ifndef QUORREL_NOTICES_H
#define QUORREL_NOTICES_H

#include "recording_presenter.h"

inline const RecordedNotice successNotice{"Operation Success!", "DLL successfully called."};

#endif
