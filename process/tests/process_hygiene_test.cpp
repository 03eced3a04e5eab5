// SPDX-License-Identifier: LGPL-2.1-or-later
// Each step is checked in a child process, as the kernel sees it afterwards:
// what it gives up is gone for good, so the test process keeps its own.
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <linux/capability.h>
#include <sys/stat.h>
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

// An install laid out as a prefix: the object in lib/, the page in
// share/doc/; from elsewhere a link to the object. The page is named where
// it lies now; where it is missing, or not a file, or the object is not
// known, the configured path instead.
TEST(InstalledFilePath, FoundFromWhereTheObjectReallyLiesElseTheConfiguredPath)
{
    const ScratchDirectory scratch;
    char real_scratch[PATH_MAX];
    ASSERT_NE(::realpath(scratch.path().c_str(), real_scratch), nullptr);
    const std::string prefix = std::string(real_scratch) + "/moved";
    for (const char *directory :
         {"/moved", "/moved/lib", "/moved/share", "/moved/share/doc", "/moved/share/doc/qport",
          "/moved/share/doc/not-a-file.md", "/links"})
        ASSERT_EQ(::mkdir((scratch.path() + directory).c_str(), 0700), 0) << directory;
    std::ofstream(prefix + "/lib/libqport.so.1") << "";
    std::ofstream(prefix + "/share/doc/qport/real-access.md") << "";
    ASSERT_EQ(::symlink((prefix + "/lib/libqport.so.1").c_str(),
                        (scratch / "links/libqport.so.1").c_str()),
              0);

    const char *configured = "/usr/share/doc/qport/real-access.md";
    const char *page = "../share/doc/qport/real-access.md";
    const struct {
        std::string object;
        const char *relative;
        std::string expected;
    } cases[] = {
        {prefix + "/lib/libqport.so.1", page, prefix + "/share/doc/qport/real-access.md"},
        {scratch / "links/libqport.so.1", page, prefix + "/share/doc/qport/real-access.md"},
        {prefix + "/lib/libqport.so.1", "../share/doc/qport/missing.md", configured},
        {prefix + "/lib/libqport.so.1", "../share/doc/not-a-file.md", configured},
        {prefix + "/lib/missing.so.1", page, configured},
        {"", page, configured},
    };
    for (const auto &c : cases)
        EXPECT_EQ(qport::process::installed_file_path(c.object, c.relative, configured), c.expected)
            << c.object << " + " << c.relative;
}

// A function of the C library lies in that library; an
// address on the stack lies in no loaded object.
TEST(InstalledFilePath, LoadedObjectIsTheLibraryThatHoldsTheAddress)
{
    // Looked up, as this program takes the function's address nowhere else.
    const void *in_libc = ::dlsym(RTLD_DEFAULT, "gnu_get_libc_version");
    ASSERT_NE(in_libc, nullptr);
    const std::string path = qport::process::loaded_object_path(in_libc);
    EXPECT_NE(path.find("/libc.so"), std::string::npos) << path;
    EXPECT_EQ(::access(path.c_str(), R_OK), 0) << path;
    const int on_the_stack = 0;
    EXPECT_EQ(qport::process::loaded_object_path(&on_the_stack), "");
}

} // namespace
