// The six port transfers. Each is a check of the calling thread's access
// and then exactly one transfer of its width; nothing else happens on the
// way, so they can run in tight loops.
#include "qport.h"

#include "backend.h"
#include "internal.h"

namespace qport {
namespace {

// A transfer of Bytes bytes at port touches ports port..port+Bytes-1; one
// that would reach past 0xFFFF faults on x86 even with full permission.
template <unsigned Bytes> [[gnu::always_inline]] inline bool may_transfer(std::uint16_t port)
{
    if constexpr (Bytes > 1) {
        if (port > 0x10000 - Bytes) [[unlikely]] {
            tell_past_last_port(Bytes * 8, port);
            return false;
        }
    }
    if (backend::thread_may_transfer()) [[likely]]
        return true;
    return obtain_thread_access();
}

} // namespace
} // namespace qport

using qport::port_address;
namespace backend = qport::backend;

QPORT_EXPORT int inport(short port)
{
    const auto address = port_address(port);
    if (!qport::may_transfer<4>(address))
        return QPORT_REFUSED_READ;
    return static_cast<int>(backend::in32(address));
}

QPORT_EXPORT short inportw(short port)
{
    const auto address = port_address(port);
    if (!qport::may_transfer<2>(address))
        return QPORT_REFUSED_READ;
    return static_cast<short>(backend::in16(address));
}

QPORT_EXPORT qport_byte_result inportb(short port)
{
    const auto address = port_address(port);
    if (!qport::may_transfer<1>(address))
        return QPORT_REFUSED_READ;
    // Through signed char, so the value stays -128..127 even where plain
    // char is unsigned.
    return static_cast<qport_byte_result>(static_cast<signed char>(backend::in8(address)));
}

QPORT_EXPORT void outport(short port, int value)
{
    const auto address = port_address(port);
    if (qport::may_transfer<4>(address))
        backend::out32(address, static_cast<std::uint32_t>(value));
}

QPORT_EXPORT void outportw(short port, short value)
{
    const auto address = port_address(port);
    if (qport::may_transfer<2>(address))
        backend::out16(address, static_cast<std::uint16_t>(value));
}

QPORT_EXPORT void outportb(short port, char value)
{
    const auto address = port_address(port);
    if (qport::may_transfer<1>(address))
        backend::out8(address, static_cast<std::uint8_t>(value));
}
