// SPDX-License-Identifier: LGPL-2.1-or-later
// The parallel port without root, on the host: what the kernel's entries say
// (read from fixture trees), the raw register view over a model of the
// kernel's parport_pc driver, and what the user is told.
#include <array>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <map>

#include <fcntl.h>
#include <linux/parport.h>
#include <linux/ppdev.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "access_texts.h"
#include "qport_parport.h"
#include "qport_ext.h"
#include "qport_sim.h"

namespace {

namespace fs = std::filesystem;
using namespace qport::parport;

class FixtureTree : public ::testing::Test {
protected:
    void SetUp() override
    {
        root_ = fs::temp_directory_path() /
                ("qport-parport-" + std::to_string(::getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root_);
    }
    void TearDown() override { fs::remove_all(root_); }

    void put(const std::string &path, const std::string &text)
    {
        const fs::path file = root_ / path;
        fs::create_directories(file.parent_path());
        std::ofstream(file) << text;
    }
    void port_entry(const std::string &name, const std::string &base_addr, const std::string &irq,
                    const std::string &modes, const std::string &active)
    {
        const std::string dir = "proc/sys/dev/parport/" + name + "/";
        put(dir + "base-addr", base_addr);
        put(dir + "irq", irq);
        put(dir + "dma", "-1\n");
        put(dir + "modes", modes);
        put(dir + "devices/active", active);
    }
    void pci_device(const std::string &slot, const std::string &class_code,
                    const std::string &resource, const std::string &driver)
    {
        const std::string dir = "sys/bus/pci/devices/" + slot + "/";
        put(dir + "class", class_code);
        put(dir + "vendor", "0x9710\n");
        put(dir + "device", "0x9865\n");
        put(dir + "resource", resource);
        if (!driver.empty()) {
            fs::create_directories(root_ / "sys/bus/pci/drivers" / driver);
            fs::create_symlink("../../../bus/pci/drivers/" + driver, root_ / dir / "driver");
        }
    }
    std::string root() const { return root_.string(); }

private:
    fs::path root_;
};

TEST_F(FixtureTree, PortsComeFromTheParportEntriesInNumberOrder)
{
    port_entry("parport1", "632\t0\n", "7\n", "PCSPP\n", "lp0\n");
    port_entry("parport0", "888\t1912\n", "-1\n", "PCSPP,TRISTATE,COMPAT,EPP,ECP\n", "none\n");
    // Not ports: the driver's defaults, odd names, unreadable or impossible
    // bases.
    put("proc/sys/dev/parport/default/timeslice", "200\n");
    port_entry("parportx", "888\t0\n", "-1\n", "PCSPP\n", "none\n");
    port_entry("parport2", "garbage\n", "-1\n", "PCSPP\n", "none\n");
    port_entry("parport3", "65535\t0\n", "-1\n", "PCSPP\n", "none\n");
    port_entry("parport4", "0\t0\n", "-1\n", "PCSPP\n", "none\n");

    const auto ports = find_ports(root());
    ASSERT_EQ(ports.size(), 2U);
    EXPECT_EQ(ports[0].number, 0U);
    EXPECT_EQ(ports[0].base, 0x378);
    EXPECT_EQ(ports[0].ecp_base, 0x778);
    EXPECT_EQ(ports[0].irq, -1);
    EXPECT_EQ(ports[0].modes, "PCSPP,TRISTATE,COMPAT,EPP,ECP");
    EXPECT_EQ(ports[0].holder, "");
    EXPECT_TRUE(ports[0].bidirectional());
    EXPECT_EQ(ports[1].number, 1U);
    EXPECT_EQ(ports[1].base, 0x278);
    EXPECT_EQ(ports[1].ecp_base, 0);
    EXPECT_EQ(ports[1].irq, 7);
    EXPECT_EQ(ports[1].holder, "lp0");
    EXPECT_FALSE(ports[1].bidirectional());
    EXPECT_EQ(device_path(root(), 1), root() + "/dev/parport1");
}

TEST_F(FixtureTree, NoParportDriverMeansNoPorts)
{
    EXPECT_TRUE(find_ports(root()).empty());
    EXPECT_TRUE(find_pci_cards(root()).empty());
}

// Every refusal by the kernel, whatever its reason, gives way to the route
// when a port's device opens; the message says what is reachable, then the
// kernel's reason, and the errno stays the refused request's.
TEST_F(FixtureTree, TheRouteIsTakenAfterEveryRefusalByTheKernel)
{
    port_entry("parport0", "888\t1912\n", "-1\n", "PCSPP,TRISTATE,COMPAT,EPP,ECP\n", "none\n");
    port_entry("parport1", "632\t0\n", "7\n", "PCSPP\n", "lp0\n");
    port_entry("parport2", "956\t0\n", "-1\n", "PCSPP\n", "none\n");
    // The opener stands for the permissions: parport2 this process may not
    // open.
    static std::vector<std::string> asked;
    asked.clear(); // a repeated run starts with none asked
    const auto opened = open_reachable_ports(root(), [](const std::string &path) {
        asked.push_back(path);
        return path.ends_with("parport2") ? -1 : ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    });
    EXPECT_EQ(asked, (std::vector<std::string>{root() + "/dev/parport0", root() + "/dev/parport1",
                                               root() + "/dev/parport2"}));
    ASSERT_EQ(opened.size(), 2U);
    std::vector<Reach> reach;
    for (const OpenedPort &port : opened) {
        reach.push_back({port.port.base, port.device, port.port.has_epp()});
        ::close(port.fd);
    }
    EXPECT_EQ(opened[0].device, root() + "/dev/parport0");
    EXPECT_TRUE(opened[0].port.has_epp());
    EXPECT_EQ(opened[1].port.base, 0x278);
    EXPECT_FALSE(opened[1].port.has_epp());
    const std::string reachable = partial_access_text(reach);

    struct Case {
        qport_access cause;
        int error;
        const char *lockdown_mode;
        bool takes_route;
        const char *reason; // in the message either way
    };
    const Case cases[] = {
        {QPORT_ACCESS_NO_PRIVILEGE, EPERM, "", true, "lacks the CAP_SYS_RAWIO capability"},
        {QPORT_ACCESS_USER_NAMESPACE, EPERM, "", true, "runs in a user namespace"},
        {QPORT_ACCESS_LOCKDOWN, EPERM, "integrity", true, "locked down (integrity mode)"},
        {QPORT_ACCESS_LOCKDOWN, EPERM, "", true, "locked down, which forbids"},
        {QPORT_ACCESS_NO_KERNEL_SUPPORT, ENOSYS, "", true, "CONFIG_X86_IOPL_IOPERM"},
        {QPORT_ACCESS_OTHER, EACCES, "", true, "Permission denied"},
        {QPORT_ACCESS_DROPPED, 0, "", false, "gave up its access"},
        {QPORT_ACCESS_NOT_X86, 0, "", false, "not an x86"},
        {QPORT_ACCESS_GRANTED, 0, "", false, "Port access is granted"},
    };
    for (const Case &c : cases) {
        for (const bool port_opened : {true, false}) {
            SCOPED_TRACE(::testing::Message()
                         << c.reason << (port_opened ? ", " : ", no ") << "port opened");
            const qport::Access access = with_route({c.cause, c.error}, port_opened);
            const bool routed = c.takes_route && port_opened;
            EXPECT_EQ(access.cause, routed ? QPORT_ACCESS_PARPORT_ONLY : c.cause);
            EXPECT_EQ(access.error, c.error);
            EXPECT_EQ(access.direct_cause(), c.cause);
            const std::string message = qport::access_message(
                access, {"hardware", c.lockdown_mode, "/usr/share/doc/qport/real-access.md",
                         routed ? reachable : ""});
            EXPECT_NE(message.find(c.reason), std::string::npos) << message;
            EXPECT_EQ(message.starts_with(reachable), routed) << message;
            EXPECT_EQ(message.find("No port transfer was made") != std::string::npos,
                      !routed && c.cause != QPORT_ACCESS_GRANTED)
                << message;
        }
    }
}

// Whatever stands at a device's path, only ppdev's character devices are
// opened: a file, a FIFO or another device could do something when opened.
TEST_F(FixtureTree, OnlyPpdevDevicesAreOpened)
{
    put("dev/parport0", "not a device\n");
    ASSERT_EQ(::mkfifo((root() + "/dev/parport1").c_str(), 0600), 0);
    fs::create_symlink("/dev/null", root() + "/dev/parport2");
    for (const std::string name : {"parport0", "parport1", "parport2", "parport3"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(open_ppdev(root() + "/dev/" + name), -1);
    }
}

TEST_F(FixtureTree, PciParallelCardsAreFoundBoundOrNotWithTheirIoRanges)
{
    const std::string io_and_memory = "0x000000000000e000 0x000000000000e007 0x0000000000040101\n"
                                      "0x00000000fe000000 0x00000000fe000fff 0x0000000000040200\n"
                                      "0x000000000000d800 0x000000000000d807 0x0000000000040101\n"
                                      "0x0000000000000000 0x0000000000000000 0x0000000000000000\n";
    pci_device("0000:05:00.0", "0x070102\n", io_and_memory, "parport_pc");
    pci_device("0000:04:00.0", "0x070100\n",
               "0x000000000000c000 0x000000000000c007 0x0000000000040101\n", "");
    // Other classes: a serial card (0x0700) and an ISA bridge.
    pci_device("0000:03:00.0", "0x070002\n", io_and_memory, "serial");
    pci_device("0000:00:1f.0", "0x060100\n", "", "");

    const auto cards = find_pci_cards(root());
    ASSERT_EQ(cards.size(), 2U);
    EXPECT_EQ(cards[0].slot, "0000:04:00.0");
    EXPECT_EQ(cards[0].driver, "");
    ASSERT_EQ(cards[0].io_ranges.size(), 1U);
    EXPECT_EQ(cards[0].io_ranges[0].first, 0xC000U);
    EXPECT_EQ(cards[1].slot, "0000:05:00.0");
    EXPECT_EQ(cards[1].vendor, 0x9710);
    EXPECT_EQ(cards[1].device, 0x9865);
    EXPECT_EQ(cards[1].class_code, 0x070102U);
    EXPECT_EQ(cards[1].driver, "parport_pc");
    ASSERT_EQ(cards[1].io_ranges.size(), 2U);
    EXPECT_EQ(cards[1].io_ranges[0].first, 0xE000U);
    EXPECT_EQ(cards[1].io_ranges[0].last, 0xE007U);
    EXPECT_EQ(cards[1].io_ranges[1].first, 0xD800U);
}

// parport_pc as ppdev drives it: a copy of the control register that every
// change goes through, masked to the bits the port can hold; PPRCONTROL hands
// out only the four lines. hardware() is what an inb of the control register
// gives on a port whose unwired bits 6 and 7 read as ones.
//
// EPP as ppdev makes it on a non-blocking device: read and write only in the
// mode PPSETMODE set, the address register with IEEE1284_ADDR; a peripheral
// that answers answered_cycles cycles, after which the kernel stops, clears
// the timeout (status never shows it) and returns what it made, a read that
// made nothing failing with EAGAIN. On a port with an extended control
// register (ecr_epp) the kernel sets the lines to 0x04 for the cycles and
// turns the data lines around for a read, forward for a write, and leaves
// them so.
class ParportPcModel final : public Device {
public:
    ParportPcModel(bool has_interrupt, bool bidirectional, bool ecr_epp = false)
        : writable_(static_cast<std::uint8_t>(0xFF & ~(has_interrupt ? 0 : 0x10) &
                                              ~(bidirectional ? 0 : 0x20))),
          ecr_epp_(ecr_epp)
    {
        // Claiming restores the idle state and enables the interrupt.
        frob(0xFF, 0x0C);
        frob(0x10, 0x10);
    }
    int request(unsigned long request, void *argument) override
    {
        auto *byte = static_cast<std::uint8_t *>(argument);
        switch (request) {
        case PPRDATA:
            *byte = data_lines();
            break;
        case PPWDATA:
            data_ = *byte;
            break;
        case PPRSTATUS:
            *byte = status;
            break;
        case PPRCONTROL:
            *byte = control_ & 0x0F;
            break;
        case PPWCONTROL:
            if (*byte & 0x20)
                frob(0x20, 0x20);
            frob(0x0F, *byte & 0x0F);
            break;
        case PPDATADIR:
            frob(0x20, *static_cast<int *>(argument) != 0 ? 0x20 : 0);
            break;
        case PPSETMODE:
            mode = *static_cast<int *>(argument);
            requests.push_back(mode == IEEE1284_MODE_COMPAT ? "COMPAT"
                               : mode == IEEE1284_MODE_EPP  ? "EPP"
                               : mode == (IEEE1284_MODE_EPP | IEEE1284_ADDR)
                                   ? "EPP|ADDR"
                                   : "mode " + std::to_string(mode));
            return fail_all ? -1 : 0;
        default:
            errno = EINVAL;
            return -1;
        }
        requests.push_back(names.at(request));
        return fail_all ? -1 : 0;
    }
    ssize_t read(void *buffer, std::size_t size) override
    {
        requests.push_back("read " + std::to_string(size));
        if (!in_epp_mode() || failing_transfers) {
            errno = EIO;
            return -1;
        }
        if (ecr_epp_) {
            frob(0x20, 0x20);
            frob(0x0F, 0x04);
        }
        auto *bytes = static_cast<std::uint8_t *>(buffer);
        std::size_t made = 0;
        for (; made < size && answered_cycles > 0; ++made, --answered_cycles) {
            if (mode & IEEE1284_ADDR) {
                bytes[made] = address;
            } else {
                bytes[made] = peripheral_data.front();
                peripheral_data.erase(peripheral_data.begin());
            }
        }
        if (made == 0) {
            errno = EAGAIN;
            return -1;
        }
        return static_cast<ssize_t>(made);
    }
    ssize_t write(const void *buffer, std::size_t size) override
    {
        requests.push_back("write " + std::to_string(size));
        if (!in_epp_mode() || failing_transfers) {
            errno = EIO;
            return -1;
        }
        if (ecr_epp_) {
            frob(0x0F, 0x04);
            frob(0x20, 0);
        }
        const auto *bytes = static_cast<const std::uint8_t *>(buffer);
        std::size_t made = 0;
        for (; made < size && answered_cycles > 0; ++made, --answered_cycles) {
            if (mode & IEEE1284_ADDR)
                address = bytes[made];
            else
                peripheral_data.push_back(bytes[made]);
        }
        return static_cast<ssize_t>(made);
    }
    std::uint8_t hardware() const { return static_cast<std::uint8_t>(control_ | 0xC0); }
    // What a read of the data register gives: the latch, or the lines turned
    // around, which nothing drives here.
    std::uint8_t data_lines() const { return (control_ & 0x20) != 0 ? 0xFF : data_; }

    std::uint8_t status = 0xD8;
    bool fail_all = false;
    bool failing_transfers = false; // reads and writes only
    std::vector<std::string> requests;
    int mode = IEEE1284_MODE_COMPAT;
    // The peripheral: its address register, the data it gives and took.
    std::uint8_t address = 0;
    std::vector<std::uint8_t> peripheral_data;
    unsigned answered_cycles = 1000;

private:
    bool in_epp_mode() const { return (mode & ~IEEE1284_ADDR) == IEEE1284_MODE_EPP; }
    void frob(unsigned mask, unsigned value)
    {
        control_ = static_cast<std::uint8_t>(((control_ & ~mask) ^ value) & writable_);
    }
    const std::map<unsigned long, std::string> names = {
        {PPRDATA, "RDATA"},       {PPWDATA, "WDATA"},       {PPRSTATUS, "RSTATUS"},
        {PPRCONTROL, "RCONTROL"}, {PPWCONTROL, "WCONTROL"}, {PPDATADIR, "DATADIR"}};
    std::uint8_t writable_;
    bool ecr_epp_;
    std::uint8_t control_ = 0;
    std::uint8_t data_ = 0;
};

struct ControlCase {
    bool has_interrupt;
    bool bidirectional;
    std::vector<std::uint8_t> writes; // to the control register, in order
    std::uint8_t reads;               // what a read of it then gives
    std::vector<std::string> requests;
};

TEST(ParportRegisters, ControlReadsBackTheRawRegisterAfterEveryWrite)
{
    const std::vector<ControlCase> cases = {
        // As claimed: the lines idle at 0x0C (nInit, nSelectIn), forward.
        {false, true, {}, 0xCC, {"RCONTROL"}},
        {true, true, {}, 0xDC, {"RCONTROL"}},
        {false, true, {0x0D}, 0xCD, {"WCONTROL", "RCONTROL"}},
        {false, true, {0x00, 0x0F}, 0xCF, {"WCONTROL", "WCONTROL", "RCONTROL"}},
        // Bit 5 turns the data lines around through PPDATADIR, and back.
        {false, true, {0x2C}, 0xEC, {"DATADIR", "WCONTROL", "RCONTROL"}},
        {false, true, {0x2C, 0x2D}, 0xED, {"DATADIR", "WCONTROL", "WCONTROL", "RCONTROL"}},
        {false,
         true,
         {0x24, 0x04},
         0xC4,
         {"DATADIR", "WCONTROL", "DATADIR", "WCONTROL", "RCONTROL"}},
        // A port that cannot reverse keeps bit 5 clear.
        {false, false, {0x2C}, 0xCC, {"WCONTROL", "RCONTROL"}},
        // The interrupt enable is the driver's, and bits 6 and 7 are not wired.
        {false, true, {0xDF}, 0xCF, {"WCONTROL", "RCONTROL"}},
        {true, true, {0x03}, 0xD3, {"WCONTROL", "RCONTROL"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::Message()
                     << "interrupt " << c.has_interrupt << ", bidirectional " << c.bidirectional
                     << ", " << c.writes.size() << " writes, reads 0x" << std::hex << int{c.reads});
        ParportPcModel kernel(c.has_interrupt, c.bidirectional);
        Port port;
        port.irq = c.has_interrupt ? 7 : -1;
        port.modes = c.bidirectional ? "PCSPP,TRISTATE" : "PCSPP";
        Registers registers(kernel, port);
        for (const std::uint8_t value : c.writes)
            EXPECT_TRUE(registers.write(2, value));
        std::uint8_t value = 0;
        EXPECT_TRUE(registers.read(2, value));
        EXPECT_EQ(int{value}, int{c.reads});
        EXPECT_EQ(int{value}, int{kernel.hardware()});
        EXPECT_EQ(kernel.requests, c.requests);
    }
}

TEST(ParportRegisters, DataAndStatusPassThroughAndStatusIgnoresWrites)
{
    ParportPcModel kernel(false, true);
    Registers registers(kernel, Port{});
    std::uint8_t value = 0;
    EXPECT_TRUE(registers.write(0, 0xA5));
    EXPECT_TRUE(registers.read(0, value));
    EXPECT_EQ(value, 0xA5);
    EXPECT_TRUE(registers.write(1, 0xFF));
    EXPECT_TRUE(registers.read(1, value));
    EXPECT_EQ(value, 0xD8);
    EXPECT_EQ(kernel.requests, (std::vector<std::string>{"WDATA", "RDATA", "RSTATUS"}));

    // A failed request is no transfer.
    kernel.fail_all = true;
    EXPECT_FALSE(registers.read(0, value));
    EXPECT_FALSE(registers.write(2, 0x2C));
    EXPECT_FALSE(registers.read(3, value));
}

Port epp_port()
{
    Port port;
    port.base = 0x378;
    port.modes = "PCSPP,TRISTATE,COMPAT,EPP,ECP";
    return port;
}

TEST(ParportRegisters, RouteCoversTheEppRegistersOnlyOnAPortWithEpp)
{
    Port spp = epp_port();
    spp.modes = "PCSPP,TRISTATE,COMPAT,ECP";
    struct Case {
        unsigned offset, bytes;
        bool on_spp, on_epp;
    };
    const Case cases[] = {
        {0, 1, true, true},   {1, 1, true, true},   {2, 1, true, true},
        {0, 2, false, false}, {2, 4, false, false}, // never split over data, status, control
        {3, 1, false, true},  {3, 2, false, false}, // the address register is one byte
        {4, 1, false, true},  {7, 1, false, true},  {4, 2, false, true},
        {6, 2, false, true},  {4, 4, false, true},  {7, 2, false, false}, // past base + 7
        {5, 4, false, false}, {4, 3, false, false}, {8, 1, false, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(::testing::Message() << c.bytes << " bytes at base + " << c.offset);
        EXPECT_EQ(route_covers(spp.has_epp(), c.offset, c.bytes), c.on_spp);
        EXPECT_EQ(route_covers(epp_port().has_epp(), c.offset, c.bytes), c.on_epp);
    }
    EXPECT_EQ(spp.last_register(), 0x37A);
    EXPECT_EQ(epp_port().last_register(), 0x37F);
    // An EPP range past the last port is none the processor reaches.
    Port top = epp_port();
    top.base = 0xFFFC;
    EXPECT_FALSE(top.has_epp());
}

// Each EPP transfer is ppdev's read or write in EPP mode, set for it and put
// back to compatibility mode at once; the lines are learned once, before the
// first.
TEST(ParportRegisters, EppTransfersAreCyclesInEppMode)
{
    ParportPcModel kernel(false, true);
    kernel.peripheral_data = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77};
    Registers registers(kernel, epp_port());

    EXPECT_TRUE(registers.write(3, 0x12));
    EXPECT_EQ(kernel.address, 0x12);
    std::uint8_t value = 0;
    EXPECT_TRUE(registers.read(3, value));
    EXPECT_EQ(value, 0x12);
    EXPECT_TRUE(registers.read(7, value)); // any data register is a data cycle
    EXPECT_EQ(value, 0x11);
    std::array<std::uint8_t, 4> four{};
    EXPECT_TRUE(registers.read_epp_data(four));
    EXPECT_EQ(four, (std::array<std::uint8_t, 4>{0x22, 0x33, 0x44, 0x55}));
    const std::array<std::uint8_t, 2> two{0xA1, 0xA2};
    EXPECT_TRUE(registers.write_epp_data(two));
    EXPECT_TRUE(registers.write(5, 0xA3));
    EXPECT_EQ(kernel.peripheral_data, (std::vector<std::uint8_t>{0x66, 0x77, 0xA1, 0xA2, 0xA3}));
    EXPECT_EQ(kernel.mode, IEEE1284_MODE_COMPAT);
    EXPECT_EQ(
        kernel.requests,
        (std::vector<std::string>{"RCONTROL", "EPP|ADDR", "write 1", "COMPAT", "EPP|ADDR", "read 1",
                                  "COMPAT", "EPP", "read 1", "COMPAT", "EPP", "read 4", "COMPAT",
                                  "EPP", "write 2", "COMPAT", "EPP", "write 1", "COMPAT"}));
    // No wait, no timeout.
    EXPECT_TRUE(registers.read(1, value));
    EXPECT_EQ(value, 0xD8);
}

struct TimeoutCase {
    const char *what;
    bool reading;
    unsigned bytes;
    unsigned answered;
    std::vector<std::uint8_t> read; // what a read gives
};

// The kernel stops at the first cycle the peripheral does not answer and
// clears the timeout; the view reads the rest as all ones and shows the
// timeout in status until a read showed it or a write cleared it.
TEST(ParportRegisters, AShortEppTransferSetsTheTimeoutBitUntilCleared)
{
    const TimeoutCase cases[] = {
        {"32-bit read, two cycles answered", true, 4, 2, {0x11, 0x22, 0xFF, 0xFF}},
        {"byte read, none answered (EAGAIN)", true, 1, 0, {0xFF}},
        {"16-bit write, one answered", false, 2, 1, {}},
        {"byte write, none answered (0)", false, 1, 0, {}},
        {"32-bit read, all answered", true, 4, 4, {0x11, 0x22, 0x33, 0x44}},
    };
    for (const TimeoutCase &c : cases) {
        SCOPED_TRACE(c.what);
        for (const bool clear_by_write : {false, true}) {
            ParportPcModel kernel(false, true);
            kernel.peripheral_data = {0x11, 0x22, 0x33, 0x44};
            kernel.answered_cycles = c.answered;
            Registers registers(kernel, epp_port());
            std::array<std::uint8_t, 4> bytes{0xE1, 0xE2, 0xE3, 0xE4};
            const std::span<std::uint8_t> transfer(bytes.data(), c.bytes);
            EXPECT_TRUE(c.reading ? registers.read_epp_data(transfer)
                                  : registers.write_epp_data(transfer));
            EXPECT_EQ(kernel.mode, IEEE1284_MODE_COMPAT);
            if (c.reading) {
                EXPECT_EQ(std::vector<std::uint8_t>(transfer.begin(), transfer.end()), c.read);
            }
            const bool timed_out = c.answered < c.bytes;
            std::uint8_t status = 0;
            if (clear_by_write) {
                EXPECT_TRUE(registers.write(1, 0x01));
            }
            EXPECT_TRUE(registers.read(1, status));
            EXPECT_EQ(status, timed_out && !clear_by_write ? 0xD9 : 0xD8);
            EXPECT_TRUE(registers.read(1, status));
            EXPECT_EQ(status, 0xD8) << "shown once, then cleared";
        }
    }
}

// Where the kernel makes EPP cycles through the extended control register,
// it leaves its own lines and direction: the program's come back before its
// next data or control transfer, and not between EPP transfers.
TEST(ParportRegisters, TheProgramsLinesComeBackAfterTheKernelsEppCycles)
{
    ParportPcModel kernel(false, true, true);
    kernel.peripheral_data = {0x11, 0x22};
    Registers registers(kernel, epp_port());
    EXPECT_TRUE(registers.write(2, 0x00));
    EXPECT_TRUE(registers.write(0, 0x5A));
    std::uint8_t value = 0;
    EXPECT_TRUE(registers.read(4, value));
    EXPECT_TRUE(registers.read(4, value));
    EXPECT_EQ(kernel.hardware(), 0xE4) << "the kernel's lines, turned around";
    kernel.requests.clear();
    EXPECT_TRUE(registers.read(2, value));
    EXPECT_EQ(value, 0xC0);
    EXPECT_EQ(kernel.hardware(), 0xC0);
    EXPECT_TRUE(registers.read(0, value));
    EXPECT_EQ(value, 0x5A) << "the latch, driven again";
    EXPECT_EQ(kernel.requests,
              (std::vector<std::string>{"WCONTROL", "DATADIR", "RCONTROL", "RDATA"}));

    // Likewise after a write, with the direction the program chose.
    EXPECT_TRUE(registers.write(2, 0x2D));
    EXPECT_TRUE(registers.write(4, 0x99));
    EXPECT_TRUE(registers.read(2, value));
    EXPECT_EQ(value, 0xED);
    EXPECT_EQ(kernel.hardware(), 0xED);
}

TEST(ParportRegisters, APortWithoutEppHasNoEppRegisters)
{
    ParportPcModel kernel(false, true);
    Port port = epp_port();
    port.modes = "PCSPP,TRISTATE";
    Registers registers(kernel, port);
    std::uint8_t value = 0;
    std::array<std::uint8_t, 2> bytes{};
    for (unsigned offset = 3; offset <= 7; ++offset) {
        EXPECT_FALSE(registers.read(offset, value)) << offset;
        EXPECT_FALSE(registers.write(offset, 0x12)) << offset;
    }
    EXPECT_FALSE(registers.read_epp_data(bytes));
    EXPECT_FALSE(registers.write_epp_data(bytes));
    EXPECT_TRUE(kernel.requests.empty());

    // On a port with EPP, a failed read is no transfer, and the mode is put
    // back all the same.
    ParportPcModel failing(false, true);
    Registers epp(failing, epp_port());
    failing.peripheral_data = {0x11};
    EXPECT_TRUE(epp.read(4, value));
    failing.failing_transfers = true;
    EXPECT_FALSE(epp.read(4, value));
    EXPECT_EQ(failing.requests.back(), "COMPAT");
}

TEST(ParportTexts, SayWhatIsReachableAndHowToFreeABusyPort)
{
    const Reach first{0x378, "/dev/parport0"};
    const Reach second{0x278, "/dev/parport1"};
    const Reach with_epp{0x3BC, "/dev/parport2", true};
    EXPECT_EQ(reachable_text({}), "");
    EXPECT_EQ(reachable_text({first}), "parallel port 0x378\u20130x37A through /dev/parport0");
    EXPECT_EQ(reachable_text({first, second}),
              "parallel port 0x378\u20130x37A through /dev/parport0 and 0x278\u20130x27A "
              "through /dev/parport1");
    EXPECT_TRUE(partial_access_text({first}).starts_with(
        "Only the parallel port is reachable: 8-bit transfers on parallel port 0x378"));
    EXPECT_EQ(partial_access_text({first}).find("EPP"), std::string::npos);
    // A port with EPP: its range runs to base + 7, and wide transfers within
    // its data registers are reachable too.
    const std::string epp_text = partial_access_text({first, with_epp});
    EXPECT_NE(epp_text.find("0x378\u20130x37A through /dev/parport0 and 0x3BC\u20130x3C3 through "
                            "/dev/parport2"),
              std::string::npos)
        << epp_text;
    EXPECT_NE(epp_text.find("16- and 32-bit transfers within the EPP data registers "
                            "(0x3C0\u20130x3C3)"),
              std::string::npos)
        << epp_text;

    const std::vector<std::pair<std::string, std::vector<std::string>>> busy = {
        {"lp0", {"held by the kernel's printer driver lp (lp0)", "sudo modprobe -r lp\n"}},
        {"ppdev0", {"held by another program, through /dev/parport0", "fuser -v /dev/parport0"}},
        {"ppdev0.1", {"held by another program, through /dev/parport0"}},
        {"plip0", {"held by the kernel driver plip (plip0)", "sudo modprobe -r plip"}},
    };
    for (const auto &[holder, phrases] : busy) {
        SCOPED_TRACE(holder);
        const std::string text = busy_text(first, holder, 1000);
        EXPECT_TRUE(text.starts_with("The parallel port 0x378\u20130x37A (/dev/parport0) is "))
            << text;
        EXPECT_NE(text.find("within 1000 ms"), std::string::npos) << text;
        EXPECT_NE(text.find("a read returns -1"), std::string::npos) << text;
        for (const auto &phrase : phrases)
            EXPECT_NE(text.find(phrase), std::string::npos) << text;
    }
}

// Nothing may make the simulated build reach a device: it has no route, and
// it cannot be told to pretend the library's own states.
TEST(ParportRoutes, TheSimulatedBuildHasNone)
{
    qport_parport_route routes[2]{};
    EXPECT_EQ(qport_parport_routes(routes, 2), 0U);
    EXPECT_EQ(qport_parport_routes(nullptr, 0), 0U);
    EXPECT_EQ(routes[0].first_port, 0);
    for (const qport_access cause :
         {QPORT_ACCESS_PARPORT_ONLY, QPORT_ACCESS_DROPPED, static_cast<qport_access>(15)}) {
        SCOPED_TRACE(cause);
        errno = 0;
        EXPECT_EQ(qport_sim_refuse(cause), -1);
        EXPECT_EQ(errno, EINVAL);
        EXPECT_EQ(qport_access_status(), QPORT_ACCESS_GRANTED);
    }
    EXPECT_EQ(qport_sim_refuse(QPORT_ACCESS_NO_PRIVILEGE), 0);
    EXPECT_EQ(qport_access_status(), QPORT_ACCESS_NO_PRIVILEGE);
    EXPECT_EQ(qport_parport_routes(nullptr, 0), 0U);
    EXPECT_EQ(qport_sim_refuse(QPORT_ACCESS_GRANTED), 0);
}

} // namespace
