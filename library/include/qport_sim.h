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
 * The devices of each profile (lpt1, post, rtc, superio, pci, lpt2, kbc,
 * hwmon, ec) are described register by register, with their state at reset
 * and their properties, in simulated-pc.md, and the peripherals on the
 * parallel port (QPORT_SIM_DEVICE or qport_sim_set_device; property
 * "peripheral" of lpt1: none, loopback, printer, switches, lcd, jtag there,
 * spi-flash in programming-chips.md), both installed with qport's
 * documentation (docs/ in the sources). A peripheral's settings follow its
 * name: "name:key=value,key=value". A preset of 0x379 overrides the
 * peripheral until the next reset.
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
 * or 8 hex digits, e.g. "812.004211930 out 32 0x0378 0x00ffffff"; a
 * transfer that no device decoded (see qport_sim_port_decoded) ends in the
 * comment " # no device".
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

/* 1 if a device, or a preset, answers port; 0 if nothing decodes it, so
 * that a read gives the bus's all ones and a write goes nowhere (most often
 * a mistyped port). */
int qport_sim_port_decoded(uint16_t port);

/* 1 if every QPORT_SIM_ variable read when the library was loaded named
 * what the simulated PC has; 0 if one named a profile, peripheral, setting
 * or refusal it lacks. The library then said so on standard error and went
 * on without it; a tool a person typed the variable for can refuse to run
 * instead. */
int qport_sim_environment_understood(void);

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

/* Builds the machine in use anew as the TOML file at path describes it: its
 * profile, its devices' properties (a parallel port's peripheral with its
 * settings), presets of ports and memories loaded from files, in the order
 * the file gives them (docs/simulated-pc.md, "A machine described in a
 * file"). QPORT_SIM_MACHINE_DESCRIPTION=PATH does the same when the library
 * is loaded. The file must be a regular file of this user's own that no
 * other user may write, of 64 KiB at most. Returns 0, or -1 with errno set
 * and, when why is not NULL, one line naming the file, the line and the key
 * that were refused and why (cut to why_size, NUL-terminated); a
 * description refused part-way leaves the machine as built up to there. */
int qport_sim_describe_machine(const char *path, char *why, size_t why_size);

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
