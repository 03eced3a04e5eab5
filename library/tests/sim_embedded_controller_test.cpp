// SPDX-License-Identifier: LGPL-2.1-or-later
// The ACPI embedded controller at 0x62/0x66 driven as ACPI's EC driver and
// coreboot's ectool drive it: the status bits, read, write, burst and
// query, commands it does not know, and its memory and events set as
// properties.
#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "device_properties.h"
#include "fresh_machine.h"
#include "port_transfers.h"
#include "qport.h"
#include "qport_sim.h"

namespace {

using EmbeddedController = FreshMachine;

struct TransferCase {
    const char *name;
    std::vector<std::pair<const char *, const char *>> properties; // set first
    std::vector<PortTransfer> transfers;
};

TEST_F(EmbeddedController, InterfaceTransfers)
{
    const TransferCase cases[] = {
        {"idle: nothing full, no event", {}, {{'i', 0x66, 0x00}}},
        {"read a preset byte: OBF until the data is read",
         {{"memory-0x10", "0x42"}},
         {{'o', 0x66, 0x80},
          {'i', 0x66, 0x08},
          {'o', 0x62, 0x10},
          {'i', 0x66, 0x01},
          {'i', 0x62, 0x42},
          {'i', 0x66, 0x00}}},
        {"write, then read back",
         {},
         {{'o', 0x66, 0x81},
          {'o', 0x62, 0xA0},
          {'o', 0x62, 0x5A},
          {'i', 0x66, 0x00},
          {'o', 0x66, 0x80},
          {'o', 0x62, 0xA0},
          {'i', 0x62, 0x5A}}},
        {"burst enable answers 0x90 and sets BURST; disable clears it",
         {},
         {{'o', 0x66, 0x82},
          {'i', 0x66, 0x19},
          {'i', 0x62, 0x90},
          {'i', 0x66, 0x18},
          {'o', 0x66, 0x83},
          {'i', 0x66, 0x08}}},
        {"query: events oldest first, SCI_EVT until none, then 0",
         {{"event", "0x66"}, {"event", "0x42"}},
         {{'i', 0x66, 0x20},
          {'o', 0x66, 0x84},
          {'i', 0x66, 0x29},
          {'i', 0x62, 0x66},
          {'o', 0x66, 0x84},
          {'i', 0x62, 0x42},
          {'i', 0x66, 0x08},
          {'o', 0x66, 0x84},
          {'i', 0x62, 0x00}}},
        {"an unknown command is ignored, and ends a read under way",
         {{"memory-0x01", "7"}},
         {{'o', 0x66, 0x80},
          {'o', 0x66, 0x12},
          {'o', 0x62, 0x01},
          {'i', 0x66, 0x00},
          {'o', 0x66, 0x80},
          {'o', 0x62, 0x01},
          {'i', 0x62, 0x07}}},
        {"data with no command is ignored",
         {},
         {{'o', 0x62, 0x33},
          {'i', 0x66, 0x00},
          {'o', 0x66, 0x80},
          {'o', 0x62, 0x33},
          {'i', 0x62, 0x00}}},
    };
    for (const TransferCase &c : cases) {
        SCOPED_TRACE(c.name);
        qport_sim_reset();
        for (const auto &[key, value] : c.properties)
            ASSERT_EQ(qport_sim_set_device_property("ec", key, value), 0) << key;
        run_transfers(c.transfers);
    }
}

TEST_F(EmbeddedController, PropertiesAndTheirRanges)
{
    ASSERT_EQ(qport_sim_set_device_property("ec", "memory-0x12", "0xab"), 0);
    ASSERT_EQ(qport_sim_set_device_property("ec", "memory-255", "1"), 0);
    ASSERT_EQ(qport_sim_set_device_property("ec", "event", "0x01"), 0);
    auto properties = device_properties("ec");
    EXPECT_EQ(properties.at("ports"), "0x0062-0x0062 and 0x0066-0x0066");
    EXPECT_EQ(properties.at("memory-0x10"), "00 00 ab 00 00 00 00 00 00 00 00 00 00 00 00 00");
    EXPECT_EQ(properties.at("memory-0xf0"), "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 01");
    EXPECT_EQ(properties.count("memory-0x00"), 0U) << "rows of zeros are left out";
    EXPECT_EQ(properties.at("events"), "0x01");
    EXPECT_EQ(properties.at("status"), "0x20");

    // A peek at the data port leaves the answer there.
    outportb(0x66, static_cast<char>(0x80));
    outportb(0x62, 0x12);
    EXPECT_EQ(qport_sim_peek(0x62), 0xAB);
    EXPECT_EQ(device_properties("ec").at("output-buffer"), "0xab");

    struct Refused {
        const char *key, *value;
        int error;
    };
    const Refused refused[] = {
        {"memory-0x100", "1", ENOENT}, {"memory-x", "1", ENOENT}, {"memory-0x10", "0x100", EINVAL},
        {"event", "0", EINVAL},        {"event", "256", EINVAL},  {"events", "1", ENOENT},
    };
    for (const Refused &r : refused) {
        SCOPED_TRACE(std::string(r.key) + "=" + r.value);
        errno = 0;
        EXPECT_EQ(qport_sim_set_device_property("ec", r.key, r.value), -1);
        EXPECT_EQ(errno, r.error);
    }
    for (int i = 0; i < 6; ++i)
        ASSERT_EQ(qport_sim_set_device_property("ec", "event", "2"), 0);
    EXPECT_EQ(qport_sim_set_device_property("ec", "event", "3"), -1) << "seven queued at most";

    // The PC's reset keeps the controller's memory and events.
    outportb(0x64, static_cast<char>(0xFE));
    properties = device_properties("ec");
    EXPECT_EQ(properties.at("events"), "0x01 0x02 0x02 0x02 0x02 0x02 0x02");
    EXPECT_EQ(properties.count("memory-0x10"), 1U);
    EXPECT_EQ(properties.at("output-buffer"), "empty");
}

} // namespace
