// SPDX-License-Identifier: LGPL-2.1-or-later
// The SPI flash on the simulated parallel port, driven as flashrom's
// rayer_spi drives it (the RayeR cable: CS D5, SCK D6, MOSI D7, MISO on
// nAck), one SPI transaction at a time.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <cerrno>
#include <cstdlib>
#include <fstream>

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "qport.h"
#include "qport_sim.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr std::uint8_t cs_line = 0x20, sck_line = 0x40, mosi_line = 0x80;

class SpiFlash : public ::testing::Test {
protected:
    void SetUp() override { plug("spi-flash:chip=w25x10,busy-reads=2"); }
    void TearDown() override { qport_sim_set_device(QPORT_SIM_DEVICE_NONE); }

    static void plug(const char *choice)
    {
        qport_sim_reset();
        ASSERT_EQ(qport_sim_set_device_property("lpt1", "peripheral", choice), 0);
        // Every test starts from an erased, unprotected chip.
        command({0x06});
        command({0x01, 0x00});
        wait_ready();
        command({0x06});
        command({0xC7});
        wait_ready();
    }
    static void lines(std::uint8_t data) { outportb(0x378, static_cast<char>(data)); }
    static bool miso() { return (inportb(0x379) & 0x40) != 0; }
    // One byte, MSB first, in mode 0, as flashrom's bitbang code clocks it:
    // SCK low with MOSI set, then SCK high and MISO read.
    static std::uint8_t exchange(std::uint8_t out, unsigned bits = 8)
    {
        std::uint8_t in = 0;
        for (unsigned i = 0; i < bits; ++i) {
            const bool bit = ((out >> (7 - i)) & 1) != 0;
            lines(bit ? mosi_line : 0);
            lines(static_cast<std::uint8_t>((bit ? mosi_line : 0) | sck_line));
            in = static_cast<std::uint8_t>(in << 1 | (miso() ? 1 : 0));
        }
        return in;
    }
    // One transaction: CS low, the bytes written, read_count read, CS high.
    static Bytes command(const Bytes &written, std::size_t read_count = 0)
    {
        lines(0);
        for (const std::uint8_t byte : written)
            exchange(byte);
        Bytes read;
        for (std::size_t i = 0; i < read_count; ++i)
            read.push_back(exchange(0));
        lines(0);
        lines(cs_line);
        return read;
    }
    static Bytes read_at(std::uint32_t address, std::size_t count)
    {
        return command({0x03, static_cast<std::uint8_t>(address >> 16),
                        static_cast<std::uint8_t>(address >> 8),
                        static_cast<std::uint8_t>(address)},
                       count);
    }
    static void write_enable() { command({0x06}); }
    static void wait_ready()
    {
        for (int i = 0; i < 100 && (command({0x05}, 1)[0] & 0x01) != 0; ++i) {
        }
    }
    static std::string property(const char *key)
    {
        std::map<std::string, std::string> properties;
        qport_sim_device_properties(
            "lpt1",
            [](const char *k, const char *v, void *user) {
                (*static_cast<std::map<std::string, std::string> *>(user))[k] = v;
            },
            &properties);
        return properties[key];
    }
};

TEST_F(SpiFlash, IdentificationCommandsAnswerAsEachChipsDatasheetSays)
{
    struct Case {
        const char *chip;
        Bytes written;
        std::size_t read_count;
        Bytes expected;
    };
    const Case cases[] = {
        {"w25x10", {0x9F}, 3, {0xEF, 0x30, 0x11}},
        {"w25q80", {0x9F}, 3, {0xEF, 0x40, 0x14}},
        {"w25q128", {0x9F}, 6, {0xEF, 0x40, 0x18, 0xEF, 0x40, 0x18}},
        {"w25x10", {0x90, 0, 0, 0}, 4, {0xEF, 0x10, 0xEF, 0x10}},
        {"w25q80", {0x90, 0, 0, 1}, 2, {0x13, 0xEF}},
        {"w25q128", {0xAB, 0, 0, 0}, 2, {0x17, 0x17}},
        {"w25q80", {0x5A, 0, 0, 0, 0}, 8, {'S', 'F', 'D', 'P', 0x00, 0x01, 0x00, 0xFF}},
        {"w25q80", {0x5A, 0, 0, 0x84, 0}, 4, {0xFF, 0xFF, 0x7F, 0x00}}, // 8 Mbit - 1
        {"w25x10", {0x5A, 0, 0, 0, 0}, 2, {0xFF, 0xFF}},                // no SFDP
        {"w25q80", {0x77}, 2, {0xFF, 0xFF}},                            // no such command
        {"w25q80", {0x35}, 1, {0xFF}},                                  // SR2 is the W25Q128's
        {"w25q128", {0x35}, 1, {0x00}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.chip) + " command " + std::to_string(c.written[0]));
        plug(("spi-flash:chip=" + std::string(c.chip)).c_str());
        EXPECT_EQ(command(c.written, c.read_count), c.expected);
    }
}

TEST_F(SpiFlash, ProgramNeedsWriteEnableClearsOnlyBitsAndWrapsInItsPage)
{
    const Bytes program = {0x02, 0x00, 0x01, 0xFE, 0xA5, 0x0F, 0x3C};
    command(program);
    EXPECT_EQ(read_at(0x1FE, 3), (Bytes{0xFF, 0xFF, 0xFF})) << "without WEL nothing is written";

    write_enable();
    EXPECT_EQ(command({0x05}, 1), Bytes{0x02});
    command(program);
    EXPECT_EQ(command({0x05}, 3), (Bytes{0x01, 0x01, 0x00})) << "WIP for two reads, WEL cleared";
    EXPECT_EQ(read_at(0x1FE, 2), (Bytes{0xA5, 0x0F}));
    EXPECT_EQ(read_at(0x100, 1), Bytes{0x3C}) << "the third byte wrapped to the page's start";

    write_enable();
    command({0x02, 0x00, 0x01, 0xFE, 0x5A, 0xFF});
    wait_ready();
    EXPECT_EQ(read_at(0x1FE, 2), (Bytes{0x00, 0x0F})) << "a program only clears bits";
    EXPECT_EQ(command({0x0B, 0x00, 0x01, 0xFE, 0x00}, 2), (Bytes{0x00, 0x0F})) << "fast read";
}

TEST_F(SpiFlash, ErasersSetTheirBlockToOnesAndOnlyTheChipsOwnAreTaken)
{
    struct Case {
        const char *chip;
        Bytes erase;
        std::uint32_t first_erased;
        std::uint32_t past_erased; // 0: nothing erased
    };
    const Case cases[] = {
        {"w25x10", {0x20, 0x00, 0x12, 0x34}, 0x1000, 0x2000},
        {"w25x10", {0xD8, 0x01, 0x23, 0x45}, 0x10000, 0x20000},
        {"w25x10", {0x52, 0x00, 0x00, 0x00}, 0, 0}, // no 32 KiB erase on this chip
        {"w25x10", {0x60}, 0, 0},                   // nor 0x60
        {"w25x10", {0xC7}, 0, 0x20000},
        {"w25q80", {0x52, 0x00, 0x90, 0x00}, 0x8000, 0x10000},
        {"w25q80", {0x60}, 0, 0x100000},
        {"w25q80", {0x20, 0x00, 0x10}, 0, 0}, // cut short: three address bytes wanted
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.chip) + " erase " + std::to_string(c.erase[0]));
        plug(("spi-flash:chip=" + std::string(c.chip)).c_str());
        // Zeros at each edge of the block and beyond it.
        for (const std::uint32_t at :
             {0x0U, 0xFFFU, 0x1000U, 0x7FFFU, 0x8000U, 0xFFFFU, 0x10000U, 0x1FFFFU}) {
            write_enable();
            command({0x02, static_cast<std::uint8_t>(at >> 16), static_cast<std::uint8_t>(at >> 8),
                     static_cast<std::uint8_t>(at), 0x00});
            wait_ready();
        }
        write_enable();
        command(c.erase);
        wait_ready();
        for (const std::uint32_t at :
             {0x0U, 0xFFFU, 0x1000U, 0x7FFFU, 0x8000U, 0xFFFFU, 0x10000U, 0x1FFFFU}) {
            const bool erased = at >= c.first_erased && at < c.past_erased;
            EXPECT_EQ(read_at(at, 1)[0], erased ? 0xFF : 0x00) << "at " << at;
        }
    }
}

TEST_F(SpiFlash, BlockProtectionKeepsProgramsAndErasesOut)
{
    // W25X10: BP0 protects the upper 64 KiB; with TB, the lower.
    struct Case {
        std::uint8_t status;
        std::uint32_t protected_at;
        std::uint32_t unprotected_at;
    };
    for (const Case &c : {Case{0x04, 0x10000, 0x0}, Case{0x24, 0x0, 0x10000}}) {
        SCOPED_TRACE(c.status);
        plug("spi-flash:chip=w25x10");
        write_enable();
        command({0x01, c.status});
        wait_ready();
        EXPECT_EQ(command({0x05}, 1), Bytes{c.status});
        for (const std::uint32_t at : {c.protected_at, c.unprotected_at}) {
            write_enable();
            command({0x02, static_cast<std::uint8_t>(at >> 16), 0, 0, 0x12});
            wait_ready();
        }
        EXPECT_EQ(read_at(c.protected_at, 1), Bytes{0xFF});
        EXPECT_EQ(read_at(c.unprotected_at, 1), Bytes{0x12});
        write_enable();
        command({0xC7});
        wait_ready();
        EXPECT_EQ(read_at(c.unprotected_at, 1), Bytes{0x12}) << "no chip erase while protected";
    }
}

TEST_F(SpiFlash, CommandsCutMidByteOrWhileBusyAreIgnored)
{
    write_enable();
    lines(0);
    for (const std::uint8_t byte : Bytes{0x02, 0x00, 0x00, 0x00, 0x00})
        exchange(byte);
    exchange(0x00, 3); // CS rises three bits into a byte
    lines(cs_line);
    EXPECT_EQ(read_at(0, 1), Bytes{0xFF});

    plug("spi-flash:chip=w25x10,busy-reads=5");
    write_enable();
    command({0x02, 0x00, 0x00, 0x00, 0x00});
    EXPECT_EQ(command({0x9F}, 3), (Bytes{0xFF, 0xFF, 0xFF})) << "busy: only status reads answer";
    wait_ready();
    EXPECT_EQ(command({0x9F}, 1), Bytes{0xEF});
    // Power-down: nothing but 0xAB is heard.
    command({0xB9});
    EXPECT_EQ(command({0x9F}, 1), Bytes{0xFF});
    EXPECT_EQ(command({0xAB, 0, 0, 0}, 1), Bytes{0x10});
    EXPECT_EQ(command({0x9F}, 1), Bytes{0xEF});
}

TEST_F(SpiFlash, BadSettingsAreRefusedAndShowsItsState)
{
    for (const char *choice :
         {"spi-flash:chip=w25q64", "spi-flash:wiring=usbblaster", "spi-flash:busy-reads=some"})
        EXPECT_NE(qport_sim_set_device_property("lpt1", "peripheral", choice), 0) << choice;
    plug("spi-flash:wiring=rayer");
    EXPECT_EQ(property("chip"), "w25q80");
    EXPECT_EQ(property("jedec-id"), "0xef 40 14");
    EXPECT_EQ(property("memory"), "lpt1-w25q80");
    EXPECT_EQ(property("protected"), "none");
}

TEST(DeviceMemory, ASharedMachineKeepsItInAFileOfItsOwnAndRefusesOneOthersMayRead)
{
    char directory[] = "/tmp/qport-memory-XXXXXX";
    ASSERT_NE(::mkdtemp(directory), nullptr);
    const std::string machine = std::string(directory) + "/pc";
    const std::string memory_file = machine + ".memory-lpt1-w25x10";
    ASSERT_EQ(qport_sim_use_machine(machine.c_str()), 0);
    ASSERT_EQ(qport_sim_set_device_property("lpt1", "peripheral", "spi-flash:chip=w25x10"), 0);

    struct stat about {};
    ASSERT_EQ(::stat(memory_file.c_str(), &about), 0);
    EXPECT_EQ(about.st_mode & 0777, 0600U);
    EXPECT_EQ(about.st_size, 131072);
    qport_sim_memory_info listed[4] = {};
    ASSERT_EQ(qport_sim_list_memories(listed, 4), 1U);
    EXPECT_STREQ(listed[0].name, "lpt1-w25x10");

    // Loaded through the library, the file beside the machine holds it.
    const std::string image = std::string(directory) + "/image";
    std::string bytes(131072, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>(i * 7);
    std::ofstream(image, std::ios::binary) << bytes;
    ASSERT_EQ(qport_sim_load_memory("lpt1-w25x10", image.c_str()), 0);
    std::string kept(bytes.size(), '\0');
    std::ifstream(memory_file, std::ios::binary)
        .read(kept.data(), static_cast<std::streamsize>(kept.size()));
    EXPECT_EQ(kept, bytes);

    const std::string short_file = std::string(directory) + "/short";
    std::ofstream(short_file, std::ios::binary) << "too short";
    EXPECT_EQ(qport_sim_load_memory("lpt1-w25x10", short_file.c_str()), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(qport_sim_load_memory("lpt1-w25q80", image.c_str()), -1);
    EXPECT_EQ(errno, ENOENT);

    // A memory file others may read is refused, as the machine file would be.
    ASSERT_EQ(::chmod(memory_file.c_str(), 0644), 0);
    ASSERT_EQ(qport_sim_use_machine(nullptr), 0);
    ASSERT_EQ(qport_sim_use_machine(machine.c_str()), 0);
    EXPECT_EQ(qport_sim_save_memory("lpt1-w25x10", image.c_str()), -1);
    EXPECT_EQ(errno, ENODEV);

    qport_sim_set_device(QPORT_SIM_DEVICE_NONE);
    ASSERT_EQ(qport_sim_use_machine(nullptr), 0);
    for (const std::string &file : {memory_file, machine, image, short_file})
        ::unlink(file.c_str());
    ::rmdir(directory);
}

} // namespace
