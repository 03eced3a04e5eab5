// SPDX-License-Identifier: LGPL-2.1-or-later
// Each step is checked in a child process, as the kernel sees it afterwards:
// what it gives up is gone for good, so the test process keeps its own.
#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "child_process.h"
#include "process_hygiene.h"

namespace {

struct Sets {
    std::uint64_t effective = 0, permitted = 0, inheritable = 0;
};

Sets capability_sets()
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
    if (::syscall(SYS_capget, &header, data) != 0)
        return {~0ULL, ~0ULL, ~0ULL};
    auto joined = [&](auto member) {
        return static_cast<std::uint64_t>(data[1].*member) << 32 | data[0].*member;
    };
    return {joined(&__user_cap_data_struct::effective), joined(&__user_cap_data_struct::permitted),
            joined(&__user_cap_data_struct::inheritable)};
}

bool bounding_set_empty()
{
    for (unsigned long capability = 0; ::prctl(PR_CAPBSET_READ, capability, 0, 0, 0) >= 0;
         ++capability) {
        if (::prctl(PR_CAPBSET_READ, capability, 0, 0, 0) == 1)
            return false;
    }
    return true;
}

constexpr std::uint64_t rawio = 1ULL << CAP_SYS_RAWIO;

TEST(ProcessHygiene, DroppingEveryCapabilityLeavesNoneAndNoWayBack)
{
    EXPECT_EQ(in_child([] {
                  if (qport::process::drop_every_capability() != 0)
                      return 1;
                  const Sets sets = capability_sets();
                  if (sets.effective != 0 || sets.permitted != 0 || sets.inheritable != 0)
                      return 2;
                  if (::prctl(PR_GET_NO_NEW_PRIVS, 0, 0, 0, 0) != 1)
                      return 3;
                  // Root may lower the bounding set, and must have.
                  if (::geteuid() == 0 && !bounding_set_empty())
                      return 4;
                  return 0;
              }),
              0);
}

TEST(ProcessHygiene, DroppingOneCapabilityKeepsTheOthers)
{
    const Sets before = capability_sets();
    EXPECT_EQ(in_child([&] {
                  if (qport::process::drop_capability(CAP_SYS_RAWIO) != 0)
                      return 1;
                  const Sets sets = capability_sets();
                  if (((sets.effective | sets.permitted | sets.inheritable) & rawio) != 0)
                      return 2;
                  if (sets.permitted != (before.permitted & ~rawio))
                      return 3;
                  if (::prctl(PR_CAPBSET_READ, CAP_SYS_RAWIO, 0, 0, 0) == 1 &&
                      ::prctl(PR_GET_NO_NEW_PRIVS, 0, 0, 0, 0) != 1)
                      return 4;
                  return 0;
              }),
              0);
}

TEST(ProcessHygiene, GivingUpPortPermissionNeedsNoPrivilege)
{
    EXPECT_EQ(in_child([] {
                  if (qport::process::drop_every_capability() != 0)
                      return 1;
                  return qport::process::give_up_port_permission() == 0 ? 0 : 2;
              }),
              0);
}

TEST(ProcessHygiene, OwnPathIsThisProgram)
{
    const std::string path = qport::process::own_path();
    ASSERT_FALSE(path.empty());
    EXPECT_EQ(path.front(), '/');
    EXPECT_TRUE(path.ends_with("/process_hygiene_test")) << path;
}

} // namespace
