// SPDX-License-Identifier: LGPL-2.1-or-later
// The parsers that tell the causes of a refusal apart, on the texts the
// kernel shows.
#include <string>

#include <gtest/gtest.h>

#include "internal.h"
#include "refusal_causes.h"

namespace {

TEST(RefusalCauses, LockdownModeIsTheBracketedOne)
{
    const struct {
        const char *text;
        const char *mode;
    } cases[] = {
        {"[none] integrity confidentiality\n", ""},
        {"none [integrity] confidentiality\n", "integrity"},
        {"none integrity [confidentiality]\n", "confidentiality"},
        {"", ""},                 // no security file system, or no lockdown support
        {"none integrity\n", ""}, // nothing marked active
    };
    for (const auto &c : cases)
        EXPECT_EQ(qport::parse_lockdown_mode(c.text), c.mode) << c.text;
}

TEST(RefusalCauses, OnlyTheIdentityMapIsTheInitialUserNamespace)
{
    const struct {
        const char *text;
        bool user_namespace;
    } cases[] = {
        {"         0          0 4294967295\n", false},
        {"0 1000 1\n", true},              // rootless container: root is uid 1000
        {"0 100000 65536\n", true},        // a subordinate range
        {"0 0 4294967295\n1 1 1\n", true}, // more than the one identity line
        {"0 0 65536\n", true},             // identity, but not the whole range
        {"", false},                       // unreadable: nothing to say
    };
    for (const auto &c : cases)
        EXPECT_EQ(qport::uid_map_is_user_namespace(c.text), c.user_namespace) << c.text;
}

TEST(RefusalCauses, EffectiveCapabilityIsReadFromCapEffOnly)
{
    constexpr unsigned rawio = 17;
    const struct {
        const char *status;
        bool has_rawio;
    } cases[] = {
        {"Name:\tx\nCapPrm:\t0000000000020000\nCapEff:\t0000000000000000\n", false},
        {"Name:\tx\nCapEff:\t0000000000020000\n", true},
        {"CapEff:\t000001ffffffffff\nCapBnd:\t000001ffffffffff\n", true},
        {"CapEff:\t000001fffffdffff\n", false}, // everything but CAP_SYS_RAWIO
        {"CapInh:\t0000000000020000\n", false}, // no CapEff line at all
        {"CapEff:\tgarbage\n", false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(qport::status_has_effective_capability(c.status, rawio), c.has_rawio) << c.status;
}

} // namespace
