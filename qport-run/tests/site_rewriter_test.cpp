// SPDX-License-Identifier: LGPL-2.1-or-later
// The rewriter's pure parts on tables: which instructions it moves and how
// long they are, which port instruction forms it plans to rewrite, which
// trampoline addresses keep a site safe, and where relocated jumps and
// RIP-relative operands of the evicted instructions end up.
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "site_rewriter.h"

namespace {

using qport_run::MovableInstruction;
using qport_run::SitePlan;
using qport_run::StaysTrapped;
using Kind = MovableInstruction::Kind;

struct MovableCase {
    std::string name;
    std::vector<std::uint8_t> bytes;
    std::optional<unsigned> length; // nothing: not moved
    Kind kind = Kind::plain;
};

std::vector<std::uint8_t> padded(std::vector<std::uint8_t> bytes)
{
    bytes.resize(32, 0x90);
    return bytes;
}

TEST(SiteRewriter, MovesTheCommonIntegerInstructionsAtTheirLengths)
{
    const std::vector<MovableCase> cases = {
        {"mov %eax,%ecx", {0x89, 0xC1}, 2},
        {"mov %rax,%rcx", {0x48, 0x89, 0xC1}, 3},
        {"movzbl %al,%eax", {0x0F, 0xB6, 0xC0}, 3},
        {"nopw 0(%rax,%rax)", {0x66, 0x0F, 0x1F, 0x44, 0x00, 0x00}, 6},
        {"nopl 0(%rax)", {0x0F, 0x1F, 0x80, 0, 0, 0, 0}, 7},
        {"mov x(%rip),%eax", {0x8B, 0x05, 1, 2, 3, 4}, 6, Kind::rip_relative},
        {"lea x(%rip),%rcx", {0x48, 0x8D, 0x0D, 1, 2, 3, 4}, 7, Kind::rip_relative},
        {"cmpb $1,x(%rip)", {0x80, 0x3D, 1, 2, 3, 4, 1}, 7, Kind::rip_relative},
        {"sub $1,%eax", {0x83, 0xE8, 0x01}, 3},
        {"add $0x1000,%ecx", {0x81, 0xC1, 0x00, 0x10, 0x00, 0x00}, 6},
        {"add $0x1000,%cx", {0x66, 0x81, 0xC1, 0x00, 0x10}, 5},
        {"movabs $imm64,%rax", {0x48, 0xB8, 1, 2, 3, 4, 5, 6, 7, 8}, 10},
        {"mov $imm32,%eax", {0xB8, 1, 2, 3, 4}, 5},
        {"mov $imm16,%ax", {0x66, 0xB8, 1, 2}, 4},
        {"mov $1,%al", {0xB0, 0x01}, 2},
        {"movb $5,(%rsp)", {0xC6, 0x04, 0x24, 0x05}, 4},
        {"movl $imm32,8(%rsp)", {0xC7, 0x44, 0x24, 0x08, 1, 2, 3, 4}, 8},
        {"mov %eax,0x12345678(,%rbx,4)", {0x89, 0x04, 0x9D, 0x78, 0x56, 0x34, 0x12}, 7},
        {"test $0x80,%ah", {0xF6, 0xC4, 0x80}, 3},
        {"test $1,%al", {0xA8, 0x01}, 2},
        {"cmp $10,%al", {0x3C, 0x0A}, 2},
        {"and $0x7f,%eax", {0x25, 0x7F, 0, 0, 0}, 5},
        {"shl $4,%eax", {0xC1, 0xE0, 0x04}, 3},
        {"inc %eax", {0xFF, 0xC0}, 2},
        {"push %rbx", {0x53}, 1},
        {"pop %r15", {0x41, 0x5F}, 2},
        {"cmove %ecx,%eax", {0x0F, 0x44, 0xC1}, 3},
        {"sete %al", {0x0F, 0x94, 0xC0}, 3},
        {"jne rel8", {0x75, 0xFB}, 2, Kind::conditional_jump},
        {"jne rel32", {0x0F, 0x85, 1, 0, 0, 0}, 6, Kind::conditional_jump},
        {"jmp rel8", {0xEB, 0x10}, 2, Kind::jump},
        {"jmp rel32", {0xE9, 1, 0, 0, 0}, 5, Kind::jump},
        {"ret", {0xC3}, 1, Kind::ends_flow},
        {"jmp *%rax", {0xFF, 0xE0}, 2, Kind::ends_flow},
        {"int3 (padding)", {0xCC}, 1},
        {"cs nopw 0x0(%rax,%rax,1)", {0x2E, 0x66, 0x0F, 0x1F, 0x84, 0, 0, 0, 0, 0}, 10},
        {"data16 cs nopw (padding)", {0x66, 0x2E, 0x0F, 0x1F, 0x84, 0, 0, 0, 0, 0}, 10},
        {"jmp *x(%rip)", {0xFF, 0x25, 1, 2, 3, 4}, std::nullopt},
        {"call *%rax", {0xFF, 0xD0}, std::nullopt},
        {"call rel32", {0xE8, 1, 2, 3, 4}, std::nullopt},
        {"neg %eax", {0xF7, 0xD8}, std::nullopt},
        {"div %ecx", {0xF7, 0xF1}, std::nullopt},
        {"pause", {0xF3, 0x90}, std::nullopt},
        {"lock add", {0xF0, 0x01, 0x08}, std::nullopt},
        {"fs: mov", {0x64, 0x8B, 0x00}, std::nullopt},
        {"syscall", {0x0F, 0x05}, std::nullopt},
        {"int $0x80", {0xCD, 0x80}, std::nullopt},
        {"lea with a register operand", {0x8D, 0xC0}, std::nullopt},
        {"in %dx,%al", {0xEC}, std::nullopt},
        {"movaps %xmm0,%xmm1", {0x0F, 0x28, 0xC8}, std::nullopt},
    };
    for (const MovableCase &c : cases) {
        const std::vector<std::uint8_t> bytes = padded(c.bytes);
        const std::optional<MovableInstruction> decoded = qport_run::decode_movable(bytes.data());
        ASSERT_EQ(decoded.has_value(), c.length.has_value()) << c.name;
        if (!decoded)
            continue;
        EXPECT_EQ(decoded->length, *c.length) << c.name;
        EXPECT_EQ(decoded->kind, c.kind) << c.name;
    }
}

// What follows each port instruction in the plans below: two moves (3
// bytes each) and a ret.
const std::vector<std::uint8_t> moves = {0x48, 0x89, 0xC1, 0x48, 0x89, 0xC8, 0xC3};

struct FormCase {
    std::string name;
    std::vector<std::uint8_t> form;
    std::optional<StaysTrapped> stays; // nothing: planned
};

TEST(SiteRewriter, PlansThePlainFormsOnlyWithPrefixesLeftTrapped)
{
    const std::vector<FormCase> cases = {
        {"in %dx,%al", {0xEC}, {}},
        {"in %dx,%ax", {0x66, 0xED}, {}},
        {"in %dx,%eax", {0xED}, {}},
        {"out %al,%dx", {0xEE}, {}},
        {"out %ax,%dx", {0x66, 0xEF}, {}},
        {"out %eax,%dx", {0xEF}, {}},
        {"in $0x80,%al", {0xE4, 0x80}, {}},
        {"in $0x80,%ax", {0x66, 0xE5, 0x80}, {}},
        {"in $0x80,%eax", {0xE5, 0x80}, {}},
        {"out %al,$0x80", {0xE6, 0x80}, {}},
        {"out %ax,$0x80", {0x66, 0xE7, 0x80}, {}},
        {"out %eax,$0x80", {0xE7, 0x80}, {}},
        {"insb", {0x6C}, StaysTrapped::form},
        {"rep outsw", {0xF3, 0x66, 0x6F}, StaysTrapped::form},
        {"REX.W in", {0x48, 0xED}, StaysTrapped::form},
        {"segment prefix", {0x2E, 0xEC}, StaysTrapped::form},
        {"66 66 in", {0x66, 0x66, 0xED}, StaysTrapped::form},
        {"not a port instruction", {0x90}, StaysTrapped::form},
    };
    constexpr std::uint64_t site = 0x401000;
    for (const FormCase &c : cases) {
        std::vector<std::uint8_t> bytes = c.form;
        bytes.insert(bytes.end(), moves.begin(), moves.end());
        bytes = padded(bytes);
        const qport_run::Planned planned = qport_run::plan_site(site, bytes.data(), bytes.size());
        if (c.stays) {
            EXPECT_FALSE(planned.plan) << c.name;
            EXPECT_EQ(planned.reason, *c.stays) << c.name;
            continue;
        }
        ASSERT_TRUE(planned.plan) << c.name;
        const SitePlan &plan = *planned.plan;
        EXPECT_EQ(plan.instruction.length, c.form.size()) << c.name;
        // Evicted up to the jump's end, and no further.
        EXPECT_GE(plan.covered, qport_run::jump_length) << c.name;
        EXPECT_LT(plan.evicted_at.at(plan.evicted_count - 1), qport_run::jump_length) << c.name;
        EXPECT_EQ(plan.evicted_at[0], c.form.size()) << c.name;
    }
}

TEST(SiteRewriter, LeavesSitesItCannotProveSafeTrapped)
{
    constexpr std::uint64_t site = 0x401000;
    const std::vector<std::pair<std::vector<std::uint8_t>, StaysTrapped>> cases = {
        {{0xEC, 0xE8, 1, 2, 3, 4}, StaysTrapped::neighbour},       // call follows
        {{0xEC, 0xCC, 0x90, 0x90, 0x90}, StaysTrapped::neighbour}, // int3 reached
        {{0xEC, 0x0F, 0x05}, StaysTrapped::neighbour},             // syscall
    };
    for (const auto &[code, reason] : cases) {
        const std::vector<std::uint8_t> bytes = padded(code);
        const qport_run::Planned planned = qport_run::plan_site(site, bytes.data(), bytes.size());
        EXPECT_FALSE(planned.plan);
        EXPECT_EQ(planned.reason, reason);
    }
    // int3 after a ret is padding; the bytes end with the mapping.
    const std::vector<std::uint8_t> padding = padded({0xEC, 0xC3, 0xCC, 0xCC, 0xCC});
    EXPECT_TRUE(qport_run::plan_site(site, padding.data(), padding.size()).plan);
    EXPECT_EQ(qport_run::plan_site(site, padding.data(), 3).reason, StaysTrapped::page_boundary);
    // A port accessor as compilers write it: the instruction, ret, then the
    // long NOP that pads up to the next function.
    const std::vector<std::uint8_t> accessor =
        padded({0xEE, 0xC3, 0x2E, 0x66, 0x0F, 0x1F, 0x84, 0, 0, 0, 0, 0});
    EXPECT_TRUE(qport_run::plan_site(site, accessor.data(), accessor.size()).plan);
    // The jump's bytes may not reach into the next page.
    const std::vector<std::uint8_t> bytes = padded({0xEC, 0x48, 0x89, 0xC1, 0x48, 0x89, 0xC8});
    EXPECT_EQ(qport_run::plan_site(0x401FFD, bytes.data(), bytes.size()).reason,
              StaysTrapped::page_boundary);
}

SitePlan plan_of(std::uint64_t site, std::vector<std::uint8_t> code)
{
    code = padded(code);
    const qport_run::Planned planned = qport_run::plan_site(site, code.data(), code.size());
    EXPECT_TRUE(planned.plan);
    return planned.plan.value_or(SitePlan{});
}

// The displacement's bytes on evicted instructions' first bytes (here at
// 1 and 4 after the site) must be EC..EF; others are free.
TEST(SiteRewriter, TrampolineAddressesKeepEveryReplacedStartTrapping)
{
    constexpr std::uint64_t site = 0x555555556000;
    std::vector<std::uint8_t> code = {0xEC};
    code.insert(code.end(), moves.begin(), moves.end());
    const SitePlan plan = plan_of(site, code);
    auto target = [&](std::uint32_t displacement) {
        return site + 5 +
               static_cast<std::uint64_t>(
                   static_cast<std::int64_t>(static_cast<std::int32_t>(displacement)));
    };
    EXPECT_TRUE(qport_run::target_allowed(plan, target(0xEF1234EC)));
    EXPECT_TRUE(qport_run::target_allowed(plan, target(0xEC0000ED)));
    EXPECT_FALSE(qport_run::target_allowed(plan, target(0xEF1234EB)));
    EXPECT_FALSE(qport_run::target_allowed(plan, target(0x001234EC)));
    EXPECT_FALSE(qport_run::target_allowed(plan, site + (std::uint64_t{1} << 32U)));

    // After 66, the displacement's first byte keeps the site a port
    // instruction while it is written.
    std::vector<std::uint8_t> prefixed = {0x66, 0xE5, 0x80};
    prefixed.insert(prefixed.end(), moves.begin(), moves.end());
    const SitePlan prefixed_plan = plan_of(site, prefixed);
    EXPECT_TRUE(qport_run::target_allowed(prefixed_plan, target(0x00EC00E5)));
    EXPECT_FALSE(qport_run::target_allowed(prefixed_plan, target(0x00EC0012)));
    EXPECT_FALSE(qport_run::target_allowed(prefixed_plan, target(0x001200E5)));
}

// A rel32 at at, sign-extended, for address arithmetic that wraps.
std::uint64_t relative_at(const std::uint8_t *at)
{
    std::int32_t value = 0;
    std::memcpy(&value, at, sizeof value);
    return static_cast<std::uint64_t>(static_cast<std::int64_t>(value));
}

// A polling loop: in, test, jne back to the in. The jne's copy jumps to
// the site (now the jump to the trampoline); a jump to an evicted
// instruction goes to its copy; a RIP-relative operand reaches what it
// reached before; the refused path ends in the port instruction itself.
TEST(SiteRewriter, TrampolinesRelocateJumpsAndRipRelativeOperands)
{
    constexpr std::uint64_t site = 0x555555556000;
    constexpr std::uint64_t trampoline = 0x555545556000;
    // in; test $0x80,%al; jne -5 (to the site)
    const SitePlan loop = plan_of(site, {0xEC, 0xA8, 0x80, 0x75, 0xFB, 0xC3});
    ASSERT_EQ(loop.evicted_count, 2U);
    std::vector<std::uint8_t> out(qport_run::longest_trampoline);
    const auto layout = qport_run::build_trampoline(loop, trampoline, 0x1234, 0x5678,
                                                    qport_run::VectorRegisters::avx, out.data());
    ASSERT_TRUE(layout);
    const std::uint8_t *jne = out.data() + layout->evicted_copy_at[1];
    EXPECT_EQ(jne[0], 0x0F);
    EXPECT_EQ(jne[1], 0x85);
    EXPECT_EQ(trampoline + layout->evicted_copy_at[1] + 6 + relative_at(jne + 2), site);
    // Then back to the first instruction not evicted.
    const std::uint8_t *back = jne + 6;
    EXPECT_EQ(back[0], 0xE9);
    EXPECT_EQ(trampoline + static_cast<std::uint64_t>(back - out.data()) + 5 +
                  relative_at(back + 1),
              site + loop.covered);
    EXPECT_EQ(out[layout->refused_copy_at], 0xEC);

    // in; mov x(%rip),%ecx: the operand reaches what it reached before.
    const SitePlan load_plan = plan_of(site, {0xEC, 0x8B, 0x0D, 0x10, 0, 0, 0});
    const auto load_layout = qport_run::build_trampoline(
        load_plan, trampoline, 0, 0, qport_run::VectorRegisters::avx512, out.data());
    ASSERT_TRUE(load_layout);
    const std::uint8_t *load = out.data() + load_layout->evicted_copy_at[0];
    EXPECT_EQ(load[0], 0x8B);
    EXPECT_EQ(trampoline + load_layout->evicted_copy_at[0] + 6 + relative_at(load + 2),
              site + 7 + 0x10);

    // A jump among the evicted instructions lands on the copy.
    const SitePlan inner = plan_of(site, {0xEC, 0x74, 0x00, 0x90, 0x90, 0xC3});
    const auto inner_layout = qport_run::build_trampoline(
        inner, trampoline, 0, 0, qport_run::VectorRegisters::sse, out.data());
    ASSERT_TRUE(inner_layout);
    const std::uint8_t *je = out.data() + inner_layout->evicted_copy_at[0];
    EXPECT_EQ(trampoline + inner_layout->evicted_copy_at[0] + 6 + relative_at(je + 2),
              trampoline + inner_layout->evicted_copy_at[1]);
    // A RIP-relative operand out of reach from the trampoline: no trampoline.
    const SitePlan far = plan_of(site, {0xEC, 0x8B, 0x0D, 0xF0, 0xFF, 0xFF, 0x7F});
    EXPECT_FALSE(qport_run::build_trampoline(far, site - 0x7FFF0000, 0, 0,
                                             qport_run::VectorRegisters::sse, out.data()));
}

} // namespace
