// SPDX-License-Identifier: LGPL-2.1-or-later
#include "port_exercise.h"

#include <array>
#include <cstdio>
#include <thread>

namespace quorrel {
namespace {

constexpr short printerDataPort = 0x378;
constexpr short lastWritePort = 0x457A;
constexpr int value32Written = 0x00FFFFFF;
constexpr short value16Written = -256; // 0xFF00
constexpr char value8Written = -38;    // 0xDA

// Wide enough for "-2147483648" and a terminator, whatever long is.
using CaptionBuffer = std::array<char, 24>;

template <typename Value> std::string render(const char *format, Value value)
{
    CaptionBuffer buffer{};
    std::snprintf(buffer.data(), buffer.size(), format, value);
    return buffer.data();
}

void showValue(ExerciseWindow &window, const std::string &caption, bool repaintMainWindow)
{
    window.setResultCaption(caption.c_str());
    window.repaintResultLabel();
    if (repaintMainWindow)
        window.repaintMainWindow();
}

} // namespace

void sleepCallingThread(std::chrono::milliseconds duration)
{
    std::this_thread::sleep_for(duration);
}

std::string caption32(int value) { return render("%ld", static_cast<long>(value)); }

std::string caption16(short value) { return render("%i", static_cast<int>(value)); }

std::string caption8(qport_byte_result value)
{
    // Printed as the short that "%hd" names; it arrives as int by promotion.
    return render("%hd", static_cast<short>(value));
}

void runPortExercise(ExerciseWindow &window, const Pause &pause)
{
    const int read32 = inport(printerDataPort);
    showValue(window, caption32(read32), false);
    pause(pauseAfterEachValue);

    outport(printerDataPort, value32Written);
    const short read16 = inportw(printerDataPort);
    showValue(window, caption16(read16), true);
    pause(pauseAfterEachValue);

    outportw(printerDataPort, value16Written);
    const qport_byte_result read8 = inportb(printerDataPort);
    showValue(window, caption8(read8), true);
    pause(pauseAfterEachValue);

    outportb(lastWritePort, value8Written);
    Message();
}

void runPortExerciseIfPermitted(ExerciseWindow &window, const Pause &pause)
{
    if (qport_access_status() != QPORT_ACCESS_GRANTED) {
        qport_show_notice(accessRefusedTitle, qport_access_message());
        return;
    }
    runPortExercise(window, pause);
}

} // namespace quorrel
