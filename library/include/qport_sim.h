/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Control of the simulated port space. Only the simulated build of
 * libqport.so.1 exports these; a program that uses them is a test or a tool
 * made for that build.
 *
 * The model:
 *   0x378  data latch: reads back the last byte written. Reset 0x00.
 *   0x379  status register, read-only: writes are ignored. Reset 0x7F
 *          (no printer: BUSY asserted, every other line high).
 *   0x37A  control register: bits 0..4 hold what was written, bits 5..7 are
 *          unused and read as ones. Reset 0xEC (INIT and SELECT IN set).
 *   other  unbacked: reads 0xFF, writes vanish.
 * A 16- or 32-bit transfer acts on consecutive ports, lowest byte on the
 * given port (little-endian), and counts as one transfer of its width.
 *
 * Trace: every transfer that reaches the port space is recorded in memory
 * (the newest QPORT_SIM_RECORDS) and, when a trace destination is set, written
 * there as one line:
 *     <seconds>.<nanoseconds> <in|out> <8|16|32> 0x<port> 0x<value>
 * with CLOCK_MONOTONIC time, the port as 4 hex digits and the value as 2, 4
 * or 8 hex digits, e.g. "812.004211930 out 32 0x0378 0x00ffffff".
 *
 * Environment, read when the library is loaded:
 *   QPORT_TRACE=stderr|PATH   write the trace there (PATH is appended to).
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

/* Every port back to its reset value and presets removed; the recorded
 * transfers are cleared. The trace destination is kept. */
void qport_sim_reset(void);

/* Makes port hold value: the data latch and control register as if it had
 * been written, the status register or an unbacked port as a read-only
 * register that reads value from now on. Not recorded as a transfer. */
void qport_sim_preset(uint16_t port, uint8_t value);

/* What an 8-bit read of port would give now, without recording a transfer. */
uint8_t qport_sim_peek(uint16_t port);

/* Copies up to capacity of the recorded transfers, oldest first, into out
 * and returns how many are recorded (which may exceed capacity). */
size_t qport_sim_transfers(struct qport_sim_transfer *out, size_t capacity);

/* Forgets the recorded transfers. */
void qport_sim_clear_transfers(void);

/* Writes the trace to destination from now on: "stderr", a file path
 * (appended to), or NULL to stop. Returns 0, or -1 with errno set. */
int qport_sim_trace_to(const char *destination);

/* Behaves from now on as if the kernel had answered the access request with
 * cause; QPORT_ACCESS_GRANTED gives access back. */
void qport_sim_refuse(enum qport_access cause);

#ifdef __cplusplus
}
#endif

#endif
