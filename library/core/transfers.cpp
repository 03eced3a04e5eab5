// SPDX-License-Identifier: LGPL-2.1-or-later
// The six port transfers. Each is a check of the calling thread's access
// and then exactly one transfer of its width; nothing else happens on the
// way, so they can run in tight loops.
//
// The check that passes is inline and needs no stack frame. Everything else
// (a thread's first transfer, a refusal to tell about, a transfer the
// hardware build records) happens in a cold
// function that the entry point jumps to, which then makes the transfer
// itself if it may.
#include "qport.h"

#include "backend.h"
#include "internal.h"

namespace qport {
namespace {

// A transfer of Bytes bytes at port touches ports port..port+Bytes-1; one
// that would reach past 0xFFFF faults on x86 even with full permission.
template <unsigned Bytes> constexpr bool within_port_space(std::uint16_t port)
{
    return Bytes == 1 || port <= 0x10000 - Bytes;
}

template <unsigned Bytes> [[gnu::always_inline]] inline bool on_fast_path(std::uint16_t port)
{
    return within_port_space<Bytes>(port) && backend::thread_may_transfer();
}

template <unsigned Bytes> bool may_transfer_after_all(std::uint16_t port)
{
    if (!within_port_space<Bytes>(port)) {
        tell_past_last_port(Bytes * 8, port);
        return false;
    }
    return obtain_thread_access();
}

template <typename Value, unsigned Bytes, Value (*read)(std::uint16_t)>
[[gnu::noinline, gnu::cold]] Value read_on_slow_path(std::uint16_t port)
{
    // The parallel port without root: bytes, and the EPP data cycles a wide
    // transfer makes on a port with EPP; other wide transfers are never split.
    if (within_port_space<Bytes>(port)) {
        if (const auto routed = backend::read_through_route(port, Bytes)) {
            backend::note_slow_transfer('i', Bytes * 8, port, *routed);
            return static_cast<Value>(*routed);
        }
    }
    if (!may_transfer_after_all<Bytes>(port))
        return static_cast<Value>(QPORT_REFUSED_READ);
    const Value value = read(port);
    backend::note_slow_transfer('i', Bytes * 8, port, value);
    return value;
}

template <typename Value, unsigned Bytes, void (*write)(std::uint16_t, Value)>
[[gnu::noinline, gnu::cold]] void write_on_slow_path(std::uint16_t port, Value value)
{
    if (within_port_space<Bytes>(port) && backend::write_through_route(port, Bytes, value)) {
        backend::note_slow_transfer('o', Bytes * 8, port, value);
        return;
    }
    if (may_transfer_after_all<Bytes>(port)) {
        write(port, value);
        backend::note_slow_transfer('o', Bytes * 8, port, value);
    }
}

template <typename Value, unsigned Bytes, Value (*read)(std::uint16_t)>
[[gnu::always_inline]] inline Value read_port(short port)
{
    const std::uint16_t address = port_address(port);
    if (on_fast_path<Bytes>(address)) [[likely]]
        return read(address);
    return read_on_slow_path<Value, Bytes, read>(address);
}

template <typename Value, unsigned Bytes, void (*write)(std::uint16_t, Value)>
[[gnu::always_inline]] inline void write_port(short port, Value value)
{
    const std::uint16_t address = port_address(port);
    if (on_fast_path<Bytes>(address)) [[likely]]
        write(address, value);
    else
        write_on_slow_path<Value, Bytes, write>(address, value);
}

} // namespace
} // namespace qport

using qport::read_port;
using qport::write_port;
namespace backend = qport::backend;

// A refused read gives all bits set at every width, and the casts below keep
// that -1 (and every other value) sign-extended.
QPORT_EXPORT int inport(short port)
{
    return static_cast<int>(read_port<std::uint32_t, 4, backend::in32>(port));
}

QPORT_EXPORT short inportw(short port)
{
    return static_cast<short>(read_port<std::uint16_t, 2, backend::in16>(port));
}

QPORT_EXPORT qport_byte_result inportb(short port)
{
    // Through signed char, so the value stays -128..127 even where plain
    // char is unsigned.
    return static_cast<qport_byte_result>(
        static_cast<signed char>(read_port<std::uint8_t, 1, backend::in8>(port)));
}

QPORT_EXPORT void outport(short port, int value)
{
    write_port<std::uint32_t, 4, backend::out32>(port, static_cast<std::uint32_t>(value));
}

QPORT_EXPORT void outportw(short port, short value)
{
    write_port<std::uint16_t, 2, backend::out16>(port, static_cast<std::uint16_t>(value));
}

QPORT_EXPORT void outportb(short port, char value)
{
    write_port<std::uint8_t, 1, backend::out8>(port, static_cast<std::uint8_t>(value));
}
