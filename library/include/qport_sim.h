/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Control of the simulated PC. Only the simulated build of libqport.so.1
 * exports these; a program that uses them is a test or a tool made for that
 * build.
 *
 * The machine: a set of devices, each decoding a range of ports; every port
 * no device decodes is unbacked: it reads 0xFF and writes vanish. Which
 * devices there are is the machine's profile (QPORT_SIM_PROFILE or
 * qport_sim_set_profile):
 *   pc    the default: the devices below that real tools look for.
 *   bare  the parallel port at 0x378 alone.
 * A transfer reaches the devices one byte at a time, lowest port first,
 * lowest byte on the given port (little-endian), and counts as one transfer
 * of its width. Each port is updated on its own: a thread reading while
 * another makes a wide write may see some of its bytes new and the rest old,
 * but never a byte half written. qport_sim_list_devices() names the devices
 * and their ports; qport_sim_device_properties() shows each one's state.
 *
 * lpt1, the parallel port at 0x378 (both profiles; on pc, superio below
 * may move or disable it):
 *   0x378  data latch: reads back the last byte written. Reset 0x00.
 *   0x379  status register, read-only: writes are ignored. What it reads
 *          comes from the peripheral on the port (below); with none, 0x7F
 *          (BUSY asserted, every other line high).
 *   0x37A  control register: bits 0..4 hold what was written, bits 5..7 are
 *          unused and read as ones. Reset 0xEC (nInit high, SELECT IN set).
 *
 * post, the POST code port at 0x80 (pc): takes writes, which it keeps as
 * the last code (property "code"), and reads 0xFF.
 *
 * kbc, the keyboard controller at 0x60 (data) and 0x64 (status, commands)
 * (pc; the Super I/O's LDN 5, which moves or disables it): an i8042 with a
 * keyboard, as firmware leaves it. Commands 0x20/0x60 (command byte, 0x45),
 * 0xAA (answers 0x55), 0xAB (0x00), 0xAD/0xAE, 0xD0/0xD1 (output port,
 * 0xCF), 0xD2, 0xF0-0xFF (pulse; bit 0 low resets the PC); others ignored.
 * Keyboard: 0xED and 0xF3 take a data byte (LEDs; typematic rate and
 * delay), each byte answered 0xFA; 0xEE answers 0xEE, 0xF2 0xFA 0xAB 0x41,
 * 0xF4/0xF5/0xF6 0xFA, 0xFF 0xFA 0xAA; others 0xFE. Input buffer never
 * full; up to four answers wait in the output buffer. Properties:
 * "command-byte", "output-port", "output-buffer", "keyboard", "leds",
 * "typematic-rate", "typematic-delay". None may be set.
 *
 * The PC's reset: 0xFE to 0x64, output port bit 0 cleared through 0xD1, or
 * 0xCF9 bit 2 rising put the PC's own devices back to power-on (RTC
 * registers but not its time or memory, Super I/O, PCI, keyboard
 * controller, parallel port registers, hardware monitor registers, POST
 * code, the EC's host interface); peripherals, sensor readings, the EC's
 * memory and events, and presets of unbacked ports are kept. One line goes
 * to standard error and the program goes on; qport_sim_reset_count() and
 * qport_sim_last_reset_cause() count them.
 *
 * hwmon, the W83627HF's hardware monitor at 0x290 (pc; the Super I/O's LDN
 * 0x0B): index at base+5, data at base+6. Readings in0-in6 0x20-0x26 (16
 * mV steps), temp1 0x27, fan counts 0x28-0x2A, limits 0x2B-0x3D as
 * written, configuration 0x40, alarms 0x41/0x42, fan divisors 0x47/0x4B,
 * bank select 0x4E, vendor ID 0x4F (0x5CA3 by bit 7 of 0x4E), chip ID 0x58
 * = 0x21 in bank 0, temp2/temp3 at 0x50/0x51 of banks 1/2. Settable
 * properties, in real units: "temp1".."temp3" (-55 to 125 degrees C, steps
 * of 0.5), "fan1".."fan3" (0 to 20000 rpm), "in0".."in8" (0 to 4.080 V);
 * a value out of range is refused (EINVAL) with one line naming the range.
 *
 * ec, an ACPI embedded controller at 0x62 (data) and 0x66 (status,
 * commands) (pc): status OBF, IBF (never), CMD, BURST, SCI_EVT; commands
 * 0x80 read, 0x81 write, 0x82 burst enable (answers 0x90), 0x83 burst
 * disable, 0x84 query (the oldest queued event, 0 when none); others
 * ignored. Settable properties: "memory-0xNN" (a byte of its 256), "event"
 * (1 to 0xFF, queued; seven at most).
 *
 * rtc, the real-time clock and CMOS memory at 0x70..0x73 (pc), an MC146818A:
 *   0x70  index of the register 0x71 reads and writes, write-only (reads
 *         0xFF); bit 7, the chipset's NMI mask, is no part of the index.
 *   0x71  the register the index chooses:
 *           0x00 seconds  0x02 minutes  0x04 hours  0x06 weekday (1 = Sunday)
 *           0x07 day  0x08 month  0x09 year  0x32 century (with the year)
 *           0x01, 0x03, 0x05 the alarm's seconds, minutes, hours: a byte
 *             with bits 7 and 6 set matches any value
 *           0x0A A: bit 7 UIP (read-only), bits 4..6 the divider (010
 *             counts; reset 0x26), bits 0..3 the periodic rate
 *           0x0B B: bit 7 SET, 6 PIE, 5 AIE, 4 UIE, 3 SQWE, 2 binary (else
 *             BCD), 1 24-hour (else 12-hour, bit 7 of the hours for PM),
 *             0 DSE (kept, not acted on); reset 0x02
 *           0x0C C, read-only: bit 7 IRQF, 6 PF, 5 AF, 4 UF; reading it
 *             clears them
 *           0x0D D, read-only: 0x80 (valid RAM and time)
 *           0x0E..0x7F battery-backed memory (but 0x32)
 *   0x72, 0x73  index (bit 7 dropped) and data of 128 more bytes of memory.
 * The clock is the host's (CLOCK_REALTIME, UTC) plus an offset kept in the
 * machine: writing a time register while the clock counts moves it by what
 * that register changes. SET (B bit 7), or a divider other than 010, holds
 * the time registers: they read as they were and take what is written, and
 * the clock counts from them once both let it go, with its first update
 * half a second after the divider is let go (so hwclock --set is exact).
 * UIP reads 1 for the 2228 us before each second (244 us of warning and the
 * update cycle), and falls as the registers show the new second. C's flags:
 * UF at each update, AF at an update the alarm matches, PF once a period of
 * A's rate (RS 3..15: 2^(RS-1) / 32768 s; 1 and 2 as 8 and 9), IRQF when one
 * of them is enabled in B; no interrupt is raised. qport_sim_reset keeps
 * the time, the memory and registers A and B (but B's enables, PIE, AIE,
 * UIE and SQWE, which it clears) as the battery does, and clears C; a
 * machine built anew starts at the host's time, BCD, 24-hour. Properties:
 * "time" (what the clock shows, "2026-12-09T13:34:36"), "offset" (its
 * seconds ahead of the host's, "-3600", "0.5"), "clock" ("running", "held
 * by SET", "divider stopped"), "mode" ("bcd 24h", "binary 12h"...),
 * "index", "upper-index", "a", "b", "c", "d" (hex; showing C clears
 * nothing). "offset" ([-]SECONDS[.FRACTION]) and "time"
 * (YYYY-MM-DDTHH:MM:SS, UTC) may be set; either puts a held clock's
 * registers at that time too.
 *
 * superio, a Winbond W83627HF Super I/O chip at 0x2E-0x2F (pc):
 *   0x2E   write-only (reads 0xFF). Closed, it takes the entry key: two
 *          consecutive writes of 0x87 (any other byte written to 0x2E in
 *          between starts the key again; reads and writes to 0x2F do not
 *          count). Open, it takes the index of a register, or 0xAA, which
 *          closes it. Other vendors' keys (0x88, 0x89, 0x86 0x86, 0x55,
 *          0x87 0x01 0x55 0x55, ...) leave it closed.
 *   0x2F   closed: reads 0xFF, ignores writes. Open: the indexed register.
 *          Registers 0x00-0x2F are global: 0x20 the ID (0x52), 0x21 the
 *          revision (0x17), 0x07 selects the logical device (LDN) whose
 *          registers 0x30-0xFF are reached, and 0x22-0x2F hold the chip's
 *          values at reset (0x22 0xFF, 0x2A 0x7C, 0x2B 0xC0, the rest 0).
 *          Per LDN: 0x30 bit 0 enables it, 0x60/0x61 its base (high, low),
 *          0x70 its IRQ, 0x74 its DMA channel (4: none), 0xF0.. its modes.
 *          LDNs: 0 floppy, 1 parallel port, 2 and 3 serial ports, 5
 *          keyboard, 6 consumer IR, 7 game/MIDI/GPIO 1, 8 GPIO 2, 9 GPIO 3,
 *          0x0A ACPI, 0x0B hardware monitor. A register the chip lacks, or
 *          any register of an LDN it lacks, reads 0xFF and ignores writes.
 *        At reset (and at qport_sim_reset) it is closed with LDN 0 selected
 *        and every register at the chip's power-on value, except that the
 *        floppy and serial LDNs are disabled (this machine has no such
 *        devices behind them) and the hardware monitor is enabled at 0x290,
 *        as firmware leaves it.
 *   LDN 5 decodes kbc (its second base, 0x62/0x63, the command port) and
 *   LDN 0x0B decodes hwmon, as LDN 1 decodes lpt1.
 *   The parallel port LDN (1) decodes lpt1: enabled at 0x378, IRQ 7 at
 *   reset; its base (on a 4-byte boundary, up to 0xFFC) moves lpt1, and
 *   clearing its enable bit (or a base of 0) disables lpt1, whose ports
 *   then read as unbacked; lpt1 keeps its registers and peripheral while
 *   it moves. Properties: "chip", "id", "revision", "configuration"
 *   (open/closed), "selected-ldn", and "ldn0".."ldnb", a summary of each
 *   LDN ("parallel port, enabled, base 0x378, irq 7"). None may be set.
 *
 * pci, PCI configuration mechanism #1 at 0xCF8-0xCFF (pc), with bus 0:
 *   00:00.0  8086:1237 i440FX host bridge, rev 02, class 0x060000
 *   00:01.0  8086:7000 PIIX3 ISA bridge, class 0x060100 (function 0 alone)
 *   00:03.0  9710:9865 MosChip MCS9865 parallel port, class 0x070103
 *            (IEEE 1284), subsystem a000:2000, IRQ 11 on pin A
 *   0xCF8  the address register, taken only by a 32-bit write and read
 *          only by a 32-bit read that begin at 0xCF8 (enable bit 31, bus in
 *          bits 23:16, device 15:11, function 10:8, register 7:2); reset 0.
 *          Byte and word transfers at 0xCF8-0xCFB reach no register: they
 *          read 0xFF, except 0xCF9, the PIIX3's reset control register:
 *          it keeps bits 1 (hard) and 2 (RCPU), the others read 0, and a
 *          write taking bit 2 from 0 to 1 resets the PC (below).
 *   0xCFC-0xCFF  the byte at register (address & 0xFC) + (port - 0xCFC) of
 *          the function addressed, at any width; all ones with bit 31 clear,
 *          on another bus, or for a function not listed. Writes change only
 *          a register's writable bits: IDs, class, revision, header type,
 *          status, interrupt pin and capabilities are read-only; the
 *          card's command register takes bits 0-2, 6 and 8, its latency
 *          timer and interrupt line any value. A BAR written with all ones
 *          reads back its size: 0xFFFFFFF9 for the card's I/O BARs 0 and 1
 *          (8 ports each), 0xFFFFF000 for its memory BARs 2 and 4 (4K).
 *          Registers beyond the header and the capability read 0.
 *   A 32-bit write of the address is four byte writes, each kept as it
 *   comes: two processes writing it at once may leave bytes of each, as two
 *   processors sharing mechanism #1 without a lock would.
 *   Properties: "address" (latched), one per function ("00:03.0" = its IDs
 *   and name), and the card's "command", "bar0", "bar1", "interrupt-line".
 *
 * lpt2, a parallel port like lpt1 (pc), on the PCI card: its registers are
 * at the card's BAR 0, 0xD010 at reset. Writing BAR 0 moves it; it answers
 * nowhere while the card's command register has I/O space (bit 0) off, its
 * power state (register 0x4C) is not D0, or BAR 0 is beyond 0xFFFF (as
 * while it is sized). Ports of another device stay that device's. The
 * other five ports of BAR 0 (EPP) and BAR 1 (the ECP registers, 0xD000)
 * are not modelled and read 0xFF; nor is the memory behind BARs 2 and 4.
 *
 * Peripherals on the parallel port (QPORT_SIM_DEVICE or
 * qport_sim_set_device; property "peripheral" of lpt1):
 *   none      the model above.
 *   loopback  the common 25-pin loopback plug, wired pin to pin:
 *               1 nStrobe -> 13 Select      2 D0 -> 15 nError
 *               16 nInit -> 10 nAck         17 nSelectIn -> 11 Busy
 *               14 nAutoFeed -> 12 PaperOut
 *             so status bit 4 = !control bit 0, bit 3 = data bit 0,
 *             bit 6 = control bit 2, bit 7 = control bit 3,
 *             bit 5 = !control bit 1; bits 0..2 read as ones (0xF7 at reset).
 *   printer   a printer on line with paper, taking bytes by the
 *             compatibility-mode handshake: while it is ready the status
 *             reads 0xDF (BUSY low, nAck high). Setting control bit 0
 *             (nStrobe low) latches the data register and makes it busy
 *             (0x5F); clearing the bit again prints the byte: it is
 *             appended to the printer's output file, and the next status
 *             read shows nAck low (0x1F), after which it is ready again.
 *             A strobe while busy is lost, as on a real printer; clearing
 *             control bit 2 (nInit low) resets it. Properties:
 *             "printed-bytes", and "paper", the last 2048 bytes printed.
 *   switches  a switch on each status line: the status register reads
 *             bits 3..7 of the property "switches" (0x78 at reset, every
 *             line high), which anyone may set.
 *   lcd       an HD44780 character display with one controller, 20x4
 *             unless "size" says otherwise (16x2, 40x2, 16x4, 8x1, ...:
 *             1, 2 or 4 rows, up to 40 columns and 80 cells), wired as
 *             LCDproc's hd44780 driver wires it ("wiring"):
 *               4bit    D0..D3 -> DB4..DB7, D4 -> RS, D5 -> RW, D6 -> E;
 *                       D7 (a second controller's E) goes nowhere, and
 *                       DB0..DB3 are open, held high by the chip.
 *               winamp  D0..D7 -> DB0..DB7, nStrobe (pin 1) -> E,
 *                       nAutoFeed (14) -> RW, nInit (16) -> RS: E is high
 *                       while control bit 0 is clear, RW while bit 1 is
 *                       clear, RS while bit 2 is set.
 *             The chip takes a cycle as E falls, with RS, RW and the data
 *             as they were while E was high: the HD44780's instructions,
 *             writes and reads of DDRAM and CGRAM, and reads of the busy
 *             flag (never set: every instruction is done at once) with
 *             the address counter. In 4-bit mode it pairs nibbles in the
 *             order they come, a lone one with the next. Line 2 of DDRAM
 *             is at 0x40; rows 3 and 4 continue rows 1 and 2 (0x14 and
 *             0x54 on a 20x4); a 16x1 is two lines of 8 side by side. It
 *             powers up, and comes back from a machine reset, in 8-bit
 *             mode with one line and the display off. The PC never sees
 *             what the chip drives on a read (the data lines are outputs)
 *             and no status line is wired: they read 0x7F. Properties:
 *             "line1".."line4" (what each row shows, UTF-8, blank while
 *             the display is off; the ROM's characters as they look, 0x5C
 *             as a yen sign; CGRAM characters as circled digits 0..7),
 *             "cursor" ("2,5 underline blinking", "off-screen hidden"),
 *             "display" (on/off), "mode" (4-bit/8-bit), "controller-lines"
 *             (1/2), "address-counter" ("ddram 0x05"), "last-read" (the
 *             byte the chip last put out, or "none"); "size" and "wiring"
 *             may be set.
 *   jtag      a JTAG target through a Xilinx DLC5 (Parallel Cable III)
 *             cable: D0 TDI, D1 TCK, D2 TMS, D4 the cable's power (nothing
 *             is clocked while it is low, and TDO reads 0), TDO on status
 *             bit 4 (pin 13); D6 is looped back to Busy and PaperOut (bit 7
 *             reads 1 and bit 5 reads 0 while D6 is low, the reverse while
 *             it is high), nAck and nError read 1. Behind it, one test access
 *             port as an XC3S200 has it: the 16-state controller clocked
 *             on TCK's rising edge, a 6-bit instruction register capturing
 *             0x11, IDCODE (001001, 32 bits, selected at Test-Logic-Reset),
 *             SAMPLE/PRELOAD (000001) and EXTEST (000000) on a 599-bit
 *             boundary-scan register that captures zeros, and BYPASS for
 *             111111 and every other opcode. Outside Shift-IR and Shift-DR
 *             TDO floats and reads 1; TDO changes on TCK's falling edge.
 *             "cable=wiggler" wires the same part as openocd's Wiggler: TMS
 *             D1, TCK D2, TDI D3, nTRST D4, D7 its power, TDO on Busy. The
 *             part takes a configuration: JPROGRAM (001011) clears it,
 *             CFG_IN (000101) takes the bitstream, JSTART (001100) clocked
 *             in Run-Test/Idle raises DONE (bit 5 of the instruction
 *             capture, which reads 0x31 then) if CFG_IN received the sync
 *             word 0xAA995566 and 1,047,616 bits or more; the packets are
 *             not executed. Properties: "cable" (settable: dlc5, wiggler),
 *             "tap-state", "instruction", "idcode" (0x01414093; settable,
 *             odd), "ir-length", "done", "configuration-bits" and
 *             "configuration-checksum" (FNV-1a of the bytes received).
 *   spi-flash a 25-series SPI NOR flash as flashrom's rayer_spi drives it.
 *             "chip": w25q80 (1 MiB, JEDEC ID EF 40 14; the default),
 *             w25x10 (128 KiB, EF 30 11) or w25q128 (16 MiB, EF 40 18).
 *             "wiring" (CS, SCK, MOSI on data bits; MISO on a status line):
 *               rayer          D5, D6, D7; nAck (the default)
 *               xilinx         D2, D1, D0; Select; D4 powers the cable
 *                              (MISO reads 0 while it is low)
 *               byteblastermv  D1, D0, D6; Busy; on while control bit 1 is set
 *               stk200         D7, D4, D5; nAck; on while D2 and D3 are low
 *               wiggler        D1, D2, D3; Busy
 *               spi_tt         D2, D0, D4; Busy
 *             (Busy reads inverted, as the port inverts it.) SPI mode 0,
 *             MSB first. Commands: 0x9F, 0x90, 0xAB (and 0xB9) to identify
 *             and power down; 0x03 and 0x0B to read; 0x06 and 0x04; status
 *             0x05 and 0x01 (on the W25Q128 also 0x35, 0x15, 0x31, 0x11);
 *             page program 0x02 (wrapping within its 256-byte page, only
 *             clearing bits); erase 0x20, 0xD8, 0xC7, and on the W25Q
 *             chips 0x52 and 0x60 (to 0xFF); SFDP 0x5A on the W25Q chips.
 *             A command that changes the chip takes effect as CS rises
 *             after a whole number of bytes and needs WEL, which it clears;
 *             block-protect bits (BP0..BP2, TB) keep programs and erases
 *             out of their range. After a program, erase or status write,
 *             WIP reads 1 for "busy-reads" status reads (3), and only
 *             status reads are heard meanwhile. Unknown commands are
 *             ignored, MISO reading 1. The contents are the device memory
 *             "lpt1-CHIP" (see device memories below). Properties: "chip",
 *             "wiring", "busy-reads" (settable), "jedec-id", "size",
 *             "memory", "status" (and "status2", "status3"), "protected",
 *             "selected", "last-command", "programmed-pages", "erases".
 * A peripheral's settings follow its name: "name:key=value,key=value".
 * A preset of 0x379 overrides the peripheral until the next reset.
 *
 * Record and trace: once the program has called any function here, each
 * transfer that reaches the port space is recorded in memory (the newest
 * QPORT_SIM_RECORDS); a program that never does pays nothing for it. A
 * shared machine records from its creation on, until
 * qport_sim_record_transfers() says otherwise: calling a function here does
 * not change that. When a trace destination is set, each transfer is also
 * written there as one line:
 *     <seconds>.<nanoseconds> <in|out> <8|16|32> 0x<port> 0x<value>
 * with CLOCK_MONOTONIC time, the port as 4 hex digits and the value as 2, 4
 * or 8 hex digits, e.g. "812.004211930 out 32 0x0378 0x00ffffff".
 * The trace never harms the program: it is never put on descriptors 0..2,
 * is close-on-exec, a FIFO with no reader is skipped, a reader that goes
 * away stops it (no SIGPIPE), and the first failed write stops it; each of
 * these says so in one line on standard error and the program goes on.
 *
 * Transfers take no lock: they may be made from signal handlers, from a
 * child forked while other threads transfer, and from any number of threads
 * without one waiting for another. The functions below are for set-up and
 * inspection and are not async-signal-safe, except qport_sim_peek.
 *
 * Shared machine: with QPORT_SIM_MACHINE=PATH (or qport_sim_use_machine),
 * the port space, the device, the printer's output and the record live in
 * the file PATH, which every process naming it maps and acts on. A missing
 * file is created with mode 0600, ports at reset, recording on. A machine is
 * used only by its owner: a symbolic link, a FIFO or device, a file of
 * another user (root included) or one its group or others may access is
 * refused, as is a file that is not a machine file, is of another version or
 * has the wrong size: with one line on standard error, and the process keeps
 * its own port space. Without it, each process has a port space of its own.
 * The printer's output is never opened through a symbolic link, and the
 * trace not through one in a sticky, world-writable directory (/tmp).
 *
 * Environment, read when the library is loaded; an empty value counts as
 * unset, and a name that names nothing is told in one line on standard
 * error, listing what it may be, and changes nothing:
 *   QPORT_SIM_MACHINE=PATH    act on the shared machine in PATH.
 *   QPORT_SIM_PROFILE=pc|bare build the machine as that profile (a shared
 *                             machine built otherwise is rebuilt, at reset).
 *   QPORT_SIM_DEVICE=PERIPHERAL[:KEY=VALUE,...]
 *                             the peripheral on lpt1 (of the shared machine,
 *                             for every process using it). Named without
 *                             settings, the peripheral already there is left
 *                             as it is; otherwise a new one is put on, at
 *                             its reset.
 *   QPORT_SIM_PRINTER_OUTPUT=PATH
 *                             where the printer appends the bytes it takes
 *                             (stored in a shared machine). Without it,
 *                             they are only counted.
 *   QPORT_TRACE=stderr|stdout|PATH
 *                             write the trace there (PATH is appended to).
 *   QPORT_SIM_REFUSE=no-privilege|user-namespace|lockdown|no-kernel-support|not-x86|other
 *                             behave as if the kernel refused port access. */
#ifndef QPORT_SIM_H
#define QPORT_SIM_H

/* A C header too, hence the C library headers. */
#include <stddef.h> /* NOLINT(modernize-deprecated-headers) */
#include <stdint.h> /* NOLINT(modernize-deprecated-headers) */

#include "qport_ext.h"

#ifdef __cplusplus
extern "C" {
#endif

#define QPORT_SIM_RECORDS 65536

struct qport_sim_transfer {
    uint64_t time_ns;   /* CLOCK_MONOTONIC */
    char direction;     /* 'i' for a read, 'o' for a write */
    uint8_t width_bits; /* 8, 16 or 32 */
    uint16_t port;
    uint32_t value; /* zero-extended to 32 bits */
};

/* The peripherals on the parallel port. */
enum qport_sim_device {
    QPORT_SIM_DEVICE_NONE = 0,
    QPORT_SIM_DEVICE_LOOPBACK = 1,
    QPORT_SIM_DEVICE_PRINTER = 2,
    QPORT_SIM_DEVICE_SWITCHES = 3,
    QPORT_SIM_DEVICE_LCD = 4,
    QPORT_SIM_DEVICE_JTAG = 5,
    QPORT_SIM_DEVICE_SPI_FLASH = 6
};

/* A device on the machine. */
struct qport_sim_device_info {
    char name[16];       /* "lpt1", NUL-terminated */
    char type[32];       /* "parallel-port" */
    uint16_t first_port; /* where it decodes now */
    uint16_t port_count; /* 0 while it is disabled */
};

/* Called with each of a device's properties: key and value texts, valid
 * during the call. */
/* NOLINTNEXTLINE(modernize-use-using): a C header */
typedef void (*qport_sim_property_visitor)(const char *key, const char *value, void *user_data);

/* Every port back to its reset value (the real-time clock keeping its time
 * and memory, as its battery does), presets removed, the printer ready
 * and its count at 0, the recorded transfers cleared; the notices the
 * library shows once per process (refused access, a transfer past the last
 * port) will be shown again. The device, the printer's output and the trace
 * destination are kept. On a shared machine, resets it for every process.
 * The count of resets below goes back to 0. */
void qport_sim_reset(void);

/* How many times a program has reset the simulated PC as it would reboot a
 * real one (0xFE to 0x64, the keyboard controller's output port bit 0
 * cleared, 0xCF9), since the machine was built or reset; and the last
 * cause, as text ("none" while the count is 0). */
uint32_t qport_sim_reset_count(void);
const char *qport_sim_last_reset_cause(void);

/* Makes port hold value: the data latch and control register as if it had
 * been written, the status register or an unbacked port as a read-only
 * register that reads value from now on. Not recorded as a transfer. */
void qport_sim_preset(uint16_t port, uint8_t value);

/* What an 8-bit read of port would give now, without recording a transfer
 * or moving the printer's handshake on. */
uint8_t qport_sim_peek(uint16_t port);

/* Copies up to capacity of the recorded transfers, oldest first, into out
 * and returns how many are recorded (which may exceed capacity). A record
 * overwritten while it was being copied is left out. */
size_t qport_sim_transfers(struct qport_sim_transfer *out, size_t capacity);

/* How many transfers were recorded since the record was last cleared,
 * counting those that later ones have overwritten (qport_sim_transfers
 * keeps the last QPORT_SIM_RECORDS). */
uint64_t qport_sim_transfer_total(void);

/* Forgets the recorded transfers. */
void qport_sim_clear_transfers(void);

/* Records transfers from now on (on nonzero) or stops recording them, on
 * this machine (for every process, on a shared one). */
void qport_sim_record_transfers(int on);

/* Writes the trace to destination from now on: "stderr", "stdout", a file
 * path (appended to), or NULL to stop. Returns 0, or -1 with errno set
 * (ENXIO: a FIFO with no reader; EBADF: that standard stream is closed);
 * the trace is then left as it was. */
int qport_sim_trace_to(const char *destination);

/* Behaves from now on as if the kernel had answered the access request with
 * cause; QPORT_ACCESS_GRANTED gives access back. Returns 0, or -1 with errno
 * EINVAL for a value no kernel answers (QPORT_ACCESS_PARPORT_ONLY,
 * QPORT_ACCESS_DROPPED, an unknown one); access is then left as it was. */
int qport_sim_refuse(enum qport_access cause);

/* Puts device on lpt1, at its reset. Returns 0, or -1 with errno EINVAL
 * for a value that names no device, ENODEV on a machine without lpt1. */
int qport_sim_set_device(enum qport_sim_device device);
enum qport_sim_device qport_sim_current_device(void);

/* The name of a peripheral ("printer", as QPORT_SIM_DEVICE takes it), or
 * NULL for a value that names none: the names are device 0, 1, ... up to
 * the first NULL. */
const char *qport_sim_device_name(enum qport_sim_device device);

/* The name of the index-th profile ("pc"), or NULL past the last. */
const char *qport_sim_profile_name(unsigned index);
/* The machine's profile. */
const char *qport_sim_current_profile(void);
/* Builds the machine anew as the profile named name, every device at reset
 * (on a shared machine, for every process). Returns 0, or -1 with errno
 * EINVAL for a name that names no profile. */
int qport_sim_set_profile(const char *name);

/* Copies up to capacity of the machine's devices into out (which may be
 * NULL when capacity is 0) and returns how many there are. */
size_t qport_sim_list_devices(struct qport_sim_device_info *out, size_t capacity);

/* Calls visit with each property of the device named device ("lpt1"):
 * first "type" and "ports", then the device's own (see the model above).
 * Returns 0, or -1 with errno ENOENT for a name no device has. */
int qport_sim_device_properties(const char *device, qport_sim_property_visitor visit,
                                void *user_data);

/* Sets a property of a device: lpt1's "peripheral" (as QPORT_SIM_DEVICE
 * takes it) or "printer-output", a peripheral's settings, and what each
 * device above says may be set. Returns 0, or -1 with errno ENOENT for a
 * device or key that does not exist (or may not be set), EINVAL for a
 * value the device does not take. */
int qport_sim_set_device_property(const char *device, const char *key, const char *value);

/* Where the printer appends the bytes it takes: a path, or NULL (or "")
 * for nowhere. Returns 0, or -1 with errno set (ENAMETOOLONG beyond 255
 * bytes); the output is then left as it was. */
int qport_sim_set_printer_output(const char *path);

/* How many bytes the printer has taken since the last reset. */
uint64_t qport_sim_printed_bytes(void);

/* Acts on the shared machine in the file path from now on (see above), or
 * on this process's own port space again for NULL. Returns 0, or -1 with
 * errno set (EINVAL for a file that is no machine of this version; the
 * reason is on standard error) and the machine unchanged. */
int qport_sim_use_machine(const char *path);

/* The path of the shared machine in use, or NULL for the process's own. */
const char *qport_sim_machine_path(void);

/* ---------------------------------------------------------------- device memories
 * A device whose memory does not fit the machine (the SPI flash's contents,
 * up to 16 MiB) keeps it as a named memory: "lpt1-w25q80", the port's slot
 * and the chip. A private machine keeps it in this process's memory; a
 * shared machine in the file PATH.memory-NAME beside the machine file,
 * made by the first process that needs it (erased: all 0xFF for a flash)
 * with mode 0600, and used only as the machine file is: never through a
 * symbolic link, a regular file of this user's own that no one else may
 * access, of the memory's exact size; otherwise it is refused with one line
 * on standard error, and the device behaves as if it had no memory. */
struct qport_sim_memory_info {
    char name[32]; /* "lpt1-w25q80", NUL-terminated */
    uint64_t size; /* in bytes */
};

/* Copies up to capacity of the machine's memories into out (which may be
 * NULL when capacity is 0) and returns how many there are. */
size_t qport_sim_list_memories(struct qport_sim_memory_info *out, size_t capacity);

/* Loads the file at path into the memory named name, or saves the memory
 * to it (created with mode 0666 less the umask, or truncated; never
 * through a symbolic link). Returns 0, or -1 with errno set: ENOENT for a
 * name no memory has, EINVAL for a file to load that is not of the
 * memory's size, ENODEV for a memory that was refused (the reason was
 * told), or what opening, reading or writing the file gave. */
int qport_sim_load_memory(const char *name, const char *path);
int qport_sim_save_memory(const char *name, const char *path);

/* ---------------------------------------------------------------- your own devices
 * A device of your own decodes count ports from first_port, alongside the
 * profile's devices. It is reached one byte at a time, as every device is:
 * a 16-bit read of first_port calls read for first_port (byte 0), then for
 * first_port + 1 (byte 1). A device added here is listed by
 * qport_sim_list_devices as "attached-0300" or "served-0300" (its first
 * port in hex), of type "attached" or "served"; qport_sim_reset keeps it
 * (it has no state of the machine's to reset), qport_sim_preset may stand in
 * for one of its ports until the reset, and building the machine anew
 * (qport_sim_set_profile) removes it. At most as many devices as the
 * machine has free slots (32 less the profile's devices) are added. */

/* One byte of a transfer as your device sees it. */
struct qport_sim_port_access {
    uint16_t port;      /* the port this byte is on */
    uint16_t offset;    /* port - first_port */
    uint8_t width_bits; /* of the whole transfer: 8, 16 or 32 */
    uint8_t byte;       /* this byte's place in it, 0 for the lowest port */
    uint8_t peek;       /* 1 for qport_sim_peek: a read that must change nothing */
};

/* A read returns the byte the port puts on the bus; a write takes one. */
/* NOLINTNEXTLINE(modernize-use-using): a C header */
typedef uint8_t (*qport_sim_read_port)(void *user, const struct qport_sim_port_access *access);
/* NOLINTNEXTLINE(modernize-use-using): a C header */
typedef void (*qport_sim_write_port)(void *user, const struct qport_sim_port_access *access,
                                     uint8_t value);

/* Attaches a device of this process to the machine in use: from now on a
 * transfer this process makes to a port in first_port .. first_port +
 * count - 1 calls read or write (either may be NULL: its ports then read
 * 0xFF, or drop writes) with user as given. The library keeps the pointers
 * and never frees or copies user.
 *
 * The callbacks run inside the transfer, on the thread that makes it: in a
 * signal handler if the program transfers from one, and in qport-run's trap
 * (itself a SIGSEGV handler) for a program run under it. So they may do only
 * what a signal handler may: async-signal-safe calls, no malloc or stdio,
 * no lock that the interrupted code might hold; atomics and the device's
 * own memory. They must not call qport (no transfer, no qport_sim_*) and
 * must not block for long: the program waits. Several threads may be in
 * them at once.
 *
 * On a shared machine the ports are claimed for every process, but only
 * this process (and children it forks afterwards, with their copies of
 * user) reaches the callbacks; in other processes the ports read 0xFF and
 * drop writes. To serve every process, see qport_sim_serve_ports.
 *
 * Returns a handle (0 or more) for qport_sim_detach_device, or -1 with
 * errno: EINVAL (count 0, a range past 0xFFFF, or both callbacks NULL),
 * EBUSY (a device, of the profile or added, already decodes one of the
 * ports; nothing is attached), ENOSPC (no free slot). */
int qport_sim_attach_device(uint16_t first_port, uint16_t count, qport_sim_read_port read,
                            qport_sim_write_port write, void *user);

/* Removes the device: its ports read as unbacked again. Transfers that begin
 * after it returns no longer call the callbacks; one that another thread
 * began before may still be running them, so free user only once such
 * transfers are over. Returns 0, or -1 with errno ENOENT for a handle that
 * names no device of this process (detached, or removed by
 * qport_sim_set_profile). */
int qport_sim_detach_device(int handle);

/* A device server: this process answers count ports from first_port for
 * every process on the shared machine in use (QPORT_SIM_MACHINE, or
 * qport_sim_use_machine). The machine lists the device ("served-0300");
 * a transfer another process makes to one of its ports is sent to this
 * process, as one small message per byte over a Unix socket, and waits for
 * the answer, which read gives (write takes the byte). The callbacks run in
 * qport_sim_server_dispatch, on the thread that calls it, in no signal
 * handler: they may do anything but transfer to the served ports from that
 * thread, which would wait on itself.
 *
 * The socket is PATH.served-0300 beside the machine file PATH (for the
 * first port 0x300), mode 0600; PATH must be short enough for it to fit in
 * a socket address (about 95 bytes). Only processes of this user reach it:
 * each side checks the other's user (SO_PEERCRED) and hangs up on another.
 * A server that has ended (or is killed) without qport_sim_server_close is
 * replaced by the next one on its ports.
 *
 * A transfer to a served port waits at most 1 s for the answer. A server
 * that is gone, does not answer in time, or is not this user's is told once
 * per process on standard error, in one line; from then on its ports read
 * 0xFF and drop writes in that process, and the program goes on, until a new
 * server takes the ports. Such transfers stay async-signal-safe (system
 * calls only: no allocation, no lock) and a child forked after a transfer
 * opens connections of its own.
 *
 * Returns the server, or NULL with errno: EINVAL (count 0, a range past
 * 0xFFFF, both callbacks NULL, or no shared machine in use), EBUSY (a port
 * is taken by another device), ENOSPC (no free slot), EEXIST (something
 * other than this user's socket is at the socket's path: told on standard
 * error, and left alone), ENAMETOOLONG, or what socket(), bind() or
 * listen() gave. */
struct qport_sim_server;
struct qport_sim_server *qport_sim_serve_ports(uint16_t first_port, uint16_t count,
                                               qport_sim_read_port read, qport_sim_write_port write,
                                               void *user);

/* A descriptor that polls readable (POLLIN) while requests wait for
 * qport_sim_server_dispatch. It stays the server's: do not close it. */
int qport_sim_server_fd(const struct qport_sim_server *server);

/* Takes new connections and answers the requests that have come, waiting
 * up to timeout_ms for the first (0: not at all, -1: until one comes).
 * Returns how many requests it answered, or -1 with errno (EINTR: a signal
 * came while it waited). */
int qport_sim_server_dispatch(struct qport_sim_server *server, int timeout_ms);

/* Stops serving: the ports read as unbacked again, the socket is removed,
 * and server is freed. NULL is ignored. */
void qport_sim_server_close(struct qport_sim_server *server);

#ifdef __cplusplus
}
#endif

#endif
