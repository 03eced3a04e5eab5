#include "privileges.h"

#include <cerrno>

#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace quorrel {
namespace {

std::error_code lastError() { return {errno, std::system_category()}; }

std::error_code emptyBoundingSet()
{
    // PR_CAPBSET_READ fails past the last capability this kernel knows.
    for (unsigned long capability = 0; ::prctl(PR_CAPBSET_READ, capability, 0, 0, 0) >= 0;
         ++capability) {
        if (::prctl(PR_CAPBSET_DROP, capability, 0, 0, 0) == 0)
            continue;
        // Without CAP_SETPCAP the set stays; no_new_privs and the empty
        // permitted set already keep every capability out of reach.
        if (errno == EPERM)
            return {};
        return lastError();
    }
    return {};
}

} // namespace

std::error_code dropPrivileges()
{
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        return lastError();
    if (const std::error_code error = emptyBoundingSet())
        return error;
    if (::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) != 0)
        return lastError();
    // libc has no wrapper; emptying all three sets is always allowed.
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct sets[_LINUX_CAPABILITY_U32S_3]{};
    if (::syscall(SYS_capset, &header, sets) != 0)
        return lastError();
    return {};
}

} // namespace quorrel
