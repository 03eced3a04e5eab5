// SPDX-License-Identifier: LGPL-2.1-or-later
// A machine file crafted by hand: its owner may write any byte into it, and
// every value the library reads from it is bounded before use. Each case
// writes one field out of range into a valid machine, then uses the ports
// and the properties that read it. Out of range, a read past an array is
// what the address and undefined-behaviour sanitizers report; where the
// library's answer shows it, the case checks that answer too.
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <string>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "child_process.h"
#include "machine.h"
#include "parallel_port.h"
#include "qport.h"
#include "qport_sim.h"
#include "rtc_chip.h"

namespace {

using qport::sim::DeviceSlot;
using qport::sim::Machine;

class CraftedMachine : public ::testing::Test {
protected:
    void TearDown() override
    {
        qport_sim_use_machine(nullptr);
        qport_sim_reset();
    }
    ScratchDirectory directory;
};

// The machine file at path as the library maps it: what the test writes
// there, every process on the machine sees.
Machine *map_machine(const std::string &path)
{
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    void *mapped = ::mmap(nullptr, sizeof(Machine), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ::close(fd);
    return mapped == MAP_FAILED ? nullptr : static_cast<Machine *>(mapped);
}

DeviceSlot &slot_named(Machine &machine, const char *name)
{
    for (DeviceSlot &slot : machine.slots) {
        if (std::strncmp(slot.name, name, sizeof slot.name) == 0)
            return slot;
    }
    ADD_FAILURE() << "no " << name;
    return machine.slots[0];
}

std::uint8_t number_of(Machine &machine, DeviceSlot &slot)
{
    return static_cast<std::uint8_t>(&slot - machine.slots + 1);
}

qport::sim::ParallelPortState &lpt1(Machine &machine)
{
    return qport::sim::state_of<qport::sim::ParallelPortState>(slot_named(machine, "lpt1"));
}

std::string property(const char *device, const std::string &key)
{
    struct Wanted {
        std::string key;
        std::string value;
    } wanted{key, ""};
    qport_sim_device_properties(
        device,
        [](const char *found, const char *value, void *user) {
            auto *w = static_cast<Wanted *>(user);
            if (w->key == found)
                w->value = value;
        },
        &wanted);
    return wanted.value;
}

// Every device's properties, which read its whole state.
void describe_all()
{
    for (const char *device :
         {"lpt1", "lpt2", "rtc", "pci", "superio", "post", "kbc", "hwmon", "ec"})
        qport_sim_device_properties(
            device, [](const char *, const char *, void *) {}, nullptr);
}

TEST_F(CraftedMachine, EveryValueFromTheFileIsBoundedBeforeUse)
{
    struct Case {
        const char *name;
        std::function<void(Machine &)> craft;
        std::function<void()> use;
    };
    const Case cases[] = {
        {"an owner byte past the slots",
         [](Machine &machine) {
             for (unsigned i = 0; i < 16; ++i)
                 machine.owner[0x300 + i].store(static_cast<std::uint8_t>(33 + i));
             machine.owner[0x310].store(0xFE);
         },
         [] {
             for (short port = 0x300; port <= 0x310; ++port) {
                 EXPECT_EQ(inportb(port), static_cast<char>(0xFF)) << port;
                 outportb(port, 0x55);
             }
         }},
        {"a device's port count past its registers (PCI)",
         [](Machine &machine) {
             DeviceSlot &pci = slot_named(machine, "pci");
             pci.count.store(0xFFFF);
             machine.owner[0xFFFC].store(number_of(machine, pci));
         },
         [] {
             outport(static_cast<short>(0xCF8), static_cast<int>(0x80000000U));
             EXPECT_EQ(inportb(static_cast<short>(0xFFFC)), static_cast<char>(0xFF));
             outportb(static_cast<short>(0xFFFC), 0x55);
         }},
        {"a JTAG boundary index past the register",
         [](Machine &machine) {
             auto &port = lpt1(machine);
             port.peripheral.store(QPORT_SIM_DEVICE_JTAG);
             port.data.store(0x10); // powered
             // Shift-DR, EXTEST (stored XOR IDCODE), the ring starting at 1000.
             const std::uint64_t word = 4 | std::uint64_t{0x09} << 10 | std::uint64_t{1000} << 16;
             std::memcpy(port.peripheral_state, &word, sizeof word);
         },
         [] {
             inportb(0x379);
             outportb(0x378, 0x12); // a rising TCK, shifting a cell in
             inportb(0x379);
         }},
        {"an LCD of 255x255",
         [](Machine &machine) {
             auto &port = lpt1(machine);
             port.peripheral.store(QPORT_SIM_DEVICE_LCD);
             port.peripheral_state[6] = 255; // columns
             port.peripheral_state[7] = 255; // rows
         },
         [] { EXPECT_EQ(property("lpt1", "size"), "20x4") << "the default, as for no size"; }},
        {"clock offsets at the ends of their range",
         [](Machine &machine) {
             auto &rtc = qport::sim::state_of<qport::sim::rtc::State>(slot_named(machine, "rtc"));
             rtc.offset.store(std::numeric_limits<std::int64_t>::max());
             rtc.flags_from.store(std::numeric_limits<std::int64_t>::min());
             rtc.control.store(0x2026); // counting, periodic interrupts
         },
         [] {
             for (const int reg : {0x00, 0x02, 0x04, 0x07, 0x08, 0x09, 0x0A, 0x0C}) {
                 outportb(0x70, static_cast<char>(reg));
                 inportb(0x71);
             }
             outportb(0x70, 0x00);
             outportb(0x71, 0x30);
         }},
        {"device names without their terminator",
         [](Machine &machine) {
             for (DeviceSlot &slot : machine.slots)
                 std::memset(slot.name, 'x', sizeof slot.name);
         },
         [] {
             qport_sim_device_info devices[qport::sim::slot_count];
             qport_sim_list_devices(devices, qport::sim::slot_count);
             qport_sim_reset();
         }},
        {"an embedded controller's queue holding more events than it can",
         [](Machine &machine) {
             // The queue's word after the link's: the count in its top byte.
             const std::uint64_t events = std::uint64_t{0xFF} << 56 | 0x0706050403020100U;
             std::memcpy(slot_named(machine, "ec").state + sizeof(std::uint64_t), &events,
                         sizeof events);
         },
         [] {
             EXPECT_EQ(property("ec", "events"), "0x00 0x01 0x02 0x03 0x04 0x05 0x06");
             outportb(0x66, static_cast<char>(0x84)); // query: takes the oldest
             EXPECT_EQ(inportb(0x62), 0x00);
         }},
        {"a device type past the list",
         [](Machine &machine) { slot_named(machine, "lpt1").type.store(0xFFFFFFFFU); },
         [] { EXPECT_EQ(inportb(0x378), static_cast<char>(0xFF)); }},
        {"a transfer record of width 255",
         [](Machine &machine) {
             machine.recording.store(1);
             machine.records[0].packed.store(0x12345678U | std::uint64_t{0x378} << 32 |
                                             std::uint64_t{0xFF} << 48 | std::uint64_t{'i'} << 56);
             machine.records[0].stamp.store(2);
             machine.next_ticket.store(1);
             machine.first_kept_ticket.store(0);
         },
         [] {
             qport_sim_transfer transfers[4];
             EXPECT_EQ(qport_sim_transfers(transfers, 4), 1U);
         }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = directory / (std::string("machine-") + std::to_string(&c - cases));
        ASSERT_EQ(qport_sim_use_machine(path.c_str()), 0);
        Machine *machine = map_machine(path);
        ASSERT_NE(machine, nullptr);
        c.craft(*machine);
        c.use();
        describe_all();
        ::munmap(machine, sizeof(Machine));
        ASSERT_EQ(qport_sim_use_machine(nullptr), 0);
    }
}

// /proc/self/mem is this user's and looks regular, and a machine file of
// the right size would have been mapped: it is refused as what it is.
TEST_F(CraftedMachine, AFileOfTheKernelsIsNoMachine)
{
    for (const char *path : {"/proc/self/mem", "/proc/self/environ", "/sys/kernel/notes"}) {
        const std::string said =
            standard_error_of([path] { EXPECT_EQ(qport_sim_use_machine(path), -1); });
        if (said.find("Permission denied") != std::string::npos)
            continue; // not even opened (sysfs's files are read-only)
        EXPECT_NE(said.find("a file of the kernel's (/proc or /sys), not a machine file"),
                  std::string::npos)
            << path << ": " << said;
    }
}

} // namespace
