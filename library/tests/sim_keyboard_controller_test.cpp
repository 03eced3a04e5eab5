// SPDX-License-Identifier: LGPL-2.1-or-later
// The keyboard controller at 0x60/0x64 driven as firmware, Linux's i8042
// driver and kbdrate drive it; and the PC's reset line, pulled through it
// and through 0xCF9, resetting the PC's own devices and keeping what lies
// outside them.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "device_properties.h"
#include "fresh_machine.h"
#include "port_transfers.h"
#include "qport.h"
#include "qport_sim.h"

namespace {

using KeyboardController = FreshMachine;

struct TransferCase {
    const char *name;
    std::vector<PortTransfer> transfers;
    std::map<std::string, std::string> properties; // of kbc, afterwards
};

TEST_F(KeyboardController, CommandsAndKeyboardAnswers)
{
    const TransferCase cases[] = {
        {"as firmware leaves it: empty, system flag, unlocked",
         {{'i', 0x64, 0x14}},
         {{"command-byte", "0x45"},
          {"output-buffer", "empty"},
          {"leds", "none lit"},
          {"typematic-rate", "10.9 characters/s"},
          {"typematic-delay", "500 ms"},
          {"ports", "0x0060-0x0060 and 0x0064-0x0064"}}},
        {"self-test, interface test: answers, OBF, the command flag",
         {{'o', 0x64, 0xAA},
          {'i', 0x64, 0x1D},
          {'i', 0x60, 0x55},
          {'i', 0x64, 0x1C},
          {'o', 0x64, 0xAB},
          {'i', 0x60, 0x00}},
         {}},
        {"command byte read and written",
         {{'o', 0x64, 0x20},
          {'i', 0x60, 0x45},
          {'o', 0x64, 0x60},
          {'o', 0x60, 0x41},
          {'i', 0x64, 0x10},
          {'o', 0x64, 0x20},
          {'i', 0x60, 0x41}},
         {{"command-byte", "0x41"}}},
        {"keyboard disabled and enabled",
         {{'o', 0x64, 0xAD}, {'o', 0x64, 0x20}, {'i', 0x60, 0x55}, {'o', 0x64, 0xAE}},
         {{"keyboard", "enabled, scanning"}, {"command-byte", "0x45"}}},
        {"output port read and written without the reset bit's change",
         {{'o', 0x64, 0xD0}, {'i', 0x60, 0xCF}, {'o', 0x64, 0xD1}, {'o', 0x60, 0xCD}},
         {{"output-port", "0xcd"}}},
        {"LEDs and typematic: each byte acknowledged, data byte to 0x60",
         {{'o', 0x60, 0xED},
          {'i', 0x60, 0xFA},
          {'o', 0x60, 0x06},
          {'i', 0x60, 0xFA},
          {'o', 0x60, 0xF3},
          {'o', 0x60, 0x24},
          {'i', 0x64, 0x15},
          {'i', 0x60, 0xFA},
          {'i', 0x60, 0xFA},
          {'i', 0x64, 0x14}},
         {{"leds", "num-lock, caps-lock"},
          {"typematic-rate", "20.0 characters/s"},
          {"typematic-delay", "500 ms"}}},
        {"echo, enable, identify, reset",
         {{'o', 0x60, 0xEE},
          {'i', 0x60, 0xEE},
          {'o', 0x60, 0xF5},
          {'i', 0x60, 0xFA},
          {'o', 0x60, 0xF4},
          {'i', 0x60, 0xFA},
          {'o', 0x60, 0xF2},
          {'i', 0x60, 0xFA},
          {'i', 0x60, 0xAB},
          {'i', 0x60, 0x41},
          {'o', 0x60, 0xED},
          {'o', 0x60, 0x07},
          {'o', 0x60, 0xFF},
          {'i', 0x60, 0xFA},
          {'i', 0x60, 0xFA},
          {'i', 0x60, 0xFA},
          {'i', 0x60, 0xAA}},
         {{"leds", "none lit"}, {"keyboard", "enabled, scanning"}}},
        {"unknown: the keyboard asks for a resend, the controller ignores",
         {{'o', 0x60, 0x12}, {'i', 0x60, 0xFE}, {'o', 0x64, 0x12}, {'i', 0x64, 0x1C}},
         {{"output-buffer", "empty"}}},
        {"a full buffer keeps the oldest four answers",
         {{'o', 0x60, 0xEE},
          {'o', 0x60, 0xEE},
          {'o', 0x60, 0xEE},
          {'o', 0x60, 0xF2},
          {'i', 0x60, 0xEE},
          {'i', 0x60, 0xEE},
          {'i', 0x60, 0xEE},
          {'i', 0x60, 0xFA},
          {'i', 0x64, 0x14},
          {'i', 0x60, 0xFA}},
         {}},
        {"write to the keyboard's buffer (0xD2)",
         {{'o', 0x64, 0xD2}, {'o', 0x60, 0x1C}, {'i', 0x60, 0x1C}},
         {}},
    };
    for (const TransferCase &c : cases) {
        SCOPED_TRACE(c.name);
        qport_sim_reset();
        run_transfers(c.transfers);
        const auto properties = device_properties("kbc");
        for (const auto &[key, value] : c.properties)
            EXPECT_EQ(properties.at(key), value) << key;
        EXPECT_EQ(qport_sim_reset_count(), 0U);
    }
}

TEST_F(KeyboardController, ReadsThatOnlyLookTakeNothing)
{
    outportb(0x60, static_cast<char>(0xEE));
    EXPECT_EQ(qport_sim_peek(0x60), 0xEE);
    EXPECT_EQ(device_properties("kbc").at("output-buffer"), "0xee");
    EXPECT_EQ(static_cast<std::uint8_t>(inportb(0x60)), 0xEE);
    EXPECT_EQ(device_properties("kbc").at("output-buffer"), "empty");
}

// Moved and disabled through the Super I/O's logical device 5.
TEST_F(KeyboardController, SuperIoMovesAndDisablesIt)
{
    const auto select_ldn5 = [] {
        outportb(0x2E, static_cast<char>(0x87));
        outportb(0x2E, static_cast<char>(0x87));
        outportb(0x2E, 0x07);
        outportb(0x2F, 0x05);
    };
    select_ldn5();
    outportb(0x2E, 0x63);
    outportb(0x2F, 0x68); // the command port to 0x68
    outportb(0x2E, static_cast<char>(0xAA));
    EXPECT_EQ(device_properties("kbc").at("ports"), "0x0060-0x0060 and 0x0068-0x0068");
    EXPECT_EQ(static_cast<std::uint8_t>(inportb(0x64)), 0xFF);
    EXPECT_EQ(static_cast<std::uint8_t>(inportb(0x68)), 0x14);

    select_ldn5();
    outportb(0x2E, 0x30);
    outportb(0x2F, 0x00);
    outportb(0x2E, static_cast<char>(0xAA));
    EXPECT_EQ(device_properties("kbc").at("ports"), "none (disabled) and none (disabled)");
    EXPECT_EQ(static_cast<std::uint8_t>(inportb(0x60)), 0xFF);
    EXPECT_EQ(static_cast<std::uint8_t>(inportb(0x68)), 0xFF);
    EXPECT_EQ(device_properties("superio").at("ldn5"),
              "keyboard controller, disabled, base 0x060 and 0x068, irq 1 and 12");
}

// What a reset puts back and what it keeps: the PC's own devices back to
// power-on; the RTC's time and memory, the peripheral on lpt1 and presets
// of unbacked ports kept.
TEST_F(KeyboardController, ResetLineResetsThePcsOwnDevices)
{
    struct ResetCase {
        const char *name;
        std::vector<PortTransfer> pull;
        const char *cause;
    };
    const ResetCase cases[] = {
        {"0xfe to 0x64", {{'o', 0x64, 0xFE}}, "keyboard controller: 0xfe to 0x64"},
        {"another pulse with bit 0 low", {{'o', 0x64, 0xF0}}, "keyboard controller: 0xfe to 0x64"},
        {"output port bit 0 cleared",
         {{'o', 0x64, 0xD1}, {'o', 0x60, 0xCE}},
         "keyboard controller: output port bit 0 cleared"},
        {"Linux's reboot=pci: read, bit 1, bits 1 and 2",
         {{'i', 0xCF9, 0x00}, {'o', 0xCF9, 0x02}, {'i', 0xCF9, 0x02}, {'o', 0xCF9, 0x06}},
         "0xcf9: hard reset"},
        {"0xcf9 soft", {{'o', 0xCF9, 0x04}}, "0xcf9: soft reset"},
    };
    for (const ResetCase &c : cases) {
        SCOPED_TRACE(c.name);
        qport_sim_reset();
        ASSERT_EQ(qport_sim_set_device_property("lpt1", "peripheral", "lcd"), 0);
        // State of the PC's own devices, changed from power-on.
        run_transfers({{'o', 0x60, 0xED},
                       {'o', 0x60, 0x07}, // LEDs
                       {'o', 0x70, 0x0B},
                       {'o', 0x71, 0x76}, // RTC register B
                       {'o', 0x70, 0x20},
                       {'o', 0x71, 0x5A},    // RTC memory
                       {'o', 0x80, 0x42},    // POST code
                       {'o', 0x378, 0x33}}); // lpt1's data latch
        const std::string peripheral = device_properties("lpt1").at("peripheral");
        qport_sim_preset(0x300, 0x12); // an unbacked port
        const std::string rtc_time = device_properties("rtc").at("time");

        run_transfers(c.pull);
        EXPECT_EQ(qport_sim_reset_count(), 1U);
        EXPECT_STREQ(qport_sim_last_reset_cause(), c.cause);
        EXPECT_EQ(device_properties("kbc").at("leds"), "none lit");
        EXPECT_EQ(device_properties("post").at("code"), "none");
        EXPECT_EQ(device_properties("lpt1").at("data"), "0x00");
        EXPECT_EQ(device_properties("lpt1").at("peripheral"), peripheral);
        EXPECT_EQ(qport_sim_peek(0xCF9), 0x00);
        EXPECT_EQ(qport_sim_peek(0x300), 0x12);
        run_transfers({{'o', 0x70, 0x0B}, {'i', 0x71, 0x06}, {'o', 0x70, 0x20}, {'i', 0x71, 0x5A}});
        EXPECT_EQ(device_properties("rtc").at("time").substr(0, 13), rtc_time.substr(0, 13));
    }
}

TEST_F(KeyboardController, ResetControlRegister)
{
    // Bits 1 and 2 kept, the reserved ones read 0; only RCPU rising resets.
    run_transfers({{'o', 0xCF9, 0xFB}, {'i', 0xCF9, 0x02}});
    EXPECT_EQ(qport_sim_reset_count(), 0U);
    // A 32-bit write at 0xCF8 is CONFIG_ADDRESS, never the reset register.
    outport(0xCF8, static_cast<int>(0x80000604U));
    EXPECT_EQ(qport_sim_reset_count(), 0U);
    EXPECT_EQ(static_cast<std::uint32_t>(inport(0xCF8)), 0x80000604U);
    EXPECT_EQ(qport_sim_peek(0xCF9), 0x02);
    outportb(0xCF9, 0x06);
    EXPECT_EQ(qport_sim_reset_count(), 1U);
    EXPECT_EQ(static_cast<std::uint32_t>(inport(0xCF8)), 0U) << "CONFIG_ADDRESS back to 0";
    // The reset cleared RCPU: setting it again resets again.
    outportb(0xCF9, 0x04);
    EXPECT_EQ(qport_sim_reset_count(), 2U);
    EXPECT_STREQ(qport_sim_last_reset_cause(), "0xcf9: soft reset");
    qport_sim_reset();
    EXPECT_EQ(qport_sim_reset_count(), 0U);
    EXPECT_STREQ(qport_sim_last_reset_cause(), "none");
}

} // namespace
