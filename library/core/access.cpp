// SPDX-License-Identifier: LGPL-2.1-or-later
// What a caller and the user learn about port access: the status API, the
// texts that explain a refusal, and the once-per-process refusal notices.
#include <cerrno>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "qport_ext.h"

#include "access_texts.h"
#include "backend.h"
#include "internal.h"
#include "process_hygiene.h"

namespace qport {
namespace {

constexpr const char *refused_title = "Port access refused";

std::atomic<bool> told_access_refused{false};
std::atomic<bool> told_past_last_port{false};

// The documentation installed with this library, wherever the install lies
// now; the configured path from a build tree.
const std::string &real_access_documentation()
{
    static const std::string path = process::installed_file_path(
        process::loaded_object_path(reinterpret_cast<const void *>(&real_access_documentation)),
        QPORT_REAL_ACCESS_DOC_FROM_LIBRARY, QPORT_REAL_ACCESS_DOC);
    return path;
}

std::string message_about(const Access &access)
{
    const qport_access direct = access.direct_cause();
    return access_message(
        access,
        {backend::name(),
         direct == QPORT_ACCESS_LOCKDOWN ? backend::lockdown_mode() : std::string(),
         real_access_documentation(),
         access.cause == QPORT_ACCESS_PARPORT_ONLY ? backend::route_access_text() : std::string()});
}

} // namespace

bool obtain_thread_access()
{
    const Access access = backend::thread_access();
    if (access.cause == QPORT_ACCESS_GRANTED)
        return true;
    if (!told_access_refused.exchange(true))
        present_notice(refused_title, message_about(access).c_str());
    return false;
}

void tell_past_last_port(unsigned width_bits, std::uint16_t port)
{
    if (!told_past_last_port.exchange(true)) {
        char text[320];
        std::snprintf(text, sizeof text,
                      "A %u-bit transfer at port 0x%04X would reach past the last port, "
                      "0xFFFF, which the processor does not allow.\n\n%s",
                      width_bits, static_cast<unsigned>(port), refused_outcome);
        present_notice("Transfer refused", text);
    }
}

// The simulated build's reset brings the once-per-process notices back, so
// that a program (a test suite above all) can start over in one process.
void forget_told_notices()
{
    told_access_refused = false;
    told_past_last_port = false;
}

} // namespace qport

extern "C" QPORT_EXPORT qport_access qport_access_status(void)
{
    return qport::backend::thread_access().cause;
}

extern "C" QPORT_EXPORT qport_access qport_direct_access_status(void)
{
    return qport::backend::thread_access().direct_cause();
}

extern "C" QPORT_EXPORT int qport_access_errno(void)
{
    return qport::backend::thread_access().error;
}

extern "C" QPORT_EXPORT const char *qport_access_message(void)
{
    thread_local std::string message;
    message = qport::message_about(qport::backend::thread_access());
    return message.c_str();
}

extern "C" QPORT_EXPORT int qport_drop_access(void) { return qport::backend::drop_thread_access(); }

extern "C" QPORT_EXPORT const char *qport_access_name(qport_access cause)
{
    static constexpr const char *names[] = {
        "granted", "no-privilege", "user-namespace", "lockdown",     "no-kernel-support",
        "not-x86", "other",        "dropped",        "parport-only",
    };
    const auto index = static_cast<unsigned>(cause);
    return index < std::size(names) ? names[index] : nullptr;
}

extern "C" QPORT_EXPORT size_t qport_parport_routes(qport_parport_route *out, size_t capacity)
{
    return qport::backend::list_routes(out, capacity);
}

extern "C" QPORT_EXPORT int qport_parport_reaches(unsigned short port, unsigned width_bits)
{
    if (width_bits != 8 && width_bits != 16 && width_bits != 32)
        return 0;
    return qport::backend::route_reaches(port, width_bits / 8) ? 1 : 0;
}

extern "C" QPORT_EXPORT int qport_drop_privileges(void)
{
    if (const int error = qport::process::drop_every_capability(); error != 0) {
        errno = error;
        return -1;
    }
    return 0;
}

extern "C" QPORT_EXPORT const char *qport_backend(void) { return qport::backend::name(); }
