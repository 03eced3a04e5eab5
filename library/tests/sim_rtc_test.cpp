// SPDX-License-Identifier: LGPL-2.1-or-later
// The real-time clock at 0x70..0x73 as programs reach it: through port
// transfers on the host's clock, its properties, and its memory kept across
// resets and shared between processes. The registers' own behaviour on a
// clock the test holds is in sim_rtc_chip_test.cpp.
#include <cerrno>
#include <chrono>
#include <ctime>
#include <map>
#include <string>

#include <gtest/gtest.h>

#include "child_process.h"
#include "device_properties.h"
#include "fresh_machine.h"
#include "qport.h"
#include "qport_sim.h"

namespace {

// Built anew for each test: a chip at power-on, on the host's time.
using Rtc = FreshMachine;

std::uint8_t cmos(std::uint8_t index)
{
    outportb(0x70, static_cast<char>(index));
    return static_cast<std::uint8_t>(inportb(0x71));
}

void set_cmos(std::uint8_t index, std::uint8_t value)
{
    outportb(0x70, static_cast<char>(index));
    outportb(0x71, static_cast<char>(value));
}

int from_bcd(std::uint8_t value) { return (value >> 4) * 10 + (value & 0x0F); }

// The clock as hwclock reads it: outside an update, the BCD registers, read
// again until the seconds stay.
std::time_t clock_time()
{
    for (;;) {
        while ((cmos(0x0A) & 0x80) != 0) {
        }
        std::tm t{};
        t.tm_sec = from_bcd(cmos(0x00));
        t.tm_min = from_bcd(cmos(0x02));
        t.tm_hour = from_bcd(cmos(0x04));
        t.tm_mday = from_bcd(cmos(0x07));
        t.tm_mon = from_bcd(cmos(0x08)) - 1;
        t.tm_year = from_bcd(cmos(0x32)) * 100 + from_bcd(cmos(0x09)) - 1900;
        if (from_bcd(cmos(0x00)) == t.tm_sec)
            return ::timegm(&t);
    }
}

// The host's clock as the device reads it: time() may lag it by a tick.
std::time_t host_seconds()
{
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return now.tv_sec;
}

std::map<std::string, std::string> rtc_properties()
{
    int result = -1;
    auto properties = device_properties("rtc", &result);
    EXPECT_EQ(result, 0);
    return properties;
}

TEST_F(Rtc, ReadsTheHostsUtcTime)
{
    const std::time_t before = host_seconds();
    const std::time_t shown = clock_time();
    const std::time_t after = host_seconds();
    EXPECT_GE(shown, before);
    EXPECT_LE(shown, after);
    EXPECT_EQ(cmos(0x0B), 0x02) << "BCD, 24 hours";
    EXPECT_EQ(cmos(0x0D), 0x80);
    const std::map<std::string, std::string> properties = rtc_properties();
    EXPECT_EQ(properties.at("ports"), "0x0070-0x0073");
    EXPECT_EQ(properties.at("offset"), "0");
    EXPECT_EQ(properties.at("clock"), "running");
    EXPECT_EQ(properties.at("mode"), "bcd 24h");
}

// Port by port: the index registers are write-only and drop bit 7 (NMI
// masking, which the chipset keeps apart); a 16-bit write to 0x70 is an
// index and a data byte.
TEST_F(Rtc, IndexAndDataPortsAsTransfersReachThem)
{
    outportb(0x70, static_cast<char>(0x80 | 0x0D));
    EXPECT_EQ(static_cast<std::uint8_t>(inportb(0x71)), 0x80) << "register D through index 0x8D";
    EXPECT_EQ(inportb(0x70), -1);
    EXPECT_EQ(inportb(0x72), -1);
    outportw(0x70, 0x5A0E);
    EXPECT_EQ(cmos(0x0E), 0x5A);
    outportw(0x72, static_cast<short>(0xA50E));
    EXPECT_EQ(cmos(0x0E), 0x5A) << "the upper bank is another byte";
    outportb(0x72, 0x0E);
    EXPECT_EQ(static_cast<std::uint8_t>(inportb(0x73)), 0xA5);
    EXPECT_EQ(rtc_properties().at("index"), "0x0e");
    EXPECT_EQ(rtc_properties().at("upper-index"), "0x0e");
    EXPECT_EQ(qport_sim_peek(0x71), 0x5A);
}

TEST_F(Rtc, PropertiesSetTheClock)
{
    struct Case {
        const char *key, *value;
        int error;
        std::time_t shown; // seconds from the host's time, or the time itself
        bool absolute;
    };
    const Case cases[] = {
        {"offset", "3600", 0, 3600, false},
        {"offset", "-86400.5", 0, -86401, false},
        {"offset", "+60", 0, 60, false},
        {"time", "2030-01-02T03:04:05", 0, 1893553445, true},
        {"time", "1999-12-31 23:59:59", 0, 946684799, true},
        {"offset", "soon", EINVAL, 0, false},
        {"offset", "0x10", EINVAL, 0, false},
        {"offset", "1.5.2", EINVAL, 0, false},
        {"time", "2026-02-29T00:00:00", EINVAL, 0, false},
        {"time", "2026-12-09T24:00:00", EINVAL, 0, false},
        {"time", "2026-12-09", EINVAL, 0, false},
        {"a", "0x26", ENOENT, 0, false},
        {"nvram", "0", ENOENT, 0, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.key) + "=" + c.value);
        ASSERT_EQ(qport_sim_set_device_property("rtc", "offset", "0"), 0);
        errno = 0;
        EXPECT_EQ(qport_sim_set_device_property("rtc", c.key, c.value), c.error == 0 ? 0 : -1);
        EXPECT_EQ(errno, c.error);
        if (c.error != 0)
            continue;
        const std::time_t expected = c.absolute ? c.shown : host_seconds() + c.shown;
        const std::time_t shown = clock_time();
        EXPECT_GE(shown, expected - 1);
        EXPECT_LE(shown, expected + 1);
    }
    ASSERT_EQ(qport_sim_set_device_property("rtc", "time", "2030-01-02T03:04:05"), 0);
    EXPECT_EQ(rtc_properties().at("time").substr(0, 17), "2030-01-02T03:04:");
}

// A program polling register A sees UIP rise, then fall with the seconds
// register one on. A process descheduled across the 2 ms of UIP misses
// that second's edges, and across more than a second reads two updates:
// it tries again.
TEST_F(Rtc, UpdateInProgressEdgesComeWithEachSecond)
{
    using std::chrono::steady_clock;
    const auto give_up = steady_clock::now() + std::chrono::seconds(30);
    bool seen = false;
    while (!seen && steady_clock::now() < give_up) {
        const auto read_at = steady_clock::now();
        const std::uint8_t before = cmos(0x00);
        if ((cmos(0x0A) & 0x80) == 0)
            continue;
        while ((cmos(0x0A) & 0x80) != 0 && steady_clock::now() < give_up) {
        }
        const std::uint8_t after = cmos(0x00);
        if (steady_clock::now() - read_at > std::chrono::milliseconds(900))
            continue;
        EXPECT_EQ(from_bcd(after), (from_bcd(before) + 1) % 60);
        seen = true;
    }
    EXPECT_TRUE(seen) << "no edge in 30 s";
}

TEST_F(Rtc, ReadingRegisterCClearsItAndAPeekDoesNot)
{
    set_cmos(0x0A, 0x20); // no periodic rate
    cmos(0x0C);
    const std::time_t start = clock_time();
    while (clock_time() == start) {
    }
    outportb(0x70, 0x0C);
    EXPECT_EQ(qport_sim_peek(0x71), 0x10) << "UF";
    EXPECT_EQ(rtc_properties().at("c"), "0x10");
    EXPECT_EQ(static_cast<std::uint8_t>(inportb(0x71)), 0x10);
    EXPECT_EQ(static_cast<std::uint8_t>(inportb(0x71)), 0x00);
    set_cmos(0x0A, 0x26);
}

// The memory and the clock are battery-backed: a reset keeps them, and
// they are the machine's, so another process on a shared machine reads
// them.
TEST_F(Rtc, MemoryAndTimeOutliveResetsAndAreSharedByProcesses)
{
    ScratchDirectory directory;
    const std::string machine = directory / "machine";
    ASSERT_EQ(qport_sim_use_machine(machine.c_str()), 0);
    set_cmos(0x0E, 0x11);
    set_cmos(0x7F, 0x22);
    outportb(0x72, 0x7F);
    outportb(0x73, 0x33);
    set_cmos(0x0B, 0x02 | 0x04 | 0x10); // binary, UIE
    ASSERT_EQ(qport_sim_set_device_property("rtc", "time", "2030-01-02T03:04:05"), 0);
    qport_sim_reset();
    EXPECT_EQ(cmos(0x0E), 0x11);
    EXPECT_EQ(cmos(0x7F), 0x22);
    EXPECT_EQ(cmos(0x0B), 0x06) << "binary kept, UIE cleared by the reset";
    EXPECT_EQ(cmos(0x09), 30);

    const int outcome = in_child([&machine] {
        // A process of its own on the machine file: it maps it anew.
        if (qport_sim_use_machine(nullptr) != 0 || qport_sim_use_machine(machine.c_str()) != 0)
            return 10;
        outportb(0x72, 0x7F);
        if (cmos(0x0E) != 0x11 || cmos(0x7F) != 0x22 || inportb(0x73) != 0x33)
            return 11;
        if (cmos(0x09) != 30 || cmos(0x32) != 20)
            return 12;
        set_cmos(0x10, 0x44);
        return 0;
    });
    EXPECT_EQ(outcome, 0);
    EXPECT_EQ(cmos(0x10), 0x44);

    ASSERT_EQ(qport_sim_use_machine(nullptr), 0);
    EXPECT_EQ(cmos(0x0E), 0x00) << "this process's own machine is another PC";
}

} // namespace
