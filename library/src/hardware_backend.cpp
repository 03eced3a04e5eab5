// Access to the real port space: asking the kernel, per thread.
//
// ioperm() grants the calling thread a permission bitmap that threads it
// creates afterwards inherit. The library asks for all 65536 ports when it
// is loaded; a thread whose own permission is unknown (one that existed
// before a dlopen, or any thread on its first transfer) asks again for
// itself before its first transfer, so no thread ever executes a port
// instruction it has no permission for.
#include <cerrno>

#if defined(__x86_64__) || defined(__i386__)
#include <sys/io.h>
#endif

#include "backend.h"
#include "internal.h"

namespace qport::backend {

constinit thread_local unsigned char thread_access_state
    __attribute__((tls_model("initial-exec"))) = not_asked;

namespace {

// Decided once at load and read-only afterwards.
Access process_access;
constinit thread_local Access refused_thread_access;

[[maybe_unused]] qport_access classify_refusal(int error)
{
    switch (error) {
    case ENOSYS:
        return QPORT_ACCESS_NO_KERNEL_SUPPORT;
    case EPERM:
        if (!lockdown_mode().empty())
            return QPORT_ACCESS_LOCKDOWN;
        if (in_user_namespace())
            return QPORT_ACCESS_USER_NAMESPACE;
        if (!has_rawio_capability())
            return QPORT_ACCESS_NO_PRIVILEGE;
        return QPORT_ACCESS_OTHER;
    default:
        return QPORT_ACCESS_OTHER;
    }
}

Access request_from_kernel()
{
#if defined(__x86_64__) || defined(__i386__)
    if (::ioperm(0, 0x10000, 1) == 0)
        return {};
    const int error = errno;
    return {classify_refusal(error), error};
#else
    return {QPORT_ACCESS_NOT_X86, 0};
#endif
}

void settle_thread(const Access &access)
{
    refused_thread_access = access;
    thread_access_state = access.cause == QPORT_ACCESS_GRANTED ? granted : refused;
}

// Plays the part of the library's entry function: access for all ports,
// once, when the library is loaded. Nothing needs tearing down.
__attribute__((constructor)) void request_access_at_load()
{
    process_access = request_from_kernel();
    settle_thread(process_access);
}

} // namespace

Access thread_access()
{
    if (thread_access_state == not_asked) {
        // A refusal at load holds for every thread: asking again would only
        // repeat it.
        settle_thread(process_access.cause == QPORT_ACCESS_GRANTED ? request_from_kernel()
                                                                   : process_access);
    }
    // The parallel port without root, looked for at the first query.
    return widened_by_parport_route(refused_thread_access);
}

const char *name() { return "hardware"; }

} // namespace qport::backend
