// SPDX-License-Identifier: LGPL-2.1-or-later
// A stand-in for the hardware build whose thread has lost the kernel's
// permission: each entry point executes its port instruction, which faults.
// The preload must answer that fault inside qport as a refused transfer.
#include <cstdint>

#include "qport.h"
#include "qport_ext.h"

#define EXPORTED __attribute__((visibility("default")))

namespace {

template <typename Value> Value faulting_in(short port)
{
    std::uint32_t value = 0;
    const auto address = static_cast<std::uint16_t>(port);
    if constexpr (sizeof(Value) == 1)
        asm volatile("inb %w1, %b0" : "+a"(value) : "Nd"(address) : "memory");
    else if constexpr (sizeof(Value) == 2)
        asm volatile("inw %w1, %w0" : "+a"(value) : "Nd"(address) : "memory");
    else
        asm volatile("inl %w1, %k0" : "+a"(value) : "Nd"(address) : "memory");
    return static_cast<Value>(value);
}

void faulting_out(short port, std::uint32_t value)
{
    asm volatile("outl %k0, %w1" : : "a"(value), "Nd"(static_cast<std::uint16_t>(port)));
}

} // namespace

EXPORTED int inport(short port) { return faulting_in<int>(port); }
EXPORTED short inportw(short port) { return faulting_in<short>(port); }
EXPORTED qport_byte_result inportb(short port) { return faulting_in<qport_byte_result>(port); }
EXPORTED void outport(short port, int value)
{
    faulting_out(port, static_cast<std::uint32_t>(value));
}
EXPORTED void outportw(short port, short value)
{
    faulting_out(port, static_cast<std::uint16_t>(value));
}
EXPORTED void outportb(short port, char value)
{
    faulting_out(port, static_cast<std::uint8_t>(value));
}
extern "C" EXPORTED const char *qport_backend(void) { return "hardware"; }
extern "C" EXPORTED void qport_set_presenter(qport_presenter, void *) {}
