// SPDX-License-Identifier: LGPL-2.1-or-later
// The ports and the program's memory as the trap and the rewritten sites'
// calls reach them: qport's entry points, and the program's memory read and
// written with a fault answered instead of taken (ports_and_memory.cpp).
#ifndef QPORT_RUN_PORTS_AND_MEMORY_H
#define QPORT_RUN_PORTS_AND_MEMORY_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>

#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include "port_instruction.h"
#include "preload.h"

namespace qport_run::preload {

// The alternate stack the trap turns off while SIGSEGV is open.
extern constinit thread_local stack_t saved_alternate_stack
    __attribute__((tls_model("initial-exec")));

// SIGSEGV open in this thread while it lives.
class SegvOpen {
public:
    SegvOpen()
    {
        if (segv_open_depth++ > 0)
            return;
        // The kernel decides whether a nested signal is already on the
        // alternate stack by the stack pointer, which is on the trap's own
        // stack now: with the alternate stack on, it would put the nested
        // frame at its top, over the frames there.
        if (trap_on_alternate_stack) {
            stack_t off{};
            off.ss_flags = SS_DISABLE;
            ::sigaltstack(&off, &saved_alternate_stack);
        }
        set_thread_mask(SIG_UNBLOCK, segv_bit);
    }
    ~SegvOpen()
    {
        if (--segv_open_depth > 0)
            return;
        set_thread_mask(SIG_BLOCK, segv_bit);
        if (trap_on_alternate_stack)
            ::sigaltstack(&saved_alternate_stack, nullptr);
        if (segv_was_sent) {
            segv_was_sent = false;
            ::syscall(SYS_rt_tgsigqueueinfo, ::getpid(), ::gettid(), SIGSEGV, &sent_segv);
        }
    }
    SegvOpen(const SegvOpen &) = delete;
    SegvOpen &operator=(const SegvOpen &) = delete;
};

// qport's entry points, each call marked as qport's own.
class QportPorts final : public qport_run::PortSpace {
public:
    std::uint32_t read(std::uint16_t port, unsigned width_bytes) override
    {
        const auto address = static_cast<short>(port);
        switch (width_bytes) {
        case 1:
            return static_cast<std::uint8_t>(qport.in8(address));
        case 2:
            return static_cast<std::uint16_t>(qport.in16(address));
        default:
            return static_cast<std::uint32_t>(qport.in32(address));
        }
    }

    void write(std::uint16_t port, unsigned width_bytes, std::uint32_t value) override
    {
        const auto address = static_cast<short>(port);
        switch (width_bytes) {
        case 1:
            qport.out8(address, static_cast<char>(value));
            break;
        case 2:
            qport.out16(address, static_cast<short>(value));
            break;
        default:
            qport.out32(address, static_cast<int>(value));
            break;
        }
    }
};

// On the hardware build the thread holds the kernel's permission only for
// the ports of the one instruction and only while it is carried out, so the
// program's own instructions keep faulting; SIGSEGV is open meanwhile, for
// a port instruction of qport's that the kernel refuses. The simulated
// build executes no port instruction, so SIGSEGV stays blocked there.
class Transfer {
public:
    Transfer(std::uint16_t port, unsigned width_bytes)
    {
        calling_qport = true;
        if (qport.hardware) {
            open_.emplace();
            if (port + width_bytes <= port_count)
                ::syscall(SYS_ioperm, port, width_bytes, 1);
        }
    }
    ~Transfer()
    {
        if (qport.hardware)
            ::syscall(SYS_ioperm, 0, port_count, 0);
        calling_qport = false;
    }
    Transfer(const Transfer &) = delete;
    Transfer &operator=(const Transfer &) = delete;

private:
    std::optional<SegvOpen> open_;
};

inline MemoryFault fault_of_probe()
{
    return {reinterpret_cast<std::uintptr_t>(probe_fault.info.si_addr),
            probe_fault.info.si_code == SEGV_MAPERR ? FaultKind::unmapped : FaultKind::protection};
}

// The program's memory through the kernel, which answers EFAULT where the
// program may not go instead of faulting in the trap. Where the kernel
// cannot copy (device memory mapped by a driver: VM_IO and VM_PFNMAP
// mappings), or where the program may not go, the trap reaches the memory
// itself, one element at a time as the processor would, and a fault there
// tells exactly what the processor's would: the first byte it could not
// reach, and whether it is unmapped or protected.
class ProcessMemory final : public qport_run::Memory {
public:
    qport_run::Copied read(std::uint64_t address, void *out, std::size_t size,
                           unsigned width) override
    {
        const std::size_t copied = copy(out, address, size, SYS_process_vm_readv);
        if (copied == size)
            return {size, {}};
        const SegvOpen open;
        auto *bytes = static_cast<std::uint8_t *>(out);
        for (std::size_t at = copied / width * width; at < size; at += width) {
            probe_faulted = false;
            const std::uint32_t value = qport_run_probe_load(in_program(address + at), width);
            if (probe_faulted)
                return {at, fault_of_probe()};
            std::memcpy(bytes + at, &value, width);
        }
        return {size, {}};
    }

    qport_run::Copied write(std::uint64_t address, const void *in, std::size_t size,
                            unsigned width) override
    {
        // A write across a page boundary goes directly, so that a fault in
        // the second page leaves nothing of it written.
        const bool across_pages =
            address / qport_run::page_size != (address + size - 1) / qport_run::page_size;
        const std::size_t copied =
            across_pages ? 0 : copy(const_cast<void *>(in), address, size, SYS_process_vm_writev);
        if (copied == size)
            return {size, {}};
        const SegvOpen open;
        const auto *bytes = static_cast<const std::uint8_t *>(in);
        for (std::size_t at = copied / width * width; at < size; at += width) {
            std::uint32_t value = 0;
            std::memcpy(&value, bytes + at, width);
            probe_faulted = false;
            qport_run_probe_store(in_program(address + at), width, value);
            if (probe_faulted)
                return {at, fault_of_probe()};
        }
        return {size, {}};
    }

private:
    static std::size_t copy(void *local, std::uint64_t remote, std::size_t size, long call)
    {
        if (size == 0)
            return 0;
        iovec local_piece{local, size};
        iovec remote_piece{in_program(remote), size};
        const long copied = ::syscall(call, ::getpid(), &local_piece, 1UL, &remote_piece, 1UL, 0UL);
        return copied < 0 ? 0 : static_cast<std::size_t>(copied);
    }
};

} // namespace qport_run::preload

#endif
