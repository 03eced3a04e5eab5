// SPDX-License-Identifier: LGPL-2.1-or-later
// The port exercise that Quorrel runs on each click of its button, written
// against three window operations and a pause so that it runs with or
// without a window toolkit.
//
// The library target quorrel_sequence does not choose a build of qport:
// link the program against qport or qport_simulated.
#ifndef QUORREL_PORT_EXERCISE_H
#define QUORREL_PORT_EXERCISE_H

#include <chrono>
#include <functional>
#include <string>

#include "qport.h"
#include "qport_ext.h"

namespace quorrel {

// What the exercise needs of the window that shows the values it reads.
class ExerciseWindow {
public:
    virtual ~ExerciseWindow() = default;
    // Sets the text of the result label.
    virtual void setResultCaption(const char *caption) = 0;
    // Repaints the result label at once, before returning.
    virtual void repaintResultLabel() = 0;
    // Repaints the main window at once, before returning.
    virtual void repaintMainWindow() = 0;
};

// Blocks the calling thread; the exercise calls it after each value shown.
using Pause = std::function<void(std::chrono::milliseconds)>;

// The pause used outside tests: sleeps the calling thread.
void sleepCallingThread(std::chrono::milliseconds duration);

inline constexpr std::chrono::milliseconds pauseAfterEachValue{200};

// The captions of the three reads: the 32-bit value widened to long and
// printed with "%ld", the 16-bit one as int with "%i", the 8-bit one as
// short with "%hd".
std::string caption32(int value);
std::string caption16(short value);
std::string caption8(qport_byte_result value);

// The fixed sequence: reads of port 0x378 at 32, 16 and 8 bits, each shown
// and followed by a pause, with the writes 0x00FFFFFF and 0xFF00 between
// them, then the byte 0xDA to port 0x457A and the success notice. Checks
// nothing; see runPortExerciseIfPermitted.
void runPortExercise(ExerciseWindow &window, const Pause &pause);

// Runs the exercise when the calling thread may make port transfers.
// Otherwise shows, through the notice presenter, why access was refused and
// how to fix it, and makes no transfer: the exercise would read all ones,
// drop its writes and still end with the success notice.
void runPortExerciseIfPermitted(ExerciseWindow &window, const Pause &pause);

inline constexpr const char *accessRefusedTitle = "Port access refused";

} // namespace quorrel

#endif
