// SPDX-License-Identifier: LGPL-2.1-or-later
// The parallel port without root: what the kernel's parport driver tells
// about the machine's parallel ports, the raw register view on top of its
// ppdev requests, and the texts that say what is reachable this way.
//
// Built into a static library of its own, which the library, qportio and
// the host tests share. Every reader takes a root directory ("" for the
// running system) under which it finds /proc, /sys and /dev, so that tests
// run on fixture trees.
#ifndef QPORT_PARPORT_H
#define QPORT_PARPORT_H

#include <cstdint>
#include <string>
#include <vector>

namespace qport::parport {

// One port as /proc/sys/dev/parport/parportN describes it.
struct Port {
    unsigned number = 0;        // N of parportN and /dev/parportN
    std::uint16_t base = 0;     // the data register; status and control follow
    std::uint16_t ecp_base = 0; // the ECP registers, 0 when there are none
    int irq = -1;               // -1: the port works without an interrupt
    int dma = -1;
    std::string modes;  // "PCSPP,TRISTATE,COMPAT,EPP,ECP"
    std::string holder; // the kernel device holding the port ("lp0"), "" for none

    // Whether the data lines can be turned around (bit 5 of control).
    bool bidirectional() const;
};

// The ports the parport driver knows, by number; empty when it is not
// loaded.
std::vector<Port> find_ports(const std::string &root);
// The device holding port number now, read afresh; "" when none does.
std::string holder_of(const std::string &root, unsigned number);
// Where ppdev puts the port's device node.
std::string device_path(const std::string &root, unsigned number);

struct IoRange {
    std::uint32_t first = 0;
    std::uint32_t last = 0;
};

// A PCI or PCIe card of class 0x0701 (parallel port), whether or not a
// driver has bound it.
struct PciCard {
    std::string slot; // "0000:05:00.0"
    std::uint16_t vendor = 0;
    std::uint16_t device = 0;
    std::uint32_t class_code = 0;   // 0x070102: class, subclass, interface
    std::string driver;             // "parport_pc", "parport_serial"; "" when unbound
    std::vector<IoRange> io_ranges; // its I/O port windows, in BAR order
};

std::vector<PciCard> find_pci_cards(const std::string &root);

// ppdev's requests, as the register view needs them; a test puts a model of
// the kernel's driver behind it.
class Device {
public:
    Device() = default;
    Device(const Device &) = delete;
    Device &operator=(const Device &) = delete;
    virtual ~Device() = default;
    // ioctl(2) on the port's device: 0, or -1 with errno set.
    virtual int request(unsigned long request, void *argument) = 0;
};

// The data, status and control registers of a claimed port as a direct inb
// or outb would see them. ppdev reads status and data from the hardware but
// hands out only the four control lines (bits 0..3, from the driver's copy,
// not inverted); the driver keeps the interrupt enable (bit 4) to itself, sets
// the direction (bit 5) only through PPDATADIR, and bits 6 and 7 are not
// wired on a PC's port, where they read as ones.
class Registers {
public:
    Registers(Device &device, const Port &port);
    // offset: 0 data, 1 status, 2 control. False when the request failed.
    bool read(unsigned offset, std::uint8_t &value);
    // A write to status has no effect on the port, as on the hardware.
    bool write(unsigned offset, std::uint8_t value);

private:
    Device &device_;
    bool interrupt_enabled_;
    bool bidirectional_;
    bool reverse_ = false;
};

// Bits of the control register as ppdev's owner knows them.
constexpr std::uint8_t control_lines = 0x0F;
constexpr std::uint8_t control_interrupt = 0x10;
constexpr std::uint8_t control_reverse = 0x20;
constexpr std::uint8_t control_unwired = 0xC0;

// A port the calling process reaches through its device.
struct Reach {
    std::uint16_t base = 0;
    std::string device; // "/dev/parport0"
};

// "parallel port 0x378–0x37A through /dev/parport0" (several joined by
// "and"); "" when none.
std::string reachable_text(const std::vector<Reach> &reach);
// What the access message says first when only the parallel port is
// reachable.
std::string partial_access_text(const std::vector<Reach> &reach);
// Why a transfer on a reachable port was refused while holder held it, and
// how to free the port.
std::string busy_text(const Reach &reach, const std::string &holder, unsigned waited_ms);

} // namespace qport::parport

#endif
