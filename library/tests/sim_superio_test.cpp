// SPDX-License-Identifier: LGPL-2.1-or-later
// The Super I/O chip at 0x2E/0x2F driven as firmware and superiotool drive
// it: the entry key and what is not the key, the chip's registers at reset,
// and its parallel port's decoder moving lpt1.
#include <cstdint>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "child_process.h"
#include "fresh_machine.h"
#include "port_transfers.h"
#include "qport.h"
#include "device_properties.h"
#include "qport_sim.h"

namespace {

constexpr short config_port = 0x2E;
constexpr short data_port = 0x2F;

using SuperIo = FreshMachine;

std::uint8_t read_byte(short port) { return static_cast<std::uint8_t>(inportb(port)); }

void open_configuration()
{
    outportb(config_port, static_cast<char>(0x87));
    outportb(config_port, static_cast<char>(0x87));
}

void close_configuration() { outportb(config_port, static_cast<char>(0xAA)); }

// A register of logical device ldn, read as firmware does: open, select,
// read, close.
std::uint8_t chip_register(std::uint8_t ldn, std::uint8_t index)
{
    open_configuration();
    outportb(config_port, 0x07);
    outportb(data_port, static_cast<char>(ldn));
    outportb(config_port, static_cast<char>(index));
    const std::uint8_t value = read_byte(data_port);
    close_configuration();
    return value;
}

void set_chip_register(std::uint8_t ldn, std::uint8_t index, std::uint8_t value)
{
    open_configuration();
    outportb(config_port, 0x07);
    outportb(data_port, static_cast<char>(ldn));
    outportb(config_port, static_cast<char>(index));
    outportb(data_port, static_cast<char>(value));
    close_configuration();
}

std::map<std::string, std::string> properties_of(const char *device)
{
    int result = 0;
    auto properties = device_properties(device, &result);
    EXPECT_EQ(result, 0);
    return properties;
}

// Where lpt1 decodes now: "0x278+3", or "+0" while disabled.
std::string lpt1_ports()
{
    std::vector<qport_sim_device_info> devices(qport_sim_list_devices(nullptr, 0));
    devices.resize(qport_sim_list_devices(devices.data(), devices.size()));
    for (const qport_sim_device_info &device : devices) {
        if (std::string(device.name) == "lpt1")
            return device.port_count == 0
                       ? "+0"
                       : "0x" + (std::stringstream() << std::hex << device.first_port).str() + "+" +
                             std::to_string(device.port_count);
    }
    return "missing";
}

// One transfer of a case: a write, or a read and the value it must give.
struct TransferCase {
    const char *name;
    std::vector<PortTransfer> transfers;
};

// Each case starts from reset; after its transfers, a read of register 0x20
// tells whether the configuration is open (0x52) or closed (0xFF).
TEST_F(SuperIo, OnlyTheWinbondKeyOpensTheConfiguration)
{
    struct KeyCase {
        const char *name;
        std::vector<std::uint8_t> writes; // to 0x2E
        bool opens;
    };
    const KeyCase cases[] = {
        {"0x87 0x87", {0x87, 0x87}, true},
        {"once 0x87", {0x87}, false},
        {"Winbond 0x88", {0x88}, false},
        {"Winbond 0x89", {0x89}, false},
        {"Winbond 0x86 0x86", {0x86, 0x86}, false},
        {"SMSC 0x55 0x55", {0x55, 0x55}, false},
        {"ITE 0x87 0x01 0x55 0x55", {0x87, 0x01, 0x55, 0x55}, false},
        {"ITE 0x87 0x61 0x55 0x55", {0x87, 0x61, 0x55, 0x55}, false},
        {"ITE 0x89 0x87 0x55 0x55", {0x89, 0x87, 0x55, 0x55}, false},
        {"ITE 0x85 0x02 0x55 0x55", {0x85, 0x02, 0x55, 0x55}, false},
        {"Fintek 0x77 0x77", {0x77, 0x77}, false},
        {"Aspeed 0xa5 0xa5", {0xA5, 0xA5}, false},
        {"Exar 0x67 0x67", {0x67, 0x67}, false},
        {"ALi 0x51 0x23", {0x51, 0x23}, false},
        {"ServerEngines 0x5a", {0x5A}, false},
        {"0x87 broken by 0x00", {0x87, 0x00, 0x87}, false},
        {"0x87 broken by the exit key", {0x87, 0xAA, 0x87}, false},
        {"the key after another vendor's", {0x55, 0x55, 0x87, 0x87}, true},
        {"the key after a broken one", {0x87, 0x01, 0x87, 0x87}, true},
        {"the key, then the exit key", {0x87, 0x87, 0xAA}, false},
        {"a third 0x87 is an index", {0x87, 0x87, 0x87}, true},
    };
    for (const KeyCase &c : cases) {
        SCOPED_TRACE(c.name);
        qport_sim_reset();
        for (const std::uint8_t value : c.writes)
            outportb(config_port, static_cast<char>(value));
        outportb(config_port, 0x20);
        EXPECT_EQ(read_byte(data_port), c.opens ? 0x52 : 0xFF);
        EXPECT_EQ(properties_of("superio")["configuration"], c.opens ? "open" : "closed");
    }
}

TEST_F(SuperIo, ConfigurationPortTransfers)
{
    const TransferCase cases[] = {
        {"closed: 0x2F reads all ones and ignores writes",
         {{'o', 0x2E, 0x22},
          {'i', 0x2F, 0xFF},
          {'o', 0x2F, 0x00},
          {'o', 0x2E, 0x87},
          {'o', 0x2E, 0x87},
          {'o', 0x2E, 0x22},
          {'i', 0x2F, 0xFF}}},
        {"0x2E is write-only, open or closed",
         {{'i', 0x2E, 0xFF},
          {'o', 0x2E, 0x87},
          {'o', 0x2E, 0x87},
          {'o', 0x2E, 0x20},
          {'i', 0x2E, 0xFF}}},
        {"ID and revision, read-only",
         {{'o', 0x2E, 0x87},
          {'o', 0x2E, 0x87},
          {'o', 0x2E, 0x20},
          {'i', 0x2F, 0x52},
          {'o', 0x2F, 0x00},
          {'i', 0x2F, 0x52},
          {'o', 0x2E, 0x21},
          {'i', 0x2F, 0x17}}},
        {"the exit key closes, and the index is kept",
         {{'o', 0x2E, 0x87},
          {'o', 0x2E, 0x87},
          {'o', 0x2E, 0x20},
          {'o', 0x2E, 0xAA},
          {'i', 0x2F, 0xFF},
          {'o', 0x2E, 0x87},
          {'o', 0x2E, 0x87},
          {'i', 0x2F, 0x52}}},
        {"a read between the key's writes does not break it",
         {{'o', 0x2E, 0x87},
          {'i', 0x2F, 0xFF},
          {'o', 0x2E, 0x87},
          {'o', 0x2E, 0x20},
          {'i', 0x2F, 0x52}}},
        {"global registers take writes; 0x26 bit 6 is strapped",
         {{'o', 0x2E, 0x87},
          {'o', 0x2E, 0x87},
          {'o', 0x2E, 0x23},
          {'o', 0x2F, 0x5A},
          {'i', 0x2F, 0x5A},
          {'o', 0x2E, 0x26},
          {'o', 0x2F, 0xFF},
          {'i', 0x2F, 0xBF}}},
        {"registers it lacks read all ones and ignore writes",
         {{'o', 0x2E, 0x87},
          {'o', 0x2E, 0x87},
          {'o', 0x2E, 0x27},
          {'o', 0x2F, 0x00},
          {'i', 0x2F, 0xFF},
          {'o', 0x2E, 0x07},
          {'o', 0x2F, 0x04},
          {'o', 0x2E, 0x30},
          {'o', 0x2F, 0x01},
          {'i', 0x2F, 0xFF},
          {'o', 0x2E, 0x07},
          {'o', 0x2F, 0x01},
          {'o', 0x2E, 0xF1},
          {'i', 0x2F, 0xFF}}},
        {"the LDN register reads back any value",
         {{'o', 0x2E, 0x87},
          {'o', 0x2E, 0x87},
          {'o', 0x2E, 0x07},
          {'i', 0x2F, 0x00},
          {'o', 0x2F, 0x0B},
          {'i', 0x2F, 0x0B},
          {'o', 0x2F, 0x42},
          {'i', 0x2F, 0x42}}},
        {"an LDN selected while closed is not selected",
         {{'o', 0x2E, 0x07},
          {'o', 0x2F, 0x01},
          {'o', 0x2E, 0x87},
          {'o', 0x2E, 0x87},
          {'o', 0x2E, 0x07},
          {'i', 0x2F, 0x00}}},
        {"only the enable bit of 0x30 and DMA bits of 0x74 are kept",
         {{'o', 0x2E, 0x87},
          {'o', 0x2E, 0x87},
          {'o', 0x2E, 0x07},
          {'o', 0x2F, 0x06},
          {'o', 0x2E, 0x30},
          {'o', 0x2F, 0xFF},
          {'i', 0x2F, 0x01},
          {'o', 0x2E, 0x07},
          {'o', 0x2F, 0x01},
          {'o', 0x2E, 0x74},
          {'o', 0x2F, 0xFB},
          {'i', 0x2F, 0x03}}},
        {"a 16-bit write puts the index on 0x2E and the data on 0x2F",
         {{'o', 0x2E, 0x87},
          {'o', 0x2E, 0x87},
          {'w', 0x2E, 0x0507},
          {'o', 0x2E, 0x07},
          {'i', 0x2F, 0x05},
          {'w', 0x2E, 0x0D72},
          {'i', 0x2F, 0x0D}}},
    };
    for (const TransferCase &c : cases) {
        SCOPED_TRACE(c.name);
        qport_sim_reset();
        run_transfers(c.transfers);
    }
}

TEST_F(SuperIo, RegistersReadTheChipsValuesAtReset)
{
    struct RegisterCase {
        std::uint8_t ldn, index, value;
    };
    const RegisterCase cases[] = {
        // Global registers, whatever the LDN.
        {0x00, 0x02, 0x00},
        {0x00, 0x22, 0xFF},
        {0x00, 0x23, 0x00},
        {0x0B, 0x2A, 0x7C},
        {0x05, 0x2B, 0xC0},
        {0x00, 0x2D, 0xFF},
        {0x00, 0x2F, 0x00},
        {0x00, 0x08, 0xFF},
        // Floppy: at its base, but disabled on a machine without one.
        {0x00, 0x30, 0x00},
        {0x00, 0x60, 0x03},
        {0x00, 0x61, 0xF0},
        {0x00, 0x70, 0x06},
        {0x00, 0x74, 0x02},
        {0x00, 0xF2, 0xFF},
        // The parallel port: enabled at 0x378, IRQ 7, no DMA.
        {0x01, 0x30, 0x01},
        {0x01, 0x60, 0x03},
        {0x01, 0x61, 0x78},
        {0x01, 0x70, 0x07},
        {0x01, 0x74, 0x04},
        {0x01, 0xF0, 0x3F},
        {0x01, 0x62, 0xFF},
        // Serial ports: disabled at their bases; the keyboard controller
        // enabled at 0x60 and 0x64.
        {0x02, 0x30, 0x00},
        {0x02, 0x61, 0xF8},
        {0x02, 0x70, 0x04},
        {0x03, 0x60, 0x02},
        {0x03, 0x70, 0x03},
        {0x05, 0x30, 0x01},
        {0x05, 0x61, 0x60},
        {0x05, 0x63, 0x64},
        {0x05, 0x72, 0x0C},
        {0x05, 0xF0, 0x80},
        // The rest, as the chip leaves them.
        {0x06, 0x30, 0x00},
        {0x07, 0x60, 0x02},
        {0x07, 0x63, 0x30},
        {0x07, 0x70, 0x09},
        {0x08, 0xF0, 0xFF},
        {0x09, 0xF0, 0xFF},
        {0x0A, 0xE4, 0x00},
        {0x0B, 0x30, 0x01},
        {0x0B, 0x60, 0x02},
        {0x0B, 0x61, 0x90},
        // No LDN 4, nor past 0x0B.
        {0x04, 0x30, 0xFF},
        {0x0C, 0x60, 0xFF},
    };
    for (const RegisterCase &c : cases) {
        SCOPED_TRACE(::testing::Message()
                     << "LDN 0x" << std::hex << int{c.ldn} << " register 0x" << int{c.index});
        EXPECT_EQ(chip_register(c.ldn, c.index), c.value);
    }
}

// The parallel port's enable bit and base move lpt1 as they would move the
// chip's own port: its data latch answers at the new base, the old base
// reads all ones, and while disabled it decodes nothing.
TEST_F(SuperIo, ParallelPortRegistersMoveLpt1)
{
    struct Step {
        const char *name;
        std::uint8_t index, value; // written to LDN 1
        std::string ports;         // where lpt1 decodes afterwards
        short answering;           // a port whose data latch holds 0x5A, or 0
    };
    outportb(0x378, 0x5A);
    const Step steps[] = {
        {"base high to 0x02: 0x278", 0x60, 0x02, "0x278+3", 0x278},
        {"disabled", 0x30, 0x00, "+0", 0},
        {"enabled again, latch kept", 0x30, 0x01, "0x278+3", 0x278},
        {"base low to 0xbc: 0x2bc", 0x61, 0xBC, "0x2bc+3", 0x2BC},
        {"base high to 0x03: 0x3bc", 0x60, 0x03, "0x3bc+3", 0x3BC},
        {"low bits cleared: 4-byte boundary", 0x61, 0x7B, "0x378+3", 0x378},
        {"below 0x100: 0x078", 0x60, 0x00, "0x78+3", 0x78},
        {"base 0 decodes nothing", 0x61, 0x00, "+0", 0},
        {"12 bits at most: 0xf00", 0x60, 0xFF, "0xf00+3", 0xF00},
        {"12 bits at most: 0xffc", 0x61, 0xFF, "0xffc+3", 0xFFC},
    };
    short previous = 0x378;
    for (const Step &step : steps) {
        SCOPED_TRACE(step.name);
        set_chip_register(0x01, step.index, step.value);
        EXPECT_EQ(lpt1_ports(), step.ports);
        if (step.answering != 0) {
            EXPECT_EQ(read_byte(step.answering), 0x5A);
            EXPECT_EQ(read_byte(static_cast<short>(step.answering + 2)), 0xEC) << "control";
        }
        if (previous != step.answering && previous != 0) {
            EXPECT_EQ(read_byte(previous), 0xFF) << "the old base";
        }
        previous = step.answering;
    }
    EXPECT_EQ(properties_of("superio")["ldn1"], "parallel port, enabled, base 0xffc, irq 7");

    // A write to the old base reaches nothing.
    outportb(0x378, 0x11);
    EXPECT_EQ(read_byte(0xFFC), 0x5A);

    qport_sim_reset();
    EXPECT_EQ(lpt1_ports(), "0x378+3");
    EXPECT_EQ(chip_register(0x01, 0x30), 0x01);
    EXPECT_EQ(chip_register(0x01, 0x60), 0x03);
    EXPECT_EQ(chip_register(0x01, 0x61), 0x78);
    EXPECT_EQ(read_byte(0xFFC), 0xFF);
    outportb(0x378, 0x22);
    EXPECT_EQ(read_byte(0x378), 0x22);
}

// The parallel port moved onto the chip's own ports leaves them to the chip.
TEST_F(SuperIo, Lpt1MovedOverTheChipLeavesTheChipItsPorts)
{
    set_chip_register(0x01, 0x60, 0x00);
    set_chip_register(0x01, 0x61, 0x2C); // 0x2C..0x2E
    outportb(0x2C, 0x33);
    EXPECT_EQ(read_byte(0x2C), 0x33);
    EXPECT_EQ(chip_register(0x00, 0x20), 0x52);
    EXPECT_EQ(read_byte(0x2E), 0xFF);
}

TEST_F(SuperIo, PropertiesSummariseTheChip)
{
    std::map<std::string, std::string> properties = properties_of("superio");
    EXPECT_EQ(properties["type"], "w83627hf");
    EXPECT_EQ(properties["ports"], "0x002e-0x002f");
    EXPECT_EQ(properties["chip"], "W83627HF");
    EXPECT_EQ(properties["id"], "0x52");
    EXPECT_EQ(properties["revision"], "0x17");
    EXPECT_EQ(properties["configuration"], "closed");
    EXPECT_EQ(properties["ldn1"], "parallel port, enabled, base 0x378, irq 7");
    EXPECT_EQ(properties["ldn0"],
              "floppy controller, disabled, base 0x3f0, irq 6, dma 2 (not simulated)");
    EXPECT_EQ(properties["ldn5"],
              "keyboard controller, enabled, base 0x060 and 0x064, irq 1 and 12");
    EXPECT_EQ(properties["ldnb"], "hardware monitor, enabled, base 0x290");
    EXPECT_EQ(properties["ldn8"], "GPIO 2 and watchdog, disabled (not simulated)");

    set_chip_register(0x01, 0x30, 0x00);
    open_configuration();
    outportb(config_port, 0x07);
    outportb(data_port, 0x0A);
    properties = properties_of("superio");
    EXPECT_EQ(properties["configuration"], "open");
    EXPECT_EQ(properties["selected-ldn"], "0x0a");
    EXPECT_EQ(properties["ldn1"], "parallel port, disabled, base 0x378, irq 7");
    EXPECT_EQ(properties_of("lpt1")["ports"], "none (disabled)");
    EXPECT_EQ(qport_sim_set_device_property("superio", "ldn1", "enabled"), -1);
}

// The key's progress, the open configuration and the selected LDN are the
// machine's: one process may write half the key and another the rest.
TEST_F(SuperIo, StateIsTheSharedMachines)
{
    ScratchDirectory directory;
    const std::string machine = directory / "machine";
    ASSERT_EQ(qport_sim_use_machine(machine.c_str()), 0);
    EXPECT_EQ(in_child([] {
                  outportb(config_port, static_cast<char>(0x87));
                  return 0;
              }),
              0);
    outportb(config_port, static_cast<char>(0x87));
    EXPECT_EQ(in_child([] {
                  outportb(config_port, 0x07);
                  outportb(data_port, 0x01);
                  outportb(config_port, 0x60);
                  outportb(data_port, 0x02);
                  return 0;
              }),
              0);
    outportb(0x278, 0x5A);
    EXPECT_EQ(in_child([] { return read_byte(0x278) == 0x5A && read_byte(0x378) == 0xFF ? 0 : 1; }),
              0);
    EXPECT_EQ(properties_of("superio")["selected-ldn"], "0x01");
}

// Threads reprogramming the parallel port's decoder at once leave lpt1
// where the registers finally say, and answering there.
TEST_F(SuperIo, ConcurrentReprogrammingEndsWhereTheRegistersSay)
{
    open_configuration();
    outportb(config_port, 0x07);
    outportb(data_port, 0x01);
    // Bases between 0x200 and 0x3FC, where lpt1 has the ports to itself.
    const auto reprogram = [](unsigned seed) {
        std::minstd_rand random(seed);
        for (int i = 0; i < 5000; ++i) {
            switch (random() % 3) {
            case 0:
                outportb(config_port, 0x30);
                outportb(data_port, static_cast<char>(random() % 2));
                break;
            case 1:
                outportb(config_port, 0x60);
                outportb(data_port, static_cast<char>(2 + random() % 2));
                break;
            default:
                outportb(config_port, 0x61);
                outportb(data_port, static_cast<char>(random()));
            }
        }
    };
    std::thread first(reprogram, 1);
    std::thread second(reprogram, 2);
    first.join();
    second.join();
    // A data byte may have gone to the other thread's index: read what the
    // registers hold now.
    std::uint8_t values[3];
    const std::uint8_t indexes[] = {0x30, 0x60, 0x61};
    for (int i = 0; i < 3; ++i) {
        outportb(config_port, static_cast<char>(indexes[i]));
        values[i] = read_byte(data_port);
    }
    close_configuration();
    const auto base = static_cast<short>(values[1] << 8 | values[2]);
    const bool decodes = (values[0] & 0x01) != 0 && base != 0;
    SCOPED_TRACE(::testing::Message() << "registers " << std::hex << int{values[0]} << " "
                                      << int{values[1]} << " " << int{values[2]});
    EXPECT_EQ(lpt1_ports(),
              decodes ? "0x" + (std::stringstream() << std::hex << base).str() + "+3" : "+0");
    if (decodes) {
        outportb(base, 0x5A);
        EXPECT_EQ(read_byte(base), 0x5A);
    }
}

} // namespace
