// SPDX-License-Identifier: LGPL-2.1-or-later
// Port transfers on the processor's own instructions.
#ifndef QPORT_BACKEND_HARDWARE_H
#define QPORT_BACKEND_HARDWARE_H

#include <cstdint>

namespace qport::backend {

// granted_recorded: granted while QPORT_RECORD records, which sends every
// transfer to the slow path; so the fast path's one compare is all a
// program that does not record pays for recording.
enum ThreadAccess : unsigned char { not_asked = 0, granted = 1, refused = 2, granted_recorded = 3 };

// Linux keeps port permission per thread, so the answer is cached per
// thread. Initial-exec TLS keeps the check to a load and a compare.
extern constinit thread_local unsigned char thread_access_state
    __attribute__((tls_model("initial-exec")));

inline bool thread_may_transfer() { return thread_access_state == granted; }

// Whether QPORT_RECORD records: decided when the library is loaded.
extern bool recording_transfers;

// A transfer made on the slow path (a recorded one, or one through the
// parallel port route), written to the recording.
void record_slow_transfer(char direction, unsigned width_bits, std::uint16_t port,
                          std::uint32_t value);
inline void note_slow_transfer(char direction, unsigned width_bits, std::uint16_t port,
                               std::uint32_t value)
{
    if (recording_transfers)
        record_slow_transfer(direction, width_bits, port, value);
}

#if !defined(__x86_64__) && !defined(__i386__)
#error "the hardware build needs an x86 processor: others have no I/O port space"
#endif

// Each is the single DX-form instruction of its width.
inline std::uint8_t in8(std::uint16_t port)
{
    std::uint8_t value;
    asm volatile("inb %w1, %b0" : "=a"(value) : "Nd"(port) : "memory");
    return value;
}
inline std::uint16_t in16(std::uint16_t port)
{
    std::uint16_t value;
    asm volatile("inw %w1, %w0" : "=a"(value) : "Nd"(port) : "memory");
    return value;
}
inline std::uint32_t in32(std::uint16_t port)
{
    std::uint32_t value;
    asm volatile("inl %w1, %k0" : "=a"(value) : "Nd"(port) : "memory");
    return value;
}
inline void out8(std::uint16_t port, std::uint8_t value)
{
    asm volatile("outb %b0, %w1" : : "a"(value), "Nd"(port) : "memory");
}
inline void out16(std::uint16_t port, std::uint16_t value)
{
    asm volatile("outw %w0, %w1" : : "a"(value), "Nd"(port) : "memory");
}
inline void out32(std::uint16_t port, std::uint32_t value)
{
    asm volatile("outl %k0, %w1" : : "a"(value), "Nd"(port) : "memory");
}

} // namespace qport::backend

#endif
