// SPDX-License-Identifier: LGPL-2.1-or-later
// The parallel port without root: what the kernel's parport driver tells
// about the machine's parallel ports, the devices a process may open for
// them, the raw register view on top of ppdev, and the texts that say what
// is reachable this way.
//
// Built into a static library of its own, which the library, qportio and
// the host tests share. Every reader takes a root directory ("" for the
// running system) under which it finds /proc, /sys and /dev, so that tests
// run on fixture trees.
#ifndef QPORT_PARPORT_H
#define QPORT_PARPORT_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <sys/types.h>

#include "qport_access_decision.h"

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
    // Whether the kernel drives the port's EPP registers: the address at
    // base + 3 and the data at base + 4 to base + 7.
    bool has_epp() const;
    // The last register the route reaches: control, or the last EPP data
    // register.
    std::uint16_t last_register() const;
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

// Opens a port's device for the route: an open descriptor (read-write,
// close-on-exec, non-blocking), or -1. A plain function: a std::function's
// type information would be exported from the library.
using DeviceOpener = int (*)(const std::string &path);

// The real opener: only one of ppdev's character devices is opened. Anything
// else at that path (a file, a FIFO, another device, whose open could have
// effects of its own) is never opened, and the descriptor is checked again in
// case the path changed in between.
int open_ppdev(const std::string &path);

// A port whose device was opened.
struct OpenedPort {
    Port port;
    std::string device; // "/dev/parport0"
    int fd = -1;
};

// The ports under root (see find_ports) whose device open opens, by number.
std::vector<OpenedPort> open_reachable_ports(const std::string &root, DeviceOpener open);

// Whether the route makes a transfer of bytes (1, 2 or 4) at offset from a
// port's base: a byte on data, status or control; on a port with EPP
// (Port::has_epp, which a transfer takes as its route keeps it rather than
// read the modes again) also a byte on the address register, and 1, 2 or 4
// bytes within the data registers (base + 4 to base + 7), each byte one data
// cycle, as the hardware makes a wide transfer there. Other wide transfers
// are never split.
bool route_covers(bool has_epp, unsigned offset, unsigned bytes);

// The access of a thread once the route is counted: after every refusal by
// the kernel, whatever its reason, QPORT_ACCESS_PARPORT_ONLY when this
// process opened a port's device, keeping the errno and the reason; anything
// else (granted, given up, no port) as it is.
Access with_route(const Access &direct, bool port_opened);

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
    // read(2) and write(2) on it, in the mode PPSETMODE chose. The device is
    // non-blocking, so an EPP transfer the peripheral stops answering returns
    // at once: with a short count, or with nothing (0, or -1 and EAGAIN).
    virtual ssize_t read(void *buffer, std::size_t size) = 0;
    virtual ssize_t write(const void *buffer, std::size_t size) = 0;
};

// The registers of a claimed port as a direct inb or outb would see them.
//
// Data, status and control: ppdev reads status and data from the hardware
// but hands out only the four control lines (bits 0..3, from the driver's
// copy, not inverted); the driver keeps the interrupt enable (bit 4) to
// itself, sets the direction (bit 5) only through PPDATADIR, and bits 6 and 7
// are not wired on a PC's port, where they read as ones.
//
// EPP, on a port that has it: each transfer on the address register is one
// address cycle, each byte of a transfer on the data registers one data
// cycle, read or written in ppdev's EPP mode, which is set for the transfer
// and put back to compatibility mode at once, since the kernel ends EPP
// with a reset pulse on nInit should the device be closed in it. The kernel
// stops at a cycle the peripheral does not answer and clears the EPP timeout
// (bit 0 of status) itself; the view then reads the cycles not made as all
// ones and sets the timeout bit in its status, which the next status read
// shows and clears, as National Semiconductor's chips do, and which a write
// to status clears, as the chips do that are cleared by writing it. On ports
// with an extended control register the kernel turns the data lines around
// and sets the control lines for the cycles; the view puts back the
// program's before the next data or control transfer.
class Registers {
public:
    Registers(Device &device, const Port &port);
    // offset: 0 data, 1 status, 2 control, 3 EPP address, 4..7 EPP data.
    // False when the port has no such register or a request failed.
    bool read(unsigned offset, std::uint8_t &value);
    // A write to status has no effect on the port but clearing the EPP
    // timeout, as on the hardware.
    bool write(unsigned offset, std::uint8_t value);
    // One EPP data cycle per byte, the first byte the lowest, as a 16- or
    // 32-bit transfer at the first data register makes them.
    bool read_epp_data(std::span<std::uint8_t> bytes);
    bool write_epp_data(std::span<const std::uint8_t> bytes);

private:
    bool epp_read(bool address, std::span<std::uint8_t> bytes);
    bool epp_write(bool address, std::span<const std::uint8_t> bytes);
    // Runs transfer, one read or write of size bytes, in EPP mode: how many
    // it made, or nullopt when a request failed.
    std::optional<std::size_t> in_epp_mode(bool address, std::size_t size,
                                           const std::function<ssize_t()> &transfer);
    // Puts the program's control lines and direction back after EPP cycles.
    bool settle_lines();

    Device &device_;
    bool interrupt_enabled_;
    bool bidirectional_;
    bool has_epp_;
    bool reverse_ = false;
    // The control lines as the program set them, once known.
    std::optional<std::uint8_t> lines_;
    // EPP cycles ran since the last data or control transfer, which may have
    // left the kernel's lines and direction in place of the program's.
    bool lines_unsettled_ = false;
    // Status reads and writes may come from several threads without a lock.
    std::atomic<bool> epp_timed_out_{false};
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
    bool epp = false;   // its EPP registers too
};

// "parallel port 0x378–0x37A through /dev/parport0", or 0x378–0x37F for a
// port with EPP (several joined by "and"); "" when none.
std::string reachable_text(const std::vector<Reach> &reach);
// What the access message says first when only the parallel port is
// reachable.
std::string partial_access_text(const std::vector<Reach> &reach);
// Why a transfer on a reachable port was refused while holder held it, and
// how to free the port.
std::string busy_text(const Reach &reach, const std::string &holder, unsigned waited_ms);

} // namespace qport::parport

#endif
