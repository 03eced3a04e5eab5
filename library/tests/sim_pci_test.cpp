// SPDX-License-Identifier: LGPL-2.1-or-later
// PCI configuration mechanism #1 of the simulated PC, driven as software
// drives the real one: the address register at 0xCF8 and the data ports at
// 0xCFC-0xCFF, at every width; and the parallel-port card whose BAR 0
// places lpt2.
#include <cstdint>
#include <map>
#include <string>

#include <gtest/gtest.h>

#include "fresh_machine.h"
#include "qport.h"
#include "device_properties.h"
#include "qport_sim.h"

namespace {

constexpr unsigned address_port = 0xCF8;
constexpr unsigned data_port = 0xCFC;
constexpr std::uint32_t all_ones = 0xFFFFFFFFU;

// CONFIG_ADDRESS of a register of a function on bus 0, enabled.
constexpr std::uint32_t config(unsigned device, unsigned function, unsigned offset)
{
    return 0x80000000U | device << 11 | function << 8 | offset;
}
constexpr std::uint32_t host_bridge = config(0, 0, 0);
constexpr std::uint32_t isa_bridge = config(1, 0, 0);
constexpr std::uint32_t card = config(3, 0, 0);

std::uint32_t in(unsigned port, unsigned width)
{
    const auto at = static_cast<short>(port);
    switch (width) {
    case 1:
        return static_cast<std::uint8_t>(inportb(at));
    case 2:
        return static_cast<std::uint16_t>(inportw(at));
    default:
        return static_cast<std::uint32_t>(inport(at));
    }
}

void out(unsigned port, unsigned width, std::uint32_t value)
{
    const auto at = static_cast<short>(port);
    switch (width) {
    case 1:
        outportb(at, static_cast<char>(value));
        break;
    case 2:
        outportw(at, static_cast<short>(value));
        break;
    default:
        outport(at, static_cast<int>(value));
    }
}

std::uint32_t read_config(std::uint32_t address)
{
    out(address_port, 4, address);
    return in(data_port, 4);
}

void write_config(std::uint32_t address, std::uint32_t value)
{
    out(address_port, 4, address);
    out(data_port, 4, value);
}

std::map<std::string, std::string> properties_of(const char *device)
{
    return device_properties(device);
}

std::string lpt2_ports() { return properties_of("lpt2")["ports"]; }

using PciConfiguration = FreshMachine;

TEST_F(PciConfiguration, ReadsGiveEachFunctionsRegistersAtEveryWidth)
{
    struct Case {
        const char *what;
        std::uint32_t address;
        unsigned port, width;
        std::uint32_t value;
    };
    const Case cases[] = {
        {"i440FX IDs", host_bridge, 0xCFC, 4, 0x12378086},
        {"vendor as a word", host_bridge, 0xCFC, 2, 0x8086},
        {"device as a word", host_bridge, 0xCFE, 2, 0x1237},
        {"one byte", host_bridge, 0xCFD, 1, 0x80},
        {"a dword past 0xCFF", host_bridge, 0xCFE, 4, 0xFFFF1237},
        {"address bits 1:0 select nothing", host_bridge | 3, 0xCFC, 4, 0x12378086},
        {"host status and command", host_bridge | 0x04, 0xCFC, 4, 0x02800006},
        {"host class and revision", host_bridge | 0x08, 0xCFC, 4, 0x06000002},
        {"chipset registers are not modelled", host_bridge | 0x50, 0xCFC, 4, 0},
        {"PIIX3 IDs", isa_bridge, 0xCFC, 4, 0x70008086},
        {"PIIX3 class", isa_bridge | 0x08, 0xCFC, 4, 0x06010000},
        {"PIIX3 header type: multi-function", isa_bridge | 0x0C, 0xCFE, 1, 0x80},
        {"card IDs", card, 0xCFC, 4, 0x98659710},
        {"card command, status", card | 0x04, 0xCFC, 4, 0x02900007},
        {"card class: parallel, IEEE 1284", card | 0x08, 0xCFC, 4, 0x07010300},
        {"card latency timer", card | 0x0C, 0xCFC, 4, 0x00002000},
        {"card BAR 0: lpt2", card | 0x10, 0xCFC, 4, 0x0000D011},
        {"card BAR 1: ECP", card | 0x14, 0xCFC, 4, 0x0000D001},
        {"card BAR 2: memory", card | 0x18, 0xCFC, 4, 0xFEBF1000},
        {"card BAR 3: none", card | 0x1C, 0xCFC, 4, 0},
        {"card subsystem", card | 0x2C, 0xCFC, 4, 0x2000A000},
        {"card capability pointer", card | 0x34, 0xCFC, 1, 0x48},
        {"card interrupt pin and line", card | 0x3C, 0xCFC, 2, 0x010B},
        {"card power management", card | 0x48, 0xCFC, 4, 0xFFC20001},
        {"card power state D0", card | 0x4C, 0xCFC, 2, 0x2000},
        {"an absent function", config(0, 1, 0), 0xCFC, 4, all_ones},
        {"an absent device", config(2, 0, 0), 0xCFE, 2, 0xFFFF},
        {"the last device", config(31, 7, 0), 0xCFC, 4, all_ones},
        {"bus 1", host_bridge | 1U << 16, 0xCFC, 4, all_ones},
        {"bit 31 clear", host_bridge & ~0x80000000U, 0xCFC, 4, all_ones},
        {"bit 31 clear, a byte", card & ~0x80000000U, 0xCFF, 1, 0xFF},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        out(address_port, 4, c.address);
        EXPECT_EQ(in(c.port, c.width), c.value);
    }
}

// The address register is one 32-bit register: the bytes of 0xCF8-0xCFB
// taken one at a time go to the bus instead, where only the PIIX3's reset
// control register (0xCF9) answers (its reset: sim_keyboard_controller_test).
TEST_F(PciConfiguration, OnlyA32BitWriteAt0xCF8LatchesTheAddress)
{
    outportb(0x378, 0x5A);
    struct Case {
        const char *what;
        unsigned port, width;
        std::uint32_t value;
        std::uint32_t latched; // 0xCF8 read as 32 bits afterwards
    };
    const Case cases[] = {
        {"a 32-bit write", 0xCF8, 4, 0x80001810, 0x80001810},
        {"a byte at 0xCF8", 0xCF8, 1, 0x00, 0x80001810},
        {"pciutils' byte at 0xCFB", 0xCFB, 1, 0x01, 0x80001810},
        {"a word at 0xCFA", 0xCFA, 2, 0x0000, 0x80001810},
        {"a word at 0xCF8", 0xCF8, 2, 0x0000, 0x80001810},
        {"another 32-bit write", 0xCF8, 4, 0x00000004, 0x00000004},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        out(c.port, c.width, c.value);
        EXPECT_EQ(in(address_port, 4), c.latched);
        EXPECT_EQ(in(0xCF8, 1), 0xFFU);
        EXPECT_EQ(in(0xCF9, 1), 0x00U) << "the reset control register";
        EXPECT_EQ(in(0xCFA, 2), 0xFFFFU);
        EXPECT_EQ(in(0xCF8, 2), 0x00FFU);
    }
    EXPECT_EQ(static_cast<std::uint8_t>(inportb(0x378)), 0x5A) << "nothing was reset";

    // pciutils' probe for mechanism #1 finds it; its probe for #2 does not.
    out(0xCFB, 1, 0x01);
    const std::uint32_t saved = in(address_port, 4);
    out(address_port, 4, 0x80000000);
    EXPECT_EQ(in(address_port, 4), 0x80000000U);
    out(address_port, 4, saved);
    out(0xCFB, 1, 0x00);
    out(0xCF8, 1, 0x00);
    out(0xCFA, 1, 0x00);
    EXPECT_FALSE(in(0xCF8, 1) == 0 && in(0xCFA, 1) == 0);
}

TEST_F(PciConfiguration, WritesChangeOnlyWritableBits)
{
    struct Case {
        const char *what;
        std::uint32_t address; // where the write goes
        unsigned port, width;
        std::uint32_t value;
        std::uint32_t register_address; // the register read back as 32 bits
        std::uint32_t read;
    };
    const Case cases[] = {
        {"card IDs are read-only", card, 0xCFC, 4, 0x12345678, card, 0x98659710},
        {"card command", card | 0x04, 0xCFC, 2, 0xFFFF, card | 0x04, 0x02900147},
        {"card status clears nothing", card | 0x04, 0xCFE, 2, 0xFFFF, card | 0x04, 0x02900007},
        {"card class and revision", card | 0x08, 0xCFC, 4, 0, card | 0x08, 0x07010300},
        {"card latency timer", card | 0x0C, 0xCFD, 1, 0x40, card | 0x0C, 0x00004000},
        {"card cache line size", card | 0x0C, 0xCFC, 1, 0x10, card | 0x0C, 0x00002000},
        {"card interrupt line", card | 0x3C, 0xCFC, 1, 0x05, card | 0x3C, 0x00000105},
        {"card interrupt pin", card | 0x3C, 0xCFD, 1, 0x03, card | 0x3C, 0x0000010B},
        {"card subsystem", card | 0x2C, 0xCFC, 4, 0, card | 0x2C, 0x2000A000},
        {"sizing BAR 0", card | 0x10, 0xCFC, 4, all_ones, card | 0x10, 0xFFFFFFF9},
        {"sizing BAR 1", card | 0x14, 0xCFC, 4, all_ones, card | 0x14, 0xFFFFFFF9},
        {"sizing BAR 2", card | 0x18, 0xCFC, 4, all_ones, card | 0x18, 0xFFFFF000},
        {"sizing BAR 3", card | 0x1C, 0xCFC, 4, all_ones, card | 0x1C, 0},
        {"BAR 0 keeps its I/O bit", card | 0x10, 0xCFC, 4, 0xE002, card | 0x10, 0x0000E001},
        {"one byte of BAR 0", card | 0x10, 0xCFD, 1, 0xC0, card | 0x10, 0x0000C011},
        {"power state and PME enable", card | 0x4C, 0xCFC, 2, 0xFFFF, card | 0x4C, 0x2103},
        {"power management capability", card | 0x48, 0xCFC, 4, 0, card | 0x48, 0xFFC20001},
        {"host command", host_bridge | 0x04, 0xCFC, 2, 0xFFFF, host_bridge | 0x04, 0x02800146},
        {"host latency timer", host_bridge | 0x0C, 0xCFD, 1, 0xFF, host_bridge | 0x0C, 0x0000F800},
        {"host chipset register", host_bridge | 0x50, 0xCFC, 4, all_ones, host_bridge | 0x50, 0},
        {"PIIX3 command", isa_bridge | 0x04, 0xCFC, 2, 0xFFFF, isa_bridge | 0x04, 0x0200000F},
        {"bit 31 clear", (card | 0x3C) & ~0x80000000U, 0xCFC, 1, 0x05, card | 0x3C, 0x0000010B},
        {"bus 1", card | 0x3C | 1U << 16, 0xCFC, 1, 0x05, card | 0x3C, 0x0000010B},
        {"an absent function", config(3, 1, 0x3C), 0xCFC, 1, 0x05, config(3, 1, 0x3C), all_ones},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        qport_sim_reset();
        out(address_port, 4, c.address);
        out(c.port, c.width, c.value);
        EXPECT_EQ(read_config(c.register_address), c.read);
    }
}

// BAR 0 decodes lpt2: moving it moves the port, and while the card
// decodes no I/O (command bit 0 clear, a power state other than D0, a BAR
// being sized) lpt2 answers nowhere.
TEST_F(PciConfiguration, TheCardsBarZeroPlacesLpt2)
{
    EXPECT_EQ(lpt2_ports(), "0xd010-0xd012");
    outportb(static_cast<short>(0xD010), 0x5A);
    EXPECT_EQ(static_cast<std::uint8_t>(inportb(static_cast<short>(0xD010))), 0x5A);

    struct Case {
        const char *what;
        std::uint32_t address;
        unsigned width;
        std::uint32_t value;
        const char *ports;    // lpt2's afterwards
        std::uint8_t at_e000; // 0xE000 reads
        std::uint8_t at_d010; // and 0xD010
    };
    const Case cases[] = {
        {"moved to 0xE000", card | 0x10, 4, 0xE000, "0xe000-0xe002", 0x5A, 0xFF},
        {"sized", card | 0x10, 4, all_ones, "none (disabled)", 0xFF, 0xFF},
        {"put back", card | 0x10, 4, 0xE000, "0xe000-0xe002", 0x5A, 0xFF},
        {"I/O space disabled", card | 0x04, 2, 0x0006, "none (disabled)", 0xFF, 0xFF},
        {"I/O space enabled", card | 0x04, 2, 0x0007, "0xe000-0xe002", 0x5A, 0xFF},
        {"in D3hot", card | 0x4C, 2, 0x0003, "none (disabled)", 0xFF, 0xFF},
        {"back in D0", card | 0x4C, 2, 0x0000, "0xe000-0xe002", 0x5A, 0xFF},
        {"moved back", card | 0x10, 4, 0xD010, "0xd010-0xd012", 0xFF, 0x5A},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        out(address_port, 4, c.address);
        out(data_port, c.width, c.value);
        EXPECT_EQ(lpt2_ports(), c.ports);
        EXPECT_EQ(static_cast<std::uint8_t>(inportb(static_cast<short>(0xE000))), c.at_e000);
        EXPECT_EQ(static_cast<std::uint8_t>(inportb(static_cast<short>(0xD010))), c.at_d010);
    }

    // Over lpt1's ports, lpt1 keeps them (real hardware would see both
    // answer).
    write_config(card | 0x10, 0x0378);
    outportb(0x378, 0x11);
    EXPECT_EQ(properties_of("lpt1")["data"], "0x11");
    EXPECT_EQ(properties_of("lpt2")["data"], "0x5a");

    // A reset puts the card's registers and lpt2 back where firmware left
    // them.
    write_config(card | 0x3C, 0x05);
    qport_sim_reset();
    EXPECT_EQ(in(address_port, 4), 0U);
    EXPECT_EQ(read_config(card | 0x10), 0x0000D011U);
    EXPECT_EQ(read_config(card | 0x3C), 0x0000010BU);
    EXPECT_EQ(lpt2_ports(), "0xd010-0xd012");
}

TEST_F(PciConfiguration, PropertiesShowTheAddressTheFunctionsAndTheCard)
{
    write_config(card | 0x10, 0xE000);
    write_config(card | 0x3C, 0x05);
    std::map<std::string, std::string> properties = properties_of("pci");
    EXPECT_EQ(properties["type"], "pci-conf1");
    EXPECT_EQ(properties["ports"], "0x0cf8-0x0cff");
    EXPECT_EQ(properties["address"], "0x8000183c");
    EXPECT_EQ(properties["00:00.0"].substr(0, 21), "8086:1237 host bridge");
    EXPECT_EQ(properties["00:01.0"].substr(0, 20), "8086:7000 ISA bridge");
    EXPECT_EQ(properties["00:03.0"].substr(0, 24), "9710:9865 parallel port:");
    EXPECT_EQ(properties["command"], "0x0007");
    EXPECT_EQ(properties["bar0"], "0x0000e001: I/O at 0xe000, lpt2");
    EXPECT_EQ(properties["interrupt-line"], "5");
    EXPECT_EQ(qport_sim_set_device_property("pci", "address", "0"), -1);
}

TEST_F(PciConfiguration, TheBareMachineHasNoPci)
{
    ASSERT_EQ(qport_sim_set_profile("bare"), 0);
    EXPECT_EQ(read_config(host_bridge), all_ones);
    EXPECT_EQ(in(address_port, 4), all_ones);
    ASSERT_EQ(qport_sim_set_profile("pc"), 0);
}

} // namespace
