// SPDX-License-Identifier: LGPL-2.1-or-later
// The W83627HF's hardware monitor at 0x290 driven as Linux's w83627hf
// driver and sensors-detect drive it: registers through base+5 and base+6,
// banks, readings set as properties in real units, alarms past limits.
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "device_properties.h"
#include "fresh_machine.h"
#include "qport.h"
#include "qport_sim.h"

namespace {

constexpr short address_port = 0x295;
constexpr short data_port = 0x296;

using HardwareMonitor = FreshMachine;

std::uint8_t hwmon_register(std::uint8_t index)
{
    outportb(address_port, static_cast<char>(index));
    return static_cast<std::uint8_t>(inportb(data_port));
}

void set_hwmon_register(std::uint8_t index, std::uint8_t value)
{
    outportb(address_port, static_cast<char>(index));
    outportb(data_port, static_cast<char>(value));
}

// A register read after some setting: property changes, register writes.
struct RegisterCase {
    const char *name;
    std::vector<std::pair<const char *, const char *>> properties;
    std::vector<std::pair<std::uint8_t, std::uint8_t>> writes;
    std::uint8_t index;
    std::uint8_t expected;
};

TEST_F(HardwareMonitor, RegistersAsTheDriverReadsThem)
{
    const RegisterCase cases[] = {
        {"chip ID in bank 0", {}, {}, 0x58, 0x21},
        {"vendor ID high byte: HBACS set at reset", {}, {}, 0x4F, 0x5C},
        {"vendor ID low byte", {}, {{0x4E, 0x00}}, 0x4F, 0xA3},
        {"bank select reads back", {}, {{0x4E, 0x82}}, 0x4E, 0x82},
        {"configuration: monitoring started", {}, {}, 0x40, 0x01},
        {"temperature 1: 45 °C", {}, {}, 0x27, 45},
        {"temperature 1 set to -10 °C", {{"temp1", "-10"}}, {}, 0x27, 0xF6},
        {"temperature 2 in bank 1: 38 °C", {}, {{0x4E, 0x01}}, 0x50, 38},
        {"temperature 2's half degree", {{"temp2", "38.5"}}, {{0x4E, 0x01}}, 0x51, 0x80},
        {"temperature 3 in bank 2", {{"temp3", "52"}}, {{0x4E, 0x02}}, 0x50, 52},
        {"bank 1 has no chip ID at 0x58", {}, {{0x4E, 0x01}}, 0x58, 0x00},
        {"in0 at 1.504 V: 94 steps of 16 mV", {}, {}, 0x20, 94},
        {"in2 set to 3.3 V", {{"in2", "3.3"}}, {}, 0x22, 206},
        {"in7 (5VSB) in bank 5", {{"in7", "2.96"}}, {{0x4E, 0x05}}, 0x50, 185},
        {"fan1 2500 rpm divided by 4: count 135", {}, {}, 0x28, 135},
        {"fan2 stopped: count 255", {{"fan2", "0"}}, {}, 0x29, 0xFF},
        {"fan1 with divisor 8", {}, {{0x47, 0xB0}}, 0x28, 68},
        {"fan1 too slow for divisor 2", {}, {{0x47, 0x90}}, 0x28, 0xFF},
        {"fan3 divisor 2 in 0x4B", {{"fan3", "3000"}}, {{0x4B, 0x44}}, 0x2A, 225},
        {"limits read back as written", {}, {{0x39, 0x50}}, 0x39, 0x50},
        {"readings are read-only", {}, {{0x27, 0x00}}, 0x27, 45},
        {"chip ID is read-only", {}, {{0x58, 0x00}}, 0x58, 0x21},
        {"no alarm at reset", {}, {}, 0x41, 0x00},
        {"temp1 over its limit: bit 4", {{"temp1", "61"}}, {}, 0x41, 0x10},
        {"in0 below its minimum: bit 0", {{"in0", "1.0"}}, {}, 0x41, 0x01},
        {"fan1 below its count limit: bit 6", {{"fan1", "1000"}}, {}, 0x41, 0x40},
        {"fan3 below: status 2 bit 3", {{"fan3", "500"}}, {}, 0x42, 0x08},
        {"temp3 over 80 °C: status 2 bit 5", {{"temp3", "85"}}, {}, 0x42, 0x20},
        {"a lowered limit raises the alarm", {}, {{0x39, 40}}, 0x41, 0x10},
        {"initialisation puts limits back", {}, {{0x39, 40}, {0x40, 0x80}}, 0x39, 60},
    };
    for (const RegisterCase &c : cases) {
        SCOPED_TRACE(c.name);
        qport_sim_reset();
        for (const auto &[key, value] : c.properties)
            ASSERT_EQ(qport_sim_set_device_property("hwmon", key, value), 0) << key;
        for (const auto &[index, value] : c.writes)
            set_hwmon_register(index, value);
        EXPECT_EQ(hwmon_register(c.index), c.expected);
    }
    // The address port reads back the index, bit 7 (busy) clear.
    outportb(address_port, static_cast<char>(0xA7));
    EXPECT_EQ(static_cast<std::uint8_t>(inportb(address_port)), 0x27);
    EXPECT_EQ(static_cast<std::uint8_t>(inportb(0x290)), 0xFF);
}

TEST_F(HardwareMonitor, PropertiesInRealUnits)
{
    auto properties = device_properties("hwmon");
    EXPECT_EQ(properties.at("ports"), "0x0290-0x0297");
    EXPECT_EQ(properties.at("temp1"), "45.0 °C");
    EXPECT_EQ(properties.at("fan1"), "2500 rpm (count 135, divisor 4)");
    EXPECT_EQ(properties.at("in0"), "1.504 V");
    EXPECT_EQ(properties.at("alarms"), "none");

    struct Refused {
        const char *key, *value;
        int error;
    };
    const Refused refused[] = {
        {"temp1", "126", EINVAL},  {"temp1", "-56", EINVAL}, {"temp2", "40.25", EINVAL},
        {"fan1", "20001", EINVAL}, {"fan1", "-1", EINVAL},   {"in0", "4.081", EINVAL},
        {"in0", "1.0001", EINVAL}, {"in0", "volts", EINVAL}, {"temp4", "40", ENOENT},
        {"in9", "1", ENOENT},      {"fan0", "1", ENOENT},
    };
    for (const Refused &r : refused) {
        SCOPED_TRACE(std::string(r.key) + "=" + r.value);
        errno = 0;
        EXPECT_EQ(qport_sim_set_device_property("hwmon", r.key, r.value), -1);
        EXPECT_EQ(errno, r.error);
    }
    ASSERT_EQ(qport_sim_set_device_property("hwmon", "temp2", "-0.5"), 0);
    ASSERT_EQ(qport_sim_set_device_property("hwmon", "temp1", "125"), 0);
    ASSERT_EQ(qport_sim_set_device_property("hwmon", "in8", "4.08"), 0);
    properties = device_properties("hwmon");
    EXPECT_EQ(properties.at("temp2"), "-0.5 °C");
    EXPECT_EQ(properties.at("in8"), "4.080 V");
    EXPECT_EQ(properties.at("alarms"), "temp1");
}

// Moved and disabled through the Super I/O's logical device 0x0B; the PC's
// reset puts its registers back and keeps the readings.
TEST_F(HardwareMonitor, SuperIoMovesItAndResetKeepsReadings)
{
    outportb(0x2E, static_cast<char>(0x87));
    outportb(0x2E, static_cast<char>(0x87));
    outportb(0x2E, 0x07);
    outportb(0x2F, 0x0B);
    outportb(0x2E, 0x61);
    outportb(0x2F, static_cast<char>(0xA0));
    outportb(0x2E, static_cast<char>(0xAA));
    EXPECT_EQ(device_properties("hwmon").at("ports"), "0x02a0-0x02a7");
    EXPECT_EQ(hwmon_register(0x58), 0xFF) << "nothing left at 0x295";
    outportb(0x2A5, 0x58);
    EXPECT_EQ(static_cast<std::uint8_t>(inportb(0x2A6)), 0x21);

    ASSERT_EQ(qport_sim_set_device_property("hwmon", "temp1", "50"), 0);
    outportb(0x2A5, 0x39);
    outportb(0x2A6, 0x20);
    outportb(0x64, static_cast<char>(0xFE));
    EXPECT_EQ(qport_sim_reset_count(), 1U);
    EXPECT_EQ(device_properties("hwmon").at("ports"), "0x0290-0x0297");
    EXPECT_EQ(hwmon_register(0x39), 60);
    EXPECT_EQ(hwmon_register(0x27), 50);
}

} // namespace
