// SPDX-License-Identifier: LGPL-2.1-or-later
// A shared machine file is refused when the build that reads it lays out a
// device's or peripheral's state otherwise than the build that wrote it
// (machine_test checks the refusal of a file whose fingerprint differs):
// every part of a layout must change the fingerprint.
#include <array>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "device.h"
#include "parallel_port.h"

namespace {

using namespace qport::sim;

struct Tables {
    // Only what the fingerprint reads: no transfer reaches these.
    DeviceType device{.name = "chip",
                      .summary = "",
                      .port_count = 2,
                      .state = {64, 1},
                      .read = nullptr,
                      .write = nullptr,
                      .reset = nullptr};
    PeripheralType peripheral{.device = QPORT_SIM_DEVICE_NONE,
                              .name = "plug",
                              .summary = "",
                              .state = {16, 1},
                              .lines_changed = nullptr,
                              .status = nullptr};
    std::array<ProfileDevice, 1> placed{ProfileDevice{"chip0", &device, 0x300}};

    std::uint64_t fingerprint() const
    {
        const std::array<const DeviceType *, 1> types{&device};
        const std::array<const PeripheralType *, 1> peripherals{&peripheral};
        const std::array<Profile, 1> profiles{Profile{"pc", "", placed}};
        return layout_fingerprint(types, peripherals, profiles);
    }
};

TEST(LayoutFingerprint, EveryPartOfTheLayoutChangesIt)
{
    struct Change {
        const char *what;
        std::function<void(Tables &)> apply;
    };
    const Change changes[] = {
        {"a device's state grows", [](Tables &t) { t.device.state.size += 8; }},
        {"a device's state is laid out anew", [](Tables &t) { t.device.state.version = 2; }},
        {"a peripheral's state grows", [](Tables &t) { t.peripheral.state.size = 24; }},
        {"a peripheral's state is laid out anew",
         [](Tables &t) { t.peripheral.state.version = 2; }},
        {"a device decodes another port count", [](Tables &t) { t.device.port_count = 3; }},
        {"a device is renamed", [](Tables &t) { t.device.name = "chap"; }},
        {"a profile puts it elsewhere", [](Tables &t) { t.placed[0].base = 0x310; }},
    };
    const std::uint64_t before = Tables{}.fingerprint();
    EXPECT_EQ(Tables{}.fingerprint(), before) << "the same build, the same number";
    for (const Change &change : changes) {
        Tables tables;
        change.apply(tables);
        EXPECT_NE(tables.fingerprint(), before) << change.what;
    }
}

} // namespace
