// SPDX-License-Identifier: LGPL-2.1-or-later
// qportio ports on fixture trees: what it lists for the kernel's parport
// entries, device nodes and PCI cards.
#include <filesystem>
#include <fstream>

#include <unistd.h>

#include <gtest/gtest.h>

#include "parallel_ports.h"

namespace {

namespace fs = std::filesystem;

class ParallelPortListing : public ::testing::Test {
protected:
    void SetUp() override
    {
        root_ = fs::temp_directory_path() / ("qportio-ports-" + std::to_string(::getpid()));
        fs::remove_all(root_);
    }
    void TearDown() override { fs::remove_all(root_); }
    void put(const std::string &path, const std::string &text)
    {
        fs::create_directories((root_ / path).parent_path());
        std::ofstream(root_ / path) << text;
    }
    std::string root() const { return root_.string(); }

private:
    fs::path root_;
};

TEST_F(ParallelPortListing, NamesEachPortAndCardWithWhatAUserNeeds)
{
    const std::string port0 = "proc/sys/dev/parport/parport0/";
    put(port0 + "base-addr", "888\t1912\n");
    put(port0 + "irq", "7\n");
    put(port0 + "dma", "-1\n");
    put(port0 + "modes", "PCSPP,TRISTATE,COMPAT,EPP,ECP\n");
    put(port0 + "devices/active", "lp0\n");
    put("dev/parport0", "");
    const std::string port1 = "proc/sys/dev/parport/parport1/";
    put(port1 + "base-addr", "57344\t0\n");
    put(port1 + "irq", "-1\n");
    put(port1 + "devices/active", "none\n");
    const std::string card = "sys/bus/pci/devices/0000:05:00.0/";
    put(card + "class", "0x070101\n");
    put(card + "vendor", "0x1415\n");
    put(card + "device", "0xc118\n");
    put(card + "resource", "0x000000000000e000 0x000000000000e007 0x0000000000040101\n"
                           "0x000000000000e010 0x000000000000e017 0x0000000000040101\n");

    EXPECT_EQ(qportio::describe_parallel_ports(root()),
              "Parallel ports (the kernel's parport driver):\n"
              "  parport0: ports 0x378-0x37A, EPP 0x37B-0x37F, ECP 0x778-0x77A, irq 7, dma "
              "none, modes PCSPP,TRISTATE,COMPAT,EPP,ECP\n"
              "    held by lp0; this user may open " +
                  root() +
                  "/dev/parport0\n"
                  "  parport1: ports 0xE000-0xE002, irq none, dma none, modes unknown\n"
                  "    held by no driver; no " +
                  root() +
                  "/dev/parport1: load ppdev ('sudo modprobe ppdev')\n"
                  "PCI parallel-port cards (class 0x0701):\n"
                  "  0000:05:00.0 [1415:c118] class 0x070101, no driver bound: I/O "
                  "0xE000-0xE007, 0xE010-0xE017\n");
}

TEST_F(ParallelPortListing, SaysWhatToLoadWhenThereIsNothing)
{
    EXPECT_EQ(qportio::describe_parallel_ports(root()),
              "Parallel ports (the kernel's parport driver):\n"
              "  none: the parport driver knows no port (load it with 'sudo modprobe "
              "parport_pc ppdev')\n"
              "PCI parallel-port cards (class 0x0701):\n"
              "  none\n");
}

} // namespace
