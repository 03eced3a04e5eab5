// SPDX-License-Identifier: LGPL-2.1-or-later
// The parallel port without root, on the host: what the kernel's entries say
// (read from fixture trees), the raw register view over a model of the
// kernel's parport_pc driver, and what the user is told.
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <map>

#include <linux/ppdev.h>
#include <sys/ioctl.h>

#include <gtest/gtest.h>

#include "parport.h"
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
class ParportPcModel final : public Device {
public:
    ParportPcModel(bool has_interrupt, bool bidirectional)
        : writable_(static_cast<std::uint8_t>(0xFF & ~(has_interrupt ? 0 : 0x10) &
                                              ~(bidirectional ? 0 : 0x20)))
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
            *byte = data_;
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
        default:
            errno = EINVAL;
            return -1;
        }
        requests.push_back(names.at(request));
        return fail_all ? -1 : 0;
    }
    std::uint8_t hardware() const { return static_cast<std::uint8_t>(control_ | 0xC0); }

    std::uint8_t status = 0xD8;
    bool fail_all = false;
    std::vector<std::string> requests;

private:
    void frob(unsigned mask, unsigned value)
    {
        control_ = static_cast<std::uint8_t>(((control_ & ~mask) ^ value) & writable_);
    }
    const std::map<unsigned long, std::string> names = {
        {PPRDATA, "RDATA"},       {PPWDATA, "WDATA"},       {PPRSTATUS, "RSTATUS"},
        {PPRCONTROL, "RCONTROL"}, {PPWCONTROL, "WCONTROL"}, {PPDATADIR, "DATADIR"}};
    std::uint8_t writable_;
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

TEST(ParportTexts, SayWhatIsReachableAndHowToFreeABusyPort)
{
    const Reach first{0x378, "/dev/parport0"};
    const Reach second{0x278, "/dev/parport1"};
    EXPECT_EQ(reachable_text({}), "");
    EXPECT_EQ(reachable_text({first}), "parallel port 0x378\u20130x37A through /dev/parport0");
    EXPECT_EQ(reachable_text({first, second}),
              "parallel port 0x378\u20130x37A through /dev/parport0 and 0x278\u20130x27A "
              "through /dev/parport1");
    EXPECT_TRUE(partial_access_text({first}).starts_with(
        "Only the parallel port is reachable: 8-bit transfers on parallel port 0x378"));

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
