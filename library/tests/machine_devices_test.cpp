// SPDX-License-Identifier: LGPL-2.1-or-later
// The simulated PC's device layer as programs and tools see it: the
// profiles and the devices they put on the machine, each device's
// properties, presets over a device's ports, and the environment that
// chooses all of it, with what it says about names that name nothing.
#include <algorithm>
#include <cerrno>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "child_process.h"
#include "fresh_machine.h"
#include "qport.h"
#include "device_properties.h"
#include "qport_sim.h"

namespace {

using MachineDevices = FreshMachine;

std::map<std::string, std::string> properties_of(const char *device)
{
    int result = 0;
    auto properties = device_properties(device, &result);
    EXPECT_EQ(result, 0) << device;
    return properties;
}

std::vector<std::string> device_lines()
{
    std::vector<qport_sim_device_info> devices(qport_sim_list_devices(nullptr, 0));
    devices.resize(qport_sim_list_devices(devices.data(), devices.size()));
    std::vector<std::string> lines;
    for (const qport_sim_device_info &device : devices)
        lines.push_back(std::string(device.name) + " " + device.type + " " +
                        std::to_string(device.first_port) + "+" +
                        std::to_string(device.port_count));
    return lines;
}

TEST_F(MachineDevices, ProfilesPutTheirDevicesOnTheMachine)
{
    struct Case {
        const char *profile;
        std::vector<std::string> devices;
    };
    const Case cases[] = {
        {"bare", {"lpt1 parallel-port 888+3"}},
        {"pc",
         {"lpt1 parallel-port 888+3", "rtc mc146818-rtc 112+4", "post post-code 128+1",
          "superio w83627hf 46+2", "lpt2 parallel-port 53264+3", "pci pci-conf1 3320+8",
          "kbc i8042 96+1", "hwmon w83627hf-hwmon 656+8", "ec acpi-ec 98+1"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.profile);
        ASSERT_EQ(qport_sim_set_profile(c.profile), 0);
        EXPECT_STREQ(qport_sim_current_profile(), c.profile);
        const std::vector<std::string> lines = device_lines();
        for (const std::string &device : c.devices)
            EXPECT_NE(std::find(lines.begin(), lines.end(), device), lines.end()) << device;
        // Whatever the profile, a port no device decodes reads all ones.
        EXPECT_EQ(inportb(0x3F8), -1);
        EXPECT_EQ(inport(0x2F0), -1);
    }
    EXPECT_EQ(qport_sim_set_profile("laptop"), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_STREQ(qport_sim_current_profile(), "pc");
    std::vector<std::string> names;
    for (unsigned i = 0; qport_sim_profile_name(i) != nullptr; ++i)
        names.emplace_back(qport_sim_profile_name(i));
    EXPECT_EQ(names, (std::vector<std::string>{"pc", "bare"}));
}

// A wide transfer reaches each port's own device, lowest port first: the
// bytes below and above the parallel port read all ones, its own bytes its
// registers.
TEST_F(MachineDevices, WideTransfersCrossDeviceBoundariesByteByByte)
{
    outportb(0x378, 0x5A);
    EXPECT_EQ(static_cast<unsigned>(inport(0x377)), 0xEC7F5AFFU);
    EXPECT_EQ(static_cast<unsigned>(inport(0x37A)), 0xFFFFFFECU);
    EXPECT_EQ(static_cast<unsigned short>(inportw(0x7F)), 0xFFFFU) << "0x80 reads all ones";
}

TEST_F(MachineDevices, PostCodesAreKeptAndReadAllOnes)
{
    EXPECT_EQ(properties_of("post")["code"], "none");
    outportb(0x80, 0x12);
    outportw(0x7F, 0x3400); // 0x34 to 0x80
    EXPECT_EQ(inportb(0x80), -1);
    EXPECT_EQ(properties_of("post")["code"], "0x34");
    EXPECT_EQ(properties_of("post")["ports"], "0x0080-0x0080");
    qport_sim_reset();
    EXPECT_EQ(properties_of("post")["code"], "none");
}

TEST_F(MachineDevices, PropertiesAreSetAsEachDeviceTakesThem)
{
    struct Case {
        const char *device, *key, *value;
        int error;           // 0 or the errno
        std::uint8_t status; // 0x379 afterwards
    };
    const Case cases[] = {
        {"lpt1", "peripheral", "switches", 0, 0x7F},
        {"lpt1", "switches", "0x50", 0, 0x57},
        {"lpt1", "switches", "0x1ff", EINVAL, 0x57},
        {"lpt1", "switches", "loud", EINVAL, 0x57},
        {"lpt1", "peripheral", "switches:switches=0xd8", 0, 0xDF},
        {"lpt1", "peripheral", "scanner", EINVAL, 0xDF},
        {"lpt1", "peripheral", "switches:colour=red", EINVAL, 0x7F},
        {"lpt1", "peripheral", "loopback", 0, 0xF7},
        {"lpt1", "colour", "red", ENOENT, 0xF7},
        {"post", "code", "0x12", ENOENT, 0xF7},
        {"lpt9", "peripheral", "none", ENOENT, 0xF7},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.device) + " " + c.key + "=" + c.value);
        errno = 0;
        EXPECT_EQ(qport_sim_set_device_property(c.device, c.key, c.value), c.error == 0 ? 0 : -1);
        EXPECT_EQ(errno, c.error);
        EXPECT_EQ(static_cast<std::uint8_t>(inportb(0x379)), c.status);
    }
    EXPECT_EQ(properties_of("lpt1")["peripheral"], "loopback");
    EXPECT_EQ(qport_sim_current_device(), QPORT_SIM_DEVICE_LOOPBACK);
    qport_sim_set_device(QPORT_SIM_DEVICE_NONE);
}

TEST_F(MachineDevices, PeripheralsHaveTheNamesTheEnvironmentTakes)
{
    std::vector<std::string> names;
    for (int i = 0; qport_sim_device_name(static_cast<qport_sim_device>(i)) != nullptr; ++i)
        names.emplace_back(qport_sim_device_name(static_cast<qport_sim_device>(i)));
    ASSERT_GE(names.size(), 4U);
    EXPECT_EQ(std::vector<std::string>(names.begin(), names.begin() + 4),
              (std::vector<std::string>{"none", "loopback", "printer", "switches"}));
}

// A preset over a device's register reads as preset until the machine is
// reset, and then the device answers again; the data latch takes a preset
// as written.
TEST_F(MachineDevices, PresetsStandInForADevicesRegisterUntilReset)
{
    qport_sim_set_device(QPORT_SIM_DEVICE_LOOPBACK);
    qport_sim_preset(0x379, 0x42);
    qport_sim_preset(0x378, 0x99);
    outportb(0x37A, 0x00);
    EXPECT_EQ(inportb(0x379), 0x42) << "the plug no longer answers";
    EXPECT_EQ(static_cast<std::uint8_t>(inportb(0x378)), 0x99);
    qport_sim_reset();
    EXPECT_EQ(static_cast<std::uint8_t>(inportb(0x379)), 0xF7);
    EXPECT_EQ(inportb(0x378), 0x00);
    qport_sim_set_device(QPORT_SIM_DEVICE_NONE);
}

struct EnvironmentCase {
    const char *name;
    std::vector<std::string> environment;
    const char *said;    // on standard error, or "" for nothing
    const char *profile; // of the shared machine afterwards
    const char *peripheral;
};

TEST_F(MachineDevices, EnvironmentChoosesTheMachineAndTellsWhatItCannotTake)
{
    const EnvironmentCase cases[] = {
        {"nothing chosen", {}, "", "pc", "none"},
        {"the bare machine", {"QPORT_SIM_PROFILE=bare"}, "", "bare", "none"},
        {"an unknown machine",
         {"QPORT_SIM_PROFILE=laptop"},
         "QPORT_SIM_PROFILE=laptop names no machine; it can be pc, bare (an empty value counts as "
         "unset)",
         "pc",
         "none"},
        {"empty values", {"QPORT_SIM_PROFILE=", "QPORT_SIM_DEVICE="}, "", "pc", "none"},
        {"a peripheral with its setting",
         {"QPORT_SIM_DEVICE=switches:switches=0x10"},
         "",
         "pc",
         "switches"},
        {"an unknown peripheral",
         {"QPORT_SIM_DEVICE=bogus"},
         "QPORT_SIM_DEVICE=bogus names no peripheral; it can be none, loopback, printer",
         "pc",
         "none"},
        {"a peripheral without settings given one",
         {"QPORT_SIM_DEVICE=printer:colour=red"},
         "QPORT_SIM_DEVICE=printer:colour=red has a setting that peripheral does not take: "
         "colour=red (printer takes no settings); it is on the port without the rest of its "
         "settings",
         "pc",
         "printer"},
        {"a setting the peripheral does not have",
         {"QPORT_SIM_DEVICE=lcd:wiring=winamp,colour=red"},
         "colour=red (lcd has no setting colour; it takes size, wiring)",
         "pc",
         "lcd"},
        {"a value the setting does not take",
         {"QPORT_SIM_DEVICE=lcd:size=17x3"},
         "size=17x3 (size can be COLUMNSxROWS: 1, 2 or 4 rows of up to 40 columns, 80 "
         "characters in all)",
         "pc",
         "lcd"},
        {"a setting that is not KEY=VALUE",
         {"QPORT_SIM_DEVICE=switches:0x10"},
         "0x10 (a setting is KEY=VALUE; it takes switches)",
         "pc",
         "switches"},
    };
    for (const EnvironmentCase &c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDirectory directory;
        const std::string machine = directory / "machine";
        ProgramRun run;
        run.arguments = {QPORT_TRANSFER_SUBJECT};
        run.environment = c.environment;
        run.environment.push_back("QPORT_SIM_MACHINE=" + machine);
        run.directory = directory.path();
        const ProgramOutcome outcome = run_program(run);
        EXPECT_EQ(outcome.status, 0);
        if (*c.said == '\0') {
            EXPECT_EQ(outcome.err, "");
        } else {
            EXPECT_NE(outcome.err.find(c.said), std::string::npos) << outcome.err;
        }
        EXPECT_EQ(occurrences(outcome.err, "\n"), *c.said == '\0' ? 0U : 1U) << outcome.err;
        ASSERT_EQ(qport_sim_use_machine(machine.c_str()), 0);
        EXPECT_STREQ(qport_sim_current_profile(), c.profile);
        EXPECT_EQ(properties_of("lpt1")["peripheral"], c.peripheral);
        qport_sim_use_machine(nullptr);
    }
}

// Every process of a shared machine may name the peripheral in its
// environment: the one there stays, with what was driven onto it, unless
// settings ask for a new one.
TEST_F(MachineDevices, NamingThePeripheralAlreadyThereLeavesItAsItIs)
{
    ScratchDirectory directory;
    const std::string machine = directory / "machine";
    ASSERT_EQ(qport_sim_use_machine(machine.c_str()), 0);
    ASSERT_EQ(qport_sim_set_device_property("lpt1", "peripheral", "switches:switches=0x50"), 0);
    struct Case {
        const char *device;
        const char *switches; // afterwards
    };
    for (const Case &c : {Case{"switches", "0x50"}, Case{"switches:switches=0x10", "0x10"},
                          Case{"switches", "0x10"}}) {
        SCOPED_TRACE(c.device);
        ProgramRun run;
        run.arguments = {QPORT_TRANSFER_SUBJECT};
        run.environment = {"QPORT_SIM_MACHINE=" + machine,
                           std::string("QPORT_SIM_DEVICE=") + c.device};
        run.directory = directory.path();
        ASSERT_EQ(run_program(run).status, 0);
        EXPECT_EQ(properties_of("lpt1")["switches"], c.switches);
    }
}

} // namespace
