// SPDX-License-Identifier: LGPL-2.1-or-later
// Access to the real port space: asking the kernel, per thread.
//
// ioperm() grants the calling thread a permission bitmap that threads it
// creates afterwards inherit, and that survives the loss of the capability
// that obtained it. The library asks for all 65536 ports when it is loaded.
// If the process had no other thread then, every later thread descends from
// the one that asked and holds the permission: it may transfer at once. A
// thread that existed before a dlopen may not hold it, so such threads ask
// for themselves before their first transfer; so does every thread once a
// thread has dropped its access, since a thread created by that one inherits
// nothing. No thread ever executes a port instruction it has no permission
// for.
#include <atomic>
#include <cerrno>
#include <string_view>

#include <fcntl.h>
#include <unistd.h>

#include <sys/io.h>

#include "backend.h"
#include "internal.h"
#include "parport_route.h"
#include "process_hygiene.h"
#include "refusal_causes.h"
#include "transfer_lines.h"

namespace qport::backend {

constinit thread_local unsigned char thread_access_state
    __attribute__((tls_model("initial-exec"))) = not_asked;

bool recording_transfers = false;

void record_slow_transfer(char direction, unsigned width_bits, std::uint16_t port,
                          std::uint32_t value)
{
    record_transfer(monotonic_ns(), direction, width_bits, port, value);
}

namespace {

// Decided once at load and read-only afterwards.
Access process_access;
// Whether a thread that has not asked yet holds the permission by descent.
std::atomic<bool> later_threads_inherit{false};
constinit thread_local Access refused_thread_access;

Access request_from_kernel()
{
    if (::ioperm(0, 0x10000, 1) == 0)
        return {};
    const int error = errno;
    return {classify_refusal(error), error};
}

void settle_thread(const Access &access)
{
    refused_thread_access = access;
    if (access.cause != QPORT_ACCESS_GRANTED)
        thread_access_state = refused;
    else
        thread_access_state = recording_transfers ? granted_recorded : granted;
}

// The "Threads:" count of /proc/self/status is 1. Unknown counts as more:
// then threads ask for themselves, which is merely slower.
bool only_thread_of_process()
{
    const int status = ::open("/proc/self/status", O_RDONLY | O_CLOEXEC);
    if (status < 0)
        return false;
    char text[4096];
    const ssize_t length = ::read(status, text, sizeof text - 1);
    ::close(status);
    if (length <= 0)
        return false;
    const std::string_view fields(text, static_cast<std::size_t>(length));
    constexpr std::string_view key = "\nThreads:";
    const auto at = fields.find(key);
    if (at == std::string_view::npos)
        return false;
    std::string_view count = fields.substr(at + key.size());
    while (!count.empty() && (count.front() == '\t' || count.front() == ' '))
        count.remove_prefix(1);
    // Exactly "1": the digit and then the end of the line.
    return count.size() >= 2 && count[0] == '1' && count[1] == '\n';
}

// Plays the part of the library's entry function: access for all ports,
// once, when the library is loaded. Nothing needs tearing down.
__attribute__((constructor)) void request_access_at_load()
{
    recording_transfers = open_recording_from_environment();
    process_access = request_from_kernel();
    settle_thread(process_access);
    later_threads_inherit =
        process_access.cause == QPORT_ACCESS_GRANTED && only_thread_of_process();
}

} // namespace

Access thread_access()
{
    if (thread_access_state == not_asked) {
        // A refusal at load holds for every thread: asking again would only
        // repeat it.
        if (process_access.cause != QPORT_ACCESS_GRANTED)
            settle_thread(process_access);
        else if (later_threads_inherit.load())
            settle_thread({});
        else
            settle_thread(request_from_kernel());
    }
    // The parallel port without root, looked for at the first query.
    return widened_by_parport_route(refused_thread_access);
}

int drop_thread_access()
{
    // From now on no thread can tell whether its creator still held the
    // permission.
    later_threads_inherit = false;
    settle_thread({QPORT_ACCESS_DROPPED, 0});
    leave_parport_route();
    // Both the port bitmap and a level set by iopl(), which would still
    // allow every port.
    if (const int error = process::give_up_port_permission(); error != 0) {
        errno = error;
        return -1;
    }
    return 0;
}

std::string lockdown_mode() { return current_lockdown_mode(); }

const char *name() { return "hardware"; }

} // namespace qport::backend
