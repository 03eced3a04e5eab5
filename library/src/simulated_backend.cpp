// SPDX-License-Identifier: LGPL-2.1-or-later
// The simulated port space: a standard parallel port at 0x378..0x37A, every
// other port unbacked, a record of every transfer and an optional trace.
// The model is described in qport_sim.h.
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "qport_sim.h"

#include "backend.h"
#include "internal.h"

namespace qport::backend {
namespace {

constexpr std::uint16_t data_port = 0x378;
constexpr std::uint16_t status_port = 0x379;
constexpr std::uint16_t control_port = 0x37A;
constexpr std::uint8_t status_at_reset = 0x7F;
constexpr std::uint8_t control_at_reset = 0x0C;
constexpr std::uint8_t control_unused_bits = 0xE0;

enum class PortKind : std::uint8_t { unbacked, latch, read_only, control };

struct Refusal {
    std::string_view name;
    qport_access cause;
    int error;
};

constexpr std::array refusals{
    Refusal{"no-privilege", QPORT_ACCESS_NO_PRIVILEGE, EPERM},
    Refusal{"user-namespace", QPORT_ACCESS_USER_NAMESPACE, EPERM},
    Refusal{"lockdown", QPORT_ACCESS_LOCKDOWN, EPERM},
    Refusal{"no-kernel-support", QPORT_ACCESS_NO_KERNEL_SUPPORT, ENOSYS},
    Refusal{"not-x86", QPORT_ACCESS_NOT_X86, 0},
    Refusal{"other", QPORT_ACCESS_OTHER, EIO},
};

class PortSpace {
public:
    PortSpace() : records_(QPORT_SIM_RECORDS) { reset(); }

    void reset()
    {
        const std::lock_guard lock(mutex_);
        kinds_.fill(PortKind::unbacked);
        values_.fill(0xFF);
        kinds_[data_port] = PortKind::latch;
        values_[data_port] = 0x00;
        kinds_[status_port] = PortKind::read_only;
        values_[status_port] = status_at_reset;
        kinds_[control_port] = PortKind::control;
        values_[control_port] = control_at_reset;
        recorded_ = 0;
    }

    void preset(std::uint16_t port, std::uint8_t value)
    {
        const std::lock_guard lock(mutex_);
        if (kinds_[port] == PortKind::unbacked)
            kinds_[port] = PortKind::read_only;
        if (kinds_[port] == PortKind::read_only)
            values_[port] = value;
        else
            store(port, value);
    }

    std::uint8_t peek(std::uint16_t port)
    {
        const std::lock_guard lock(mutex_);
        return load(port);
    }

    // Reads Bytes consecutive ports, lowest first, as one transfer.
    template <unsigned Bytes> std::uint32_t read(std::uint16_t port)
    {
        const std::lock_guard lock(mutex_);
        std::uint32_t value = 0;
        for (unsigned i = 0; i < Bytes; ++i)
            value |= std::uint32_t{load(static_cast<std::uint16_t>(port + i))} << (8 * i);
        record('i', Bytes * 8, port, value);
        return value;
    }

    template <unsigned Bytes> void write(std::uint16_t port, std::uint32_t value)
    {
        const std::lock_guard lock(mutex_);
        for (unsigned i = 0; i < Bytes; ++i)
            store(static_cast<std::uint16_t>(port + i),
                  static_cast<std::uint8_t>(value >> (8 * i)));
        record('o', Bytes * 8, port, value);
    }

    std::size_t copy_records(qport_sim_transfer *out, std::size_t capacity)
    {
        const std::lock_guard lock(mutex_);
        const std::size_t kept = recorded_ < records_.size() ? recorded_ : records_.size();
        const std::size_t oldest = recorded_ - kept;
        for (std::size_t i = 0; i < kept && i < capacity; ++i)
            out[i] = records_[(oldest + i) % records_.size()];
        return kept;
    }

    void clear_records()
    {
        const std::lock_guard lock(mutex_);
        recorded_ = 0;
    }

    int trace_to(const char *destination)
    {
        int fd = -1;
        if (destination != nullptr) {
            if (std::strcmp(destination, "stderr") == 0)
                fd = ::dup(STDERR_FILENO);
            else
                fd = ::open(destination, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
            if (fd < 0)
                return -1;
        }
        const std::lock_guard lock(mutex_);
        if (trace_fd_ >= 0)
            ::close(trace_fd_);
        trace_fd_ = fd;
        return 0;
    }

private:
    std::uint8_t load(std::uint16_t port) const
    {
        if (kinds_[port] == PortKind::control)
            return values_[port] | control_unused_bits;
        return values_[port];
    }

    void store(std::uint16_t port, std::uint8_t value)
    {
        switch (kinds_[port]) {
        case PortKind::latch:
            values_[port] = value;
            break;
        case PortKind::control:
            values_[port] = static_cast<std::uint8_t>(value & ~control_unused_bits);
            break;
        case PortKind::read_only:
        case PortKind::unbacked:
            break;
        }
    }

    void record(char direction, unsigned width_bits, std::uint16_t port, std::uint32_t value)
    {
        timespec now{};
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        const auto time_ns = static_cast<std::uint64_t>(now.tv_sec) * 1000000000U +
                             static_cast<std::uint64_t>(now.tv_nsec);
        records_[recorded_ % records_.size()] = {
            time_ns, direction, static_cast<std::uint8_t>(width_bits), port, value};
        ++recorded_;
        if (trace_fd_ >= 0)
            write_trace_line(records_[(recorded_ - 1) % records_.size()]);
    }

    void write_trace_line(const qport_sim_transfer &transfer) const
    {
        char line[80];
        const int length =
            std::snprintf(line, sizeof line, "%llu.%09llu %s %u 0x%04x 0x%0*x\n",
                          static_cast<unsigned long long>(transfer.time_ns / 1000000000U),
                          static_cast<unsigned long long>(transfer.time_ns % 1000000000U),
                          transfer.direction == 'i' ? "in" : "out", unsigned{transfer.width_bits},
                          unsigned{transfer.port}, static_cast<int>(transfer.width_bits / 4),
                          static_cast<unsigned>(transfer.value));
        // One write per line, so lines from several threads never mix.
        [[maybe_unused]] const ssize_t written =
            ::write(trace_fd_, line, static_cast<std::size_t>(length));
    }

    std::mutex mutex_;
    std::array<PortKind, 0x10000> kinds_{};
    std::array<std::uint8_t, 0x10000> values_{};
    std::vector<qport_sim_transfer> records_;
    std::size_t recorded_ = 0;
    int trace_fd_ = -1;
};

// Never destroyed, so that threads still transferring while the process
// exits find it intact.
PortSpace &port_space()
{
    static auto *const space = new PortSpace;
    return *space;
}

std::atomic<qport_access> simulated_access{QPORT_ACCESS_GRANTED};

int error_for(qport_access cause)
{
    for (const Refusal &refusal : refusals) {
        if (refusal.cause == cause)
            return refusal.error;
    }
    return 0;
}

__attribute__((constructor)) void configure_from_environment()
{
    if (const char *trace = std::getenv("QPORT_TRACE"); trace != nullptr && *trace != '\0') {
        if (port_space().trace_to(trace) != 0)
            std::fprintf(stderr, "qport: cannot write the trace to %s: %s\n", trace,
                         std::strerror(errno));
    }
    if (const char *refuse = std::getenv("QPORT_SIM_REFUSE");
        refuse != nullptr && *refuse != '\0') {
        for (const Refusal &refusal : refusals) {
            if (refusal.name == refuse)
                simulated_access = refusal.cause;
        }
        if (simulated_access == QPORT_ACCESS_GRANTED)
            std::fprintf(stderr,
                         "qport: QPORT_SIM_REFUSE=%s is none of no-privilege, user-namespace, "
                         "lockdown, no-kernel-support, not-x86, other; access stays granted\n",
                         refuse);
    }
}

} // namespace

namespace {
// Set by qport_drop_access(): that thread is refused whatever the simulated
// kernel answers.
constinit thread_local bool thread_dropped_access = false;
} // namespace

bool thread_may_transfer()
{
    return !thread_dropped_access &&
           simulated_access.load(std::memory_order_relaxed) == QPORT_ACCESS_GRANTED;
}

Access thread_access()
{
    if (thread_dropped_access)
        return {QPORT_ACCESS_DROPPED, 0};
    const qport_access cause = simulated_access.load();
    return {cause, error_for(cause)};
}

int drop_thread_access()
{
    thread_dropped_access = true;
    return 0;
}

std::string lockdown_mode()
{
    // The host's own mode would explain nothing about a simulated refusal.
    return "";
}

const char *name() { return "simulated"; }

std::uint8_t in8(std::uint16_t port)
{
    return static_cast<std::uint8_t>(port_space().read<1>(port));
}
std::uint16_t in16(std::uint16_t port)
{
    return static_cast<std::uint16_t>(port_space().read<2>(port));
}
std::uint32_t in32(std::uint16_t port) { return port_space().read<4>(port); }
void out8(std::uint16_t port, std::uint8_t value) { port_space().write<1>(port, value); }
void out16(std::uint16_t port, std::uint16_t value) { port_space().write<2>(port, value); }
void out32(std::uint16_t port, std::uint32_t value) { port_space().write<4>(port, value); }

} // namespace qport::backend

using qport::backend::port_space;

extern "C" QPORT_EXPORT void qport_sim_reset(void) { port_space().reset(); }

extern "C" QPORT_EXPORT void qport_sim_preset(uint16_t port, uint8_t value)
{
    port_space().preset(port, value);
}

extern "C" QPORT_EXPORT uint8_t qport_sim_peek(uint16_t port) { return port_space().peek(port); }

extern "C" QPORT_EXPORT size_t qport_sim_transfers(qport_sim_transfer *out, size_t capacity)
{
    return port_space().copy_records(out, capacity);
}

extern "C" QPORT_EXPORT void qport_sim_clear_transfers(void) { port_space().clear_records(); }

extern "C" QPORT_EXPORT int qport_sim_trace_to(const char *destination)
{
    return port_space().trace_to(destination);
}

extern "C" QPORT_EXPORT void qport_sim_refuse(qport_access cause)
{
    qport::backend::simulated_access = cause;
}
