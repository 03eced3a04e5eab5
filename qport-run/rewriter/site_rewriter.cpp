// SPDX-License-Identifier: LGPL-2.1-or-later
#include "site_rewriter.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <cpuid.h>
#include <fcntl.h>
#include <linux/membarrier.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

// site_trampoline.S
#define QPORT_RUN_PIECE(name)                                                                      \
    extern const std::uint8_t qport_run_trampoline_##name[];                                       \
    extern const std::uint8_t qport_run_trampoline_##name##_end[];
extern "C" {
QPORT_RUN_PIECE(save)
QPORT_RUN_PIECE(call)
QPORT_RUN_PIECE(leave)
QPORT_RUN_PIECE(restore)
QPORT_RUN_PIECE(save_sse)
QPORT_RUN_PIECE(restore_sse)
QPORT_RUN_PIECE(save_avx)
QPORT_RUN_PIECE(restore_avx)
QPORT_RUN_PIECE(save_avx512)
QPORT_RUN_PIECE(restore_avx512)
extern const std::uint8_t qport_run_trampoline_record[];
extern const std::uint8_t qport_run_trampoline_entry[];
extern const std::uint8_t qport_run_trampoline_state_size[];
extern const std::uint8_t qport_run_trampoline_refused[];
}
#undef QPORT_RUN_PIECE

namespace qport_run {

// ---------------------------------------------------------------- instructions that move
namespace {

constexpr std::uint8_t opcode_jmp_rel32 = 0xE9;

std::int32_t read_32(const std::uint8_t *at)
{
    std::int32_t value = 0;
    std::memcpy(&value, at, sizeof value);
    return value;
}

bool is_one_byte_port_opcode(std::uint8_t byte) { return byte >= 0xEC && byte <= 0xEF; }

// The ModRM operand at code[at] (with SIB and displacement) and then
// immediate bytes: the instruction's length, or nothing past the longest.
std::optional<MovableInstruction> with_modrm(const std::uint8_t *code, std::size_t at,
                                             unsigned immediate, MovableInstruction result)
{
    const std::uint8_t modrm = code[at++];
    const unsigned mod = modrm >> 6U;
    const unsigned rm = modrm & 7U;
    if (mod != 3 && rm == 4) {
        const std::uint8_t sib = code[at++];
        if (mod == 0 && (sib & 7U) == 5)
            at += 4;
    }
    if (mod == 0 && rm == 5) {
        result.kind = MovableInstruction::Kind::rip_relative;
        result.displacement_at = static_cast<std::uint8_t>(at);
        at += 4;
    } else if (mod == 1) {
        at += 1;
    } else if (mod == 2) {
        at += 4;
    }
    at += immediate;
    if (at > longest_instruction)
        return std::nullopt;
    result.length = static_cast<std::uint8_t>(at);
    return result;
}

unsigned modrm_reg(const std::uint8_t *code, std::size_t at) { return (code[at] >> 3U) & 7U; }
bool modrm_register_only(const std::uint8_t *code, std::size_t at) { return code[at] >> 6U == 3; }

std::optional<MovableInstruction> jump(std::size_t at, int width, std::int64_t relative,
                                       MovableInstruction::Kind kind, std::uint8_t condition)
{
    MovableInstruction result;
    result.kind = kind;
    result.length = static_cast<std::uint8_t>(at + static_cast<std::size_t>(width));
    result.relative = relative;
    result.condition = condition;
    return result;
}

std::optional<MovableInstruction> two_byte(const std::uint8_t *code, std::size_t at)
{
    const std::uint8_t opcode = code[at++];
    if (opcode >= 0x80 && opcode <= 0x8F)
        return jump(at, 4, read_32(code + at), MovableInstruction::Kind::conditional_jump,
                    opcode & 0x0FU);
    const bool with_operand =
        opcode == 0x1F || opcode == 0xAF || opcode == 0xB6 || opcode == 0xB7 || opcode == 0xBE ||
        opcode == 0xBF || (opcode >= 0x40 && opcode <= 0x4F) || (opcode >= 0x90 && opcode <= 0x9F);
    if (!with_operand)
        return std::nullopt;
    return with_modrm(code, at, 0, {});
}

} // namespace

std::optional<MovableInstruction> decode_movable(const std::uint8_t *code)
{
    std::size_t at = 0;
    bool operand_16 = false;
    // The operand-size prefix, and CS overrides, which 64-bit code ignores
    // and compilers put in front of the long NOPs that pad functions.
    for (; at < 4 && (code[at] == 0x66 || code[at] == 0x2E); ++at)
        operand_16 = operand_16 || code[at] == 0x66;
    std::uint8_t rex = 0;
    if ((code[at] & 0xF0U) == 0x40) {
        rex = code[at];
        ++at;
    }
    const bool rex_w = (rex & 8U) != 0;
    const unsigned immediate_z = operand_16 && !rex_w ? 2 : 4;
    const std::uint8_t opcode = code[at++];
    using Kind = MovableInstruction::Kind;
    MovableInstruction one_byte;
    one_byte.length = static_cast<std::uint8_t>(at);

    if (opcode < 0x40) {
        switch (opcode & 7U) {
        case 0:
        case 1:
        case 2:
        case 3:
            return with_modrm(code, at, 0, {});
        case 4:
            one_byte.length = static_cast<std::uint8_t>(at + 1);
            return one_byte;
        case 5:
            one_byte.length = static_cast<std::uint8_t>(at + immediate_z);
            return one_byte;
        default:
            return opcode == 0x0F ? two_byte(code, at) : std::nullopt;
        }
    }
    if (opcode >= 0x50 && opcode <= 0x5F)
        return one_byte;
    if (opcode >= 0x70 && opcode <= 0x7F)
        return jump(at, 1, static_cast<std::int8_t>(code[at]), Kind::conditional_jump,
                    opcode & 0x0FU);
    if (opcode >= 0x90 && opcode <= 0x99)
        return one_byte;
    if (opcode >= 0xB0 && opcode <= 0xB7) {
        one_byte.length = static_cast<std::uint8_t>(at + 1);
        return one_byte;
    }
    if (opcode >= 0xB8 && opcode <= 0xBF) {
        one_byte.length = static_cast<std::uint8_t>(at + (rex_w ? 8 : immediate_z));
        return one_byte;
    }
    switch (opcode) {
    case 0x63:
    case 0x84:
    case 0x85:
    case 0x86:
    case 0x87:
    case 0x88:
    case 0x89:
    case 0x8A:
    case 0x8B:
    case 0xD0:
    case 0xD1:
    case 0xD2:
    case 0xD3:
        return with_modrm(code, at, 0, {});
    case 0x8D:
        if (modrm_register_only(code, at))
            return std::nullopt;
        return with_modrm(code, at, 0, {});
    case 0x68:
        one_byte.length = static_cast<std::uint8_t>(at + immediate_z);
        return one_byte;
    case 0x6A:
    case 0xA8:
        one_byte.length = static_cast<std::uint8_t>(at + 1);
        return one_byte;
    case 0xA9:
        one_byte.length = static_cast<std::uint8_t>(at + immediate_z);
        return one_byte;
    case 0x69:
    case 0x81:
        return with_modrm(code, at, immediate_z, {});
    case 0x6B:
    case 0x80:
    case 0x83:
    case 0xC0:
    case 0xC1:
        return with_modrm(code, at, 1, {});
    case 0xC6:
        return modrm_reg(code, at) == 0 ? with_modrm(code, at, 1, {}) : std::nullopt;
    case 0xC7:
        return modrm_reg(code, at) == 0 ? with_modrm(code, at, immediate_z, {}) : std::nullopt;
    case 0xF6:
        return modrm_reg(code, at) == 0 ? with_modrm(code, at, 1, {}) : std::nullopt;
    case 0xF7:
        return modrm_reg(code, at) == 0 ? with_modrm(code, at, immediate_z, {}) : std::nullopt;
    case 0xFE:
        return modrm_reg(code, at) <= 1 ? with_modrm(code, at, 0, {}) : std::nullopt;
    case 0xFF: {
        const unsigned reg = modrm_reg(code, at);
        if (reg <= 1 || reg == 6)
            return with_modrm(code, at, 0, {});
        if (reg != 4)
            return std::nullopt;
        MovableInstruction indirect;
        indirect.kind = Kind::ends_flow;
        const auto decoded = with_modrm(code, at, 0, indirect);
        // Through a RIP-relative pointer: not moved.
        if (!decoded || decoded->kind != Kind::ends_flow)
            return std::nullopt;
        return decoded;
    }
    case 0xC3:
        one_byte.kind = Kind::ends_flow;
        return one_byte;
    case 0xC9:
    case 0xCC:
        return one_byte;
    case 0xE9:
        return jump(at, 4, read_32(code + at), Kind::jump, 0);
    case 0xEB:
        return jump(at, 1, static_cast<std::int8_t>(code[at]), Kind::jump, 0);
    default:
        return std::nullopt;
    }
}

// ---------------------------------------------------------------- the plan for one site
const char *describe(StaysTrapped reason)
{
    switch (reason) {
    case StaysTrapped::form:
        return "a form that stays trapped (string, prefixed or 32-bit)";
    case StaysTrapped::neighbour:
        return "an instruction after it that cannot be moved";
    case StaysTrapped::page_boundary:
        return "across a page boundary";
    case StaysTrapped::mapping:
        return "not in a read-only file-backed mapping";
    case StaysTrapped::no_trampoline:
        return "no free address for its trampoline";
    case StaysTrapped::code_not_writable:
        return "code not writable through /proc/self/mem";
    case StaysTrapped::traced:
        return "under a debugger";
    case StaysTrapped::full:
        return "the table of sites is full";
    case StaysTrapped::count_of_reasons:
        break;
    }
    return "";
}

Planned plan_site(std::uint64_t site, const std::uint8_t *code, std::size_t available)
{
    Planned planned;
    std::array<std::uint8_t, longest_instruction + jump_length> bytes{};
    std::memcpy(bytes.data(), code, std::min(available, bytes.size()));
    // Only the plain forms: [66] EC..EF, [66] E4..E7 ib.
    const std::size_t opcode_at = bytes[0] == 0x66 ? 1 : 0;
    const std::uint8_t opcode = bytes[opcode_at];
    const bool immediate = opcode >= 0xE4 && opcode <= 0xE7;
    if (!immediate && !is_one_byte_port_opcode(opcode))
        return planned;
    const std::optional<PortInstruction> instruction = decode(bytes.data());
    if (!instruction || instruction->length != opcode_at + (immediate ? 2 : 1) ||
        instruction->length > available)
        return planned;
    SitePlan plan;
    plan.site = site;
    plan.instruction = *instruction;
    plan.original = bytes;
    plan.covered = instruction->length;
    bool falls_through = true;
    while (plan.covered < jump_length) {
        const std::optional<MovableInstruction> next = decode_movable(bytes.data() + plan.covered);
        // int3 only as padding after code that does not fall into it.
        if (!next || (bytes[plan.covered] == 0xCC && falls_through)) {
            planned.reason = StaysTrapped::neighbour;
            return planned;
        }
        if (plan.covered + next->length > available) {
            planned.reason = StaysTrapped::page_boundary;
            return planned;
        }
        plan.evicted.at(plan.evicted_count) = *next;
        plan.evicted_at.at(plan.evicted_count) = static_cast<std::uint8_t>(plan.covered);
        ++plan.evicted_count;
        plan.covered += next->length;
        // Padding after code that does not fall through is padding too.
        if (bytes[plan.evicted_at.at(plan.evicted_count - 1)] != 0xCC)
            falls_through = next->kind != MovableInstruction::Kind::jump &&
                            next->kind != MovableInstruction::Kind::ends_flow;
    }
    if (site / page_size != (site + plan.covered - 1) / page_size) {
        planned.reason = StaysTrapped::page_boundary;
        return planned;
    }
    planned.plan = plan;
    return planned;
}

namespace {

// Whether the displacement's bytes at positions from..to (1 to 4, counted
// from the site) keep the site safe.
bool displacement_bytes_allowed(const SitePlan &plan, std::uint32_t bits, unsigned from,
                                unsigned to)
{
    for (unsigned position = from; position <= to; ++position) {
        const auto byte = static_cast<std::uint8_t>(bits >> (8 * (position - 1)));
        bool start = false;
        for (unsigned i = 0; i < plan.evicted_count; ++i)
            start = start || plan.evicted_at[i] == position;
        if (start && !is_one_byte_port_opcode(byte))
            return false;
        // The opcode after 66 stays a port opcode while the bytes change.
        if (position == 1 && plan.original[0] == 0x66 && !is_one_byte_port_opcode(byte) &&
            !(byte >= 0xE4 && byte <= 0xE7))
            return false;
    }
    return true;
}

} // namespace

bool target_allowed(const SitePlan &plan, std::uint64_t target)
{
    const auto displacement = static_cast<std::int64_t>(target - (plan.site + jump_length));
    if (displacement < INT32_MIN || displacement > INT32_MAX)
        return false;
    return displacement_bytes_allowed(plan, static_cast<std::uint32_t>(displacement), 1,
                                      jump_length - 1);
}

// ---------------------------------------------------------------- trampolines
namespace {

std::size_t relocated_length(const MovableInstruction &instruction)
{
    switch (instruction.kind) {
    case MovableInstruction::Kind::jump:
        return jump_length;
    case MovableInstruction::Kind::conditional_jump:
        return 6;
    default:
        return instruction.length;
    }
}

bool fits_32(std::int64_t value) { return value >= INT32_MIN && value <= INT32_MAX; }

void write_32(std::uint8_t *at, std::int64_t value)
{
    const auto narrow = static_cast<std::int32_t>(value);
    std::memcpy(at, &narrow, sizeof narrow);
}

} // namespace

namespace {

struct Piece {
    const std::uint8_t *begin;
    const std::uint8_t *end;
    std::size_t length() const { return static_cast<std::size_t>(end - begin); }
};

#define QPORT_RUN_PIECE(name)                                                                      \
    Piece { qport_run_trampoline_##name, qport_run_trampoline_##name##_end }

struct VectorPieces {
    Piece save, restore;
    std::uint32_t bytes; // on the stack, a multiple of 64
};

VectorPieces vector_pieces(VectorRegisters registers)
{
    switch (registers) {
    case VectorRegisters::sse:
        return {QPORT_RUN_PIECE(save_sse), QPORT_RUN_PIECE(restore_sse), 320};
    case VectorRegisters::avx:
        return {QPORT_RUN_PIECE(save_avx), QPORT_RUN_PIECE(restore_avx), 576};
    case VectorRegisters::avx512:
        break;
    }
    return {QPORT_RUN_PIECE(save_avx512), QPORT_RUN_PIECE(restore_avx512), 2176};
}

std::uint8_t *put(std::uint8_t *out, const Piece &piece)
{
    std::memcpy(out, piece.begin, piece.length());
    return out + piece.length();
}

} // namespace

std::optional<TrampolineLayout> build_trampoline(const SitePlan &plan, std::uint64_t address,
                                                 std::uint64_t record, std::uint64_t entry,
                                                 VectorRegisters registers, std::uint8_t *out)
{
    const Piece save = QPORT_RUN_PIECE(save);
    const Piece call = QPORT_RUN_PIECE(call);
    const Piece leave = QPORT_RUN_PIECE(leave);
    const Piece restore = QPORT_RUN_PIECE(restore);
    const VectorPieces vectors = vector_pieces(registers);
    const std::size_t save_length = save.length() + vectors.save.length() + call.length() +
                                    vectors.restore.length() + leave.length();
    const std::size_t restore_length = restore.length();
    TrampolineLayout layout;
    std::size_t at = save_length + restore_length;
    for (unsigned i = 0; i < plan.evicted_count; ++i) {
        layout.evicted_copy_at.at(i) = static_cast<std::uint16_t>(at);
        at += relocated_length(plan.evicted[i]);
    }
    const MovableInstruction &last = plan.evicted.at(plan.evicted_count - 1);
    const bool falls_through = last.kind != MovableInstruction::Kind::jump &&
                               last.kind != MovableInstruction::Kind::ends_flow;
    const std::size_t refused_at = at + (falls_through ? jump_length : 0);
    layout.refused_copy_at = static_cast<std::uint16_t>(refused_at + restore_length);
    layout.length = layout.refused_copy_at + plan.instruction.length + jump_length;
    if (layout.length > longest_trampoline)
        return std::nullopt;

    // Where a jump from an evicted instruction lands: at its copy when it
    // is one of the evicted ones.
    auto moved = [&](std::uint64_t target) -> std::optional<std::uint64_t> {
        if (target <= plan.site || target >= plan.site + plan.covered)
            return target;
        for (unsigned i = 0; i < plan.evicted_count; ++i) {
            if (target == plan.site + plan.evicted_at[i])
                return address + layout.evicted_copy_at[i];
        }
        return std::nullopt;
    };
    auto relative_to = [&](std::size_t end, std::uint64_t target) {
        return static_cast<std::int64_t>(target - (address + end));
    };

    std::uint8_t *at_piece = put(out, save);
    std::memcpy(out + (qport_run_trampoline_state_size - save.begin), &vectors.bytes,
                sizeof vectors.bytes);
    at_piece = put(at_piece, vectors.save);
    std::uint8_t *const call_at = at_piece;
    at_piece = put(at_piece, call);
    std::memcpy(call_at + (qport_run_trampoline_record - call.begin), &record, sizeof record);
    std::memcpy(call_at + (qport_run_trampoline_entry - call.begin), &entry, sizeof entry);
    at_piece = put(at_piece, vectors.restore);
    std::uint8_t *const leave_at = at_piece;
    put(at_piece, leave);
    write_32(leave_at + (qport_run_trampoline_refused - leave.begin),
             static_cast<std::int64_t>(refused_at - save_length));
    put(out + save_length, restore);

    for (unsigned i = 0; i < plan.evicted_count; ++i) {
        const MovableInstruction &instruction = plan.evicted[i];
        const std::uint8_t *original = plan.original.data() + plan.evicted_at[i];
        const std::uint64_t original_end = plan.site + plan.evicted_at[i] + instruction.length;
        std::uint8_t *copy = out + layout.evicted_copy_at[i];
        const std::size_t copy_at = layout.evicted_copy_at[i];
        switch (instruction.kind) {
        case MovableInstruction::Kind::plain:
        case MovableInstruction::Kind::ends_flow:
            std::memcpy(copy, original, instruction.length);
            break;
        case MovableInstruction::Kind::rip_relative: {
            std::memcpy(copy, original, instruction.length);
            const std::int64_t displacement =
                read_32(original + instruction.displacement_at) +
                static_cast<std::int64_t>(original_end - (address + copy_at + instruction.length));
            if (!fits_32(displacement))
                return std::nullopt;
            write_32(copy + instruction.displacement_at, displacement);
            break;
        }
        case MovableInstruction::Kind::jump:
        case MovableInstruction::Kind::conditional_jump: {
            const auto target =
                moved(original_end + static_cast<std::uint64_t>(instruction.relative));
            if (!target)
                return std::nullopt;
            const std::size_t length = relocated_length(instruction);
            const std::int64_t relative = relative_to(copy_at + length, *target);
            if (!fits_32(relative))
                return std::nullopt;
            if (instruction.kind == MovableInstruction::Kind::jump) {
                copy[0] = opcode_jmp_rel32;
            } else {
                copy[0] = 0x0F;
                copy[1] = static_cast<std::uint8_t>(0x80U | instruction.condition);
            }
            write_32(copy + length - 4, relative);
            break;
        }
        }
    }
    auto jump_to = [&](std::size_t at_offset, std::uint64_t target) {
        const std::int64_t relative = relative_to(at_offset + jump_length, target);
        out[at_offset] = opcode_jmp_rel32;
        write_32(out + at_offset + 1, relative);
        return fits_32(relative);
    };
    if (falls_through && !jump_to(at, plan.site + plan.covered))
        return std::nullopt;
    put(out + refused_at, restore);
    std::memcpy(out + layout.refused_copy_at, plan.original.data(), plan.instruction.length);
    if (!jump_to(layout.refused_copy_at + plan.instruction.length, plan.site))
        return std::nullopt;
    return layout;
}

// ---------------------------------------------------------------- the running process
namespace {

struct SiteRecord {
    PortInstruction instruction; // first: the trampoline passes its address
    SitePlan plan;
    std::uint64_t trampoline = 0;
    TrampolineLayout layout;
    bool complete = false;
};

enum class SiteState : std::uint8_t { counting, rewriting, rewritten, stays };

struct Slot {
    std::atomic<std::uint64_t> site{0};
    std::atomic<std::uint32_t> traps{0};
    std::atomic<SiteState> state{SiteState::counting};
    std::atomic<StaysTrapped> reason{StaysTrapped::form};
    std::atomic<SiteRecord *> record{nullptr};
};

constexpr std::size_t slot_count = 4096;
constexpr std::size_t record_count = 1024;
constexpr std::size_t region_count = 64;

struct Region {
    std::atomic<std::uint64_t> base{0};
    std::size_t used = 0;
};

struct State {
    HotEntry entry = nullptr;
    VectorRegisters vector_registers = VectorRegisters::sse;
    std::atomic<bool> started{false};
    std::array<Slot, slot_count> slots;
    std::atomic<bool> table_full{false};
    SiteRecord *records = nullptr;
    std::size_t records_used = 0;
    std::array<Region, region_count> regions;
    std::atomic_flag rewriting = ATOMIC_FLAG_INIT;
    // Odd while a rewrite writes a site's bytes.
    std::atomic<std::uint32_t> code_generation{0};
};

State &state()
{
    static State the_state;
    return the_state;
}

std::size_t hash_of(std::uint64_t site) { return (site * 0x9E3779B97F4A7C15ULL) >> 52U; }

Slot *find_slot(std::uint64_t site)
{
    State &s = state();
    for (std::size_t probe = 0, at = hash_of(site); probe < slot_count;
         ++probe, at = (at + 1) % slot_count) {
        const std::uint64_t held = s.slots[at].site.load(std::memory_order_acquire);
        if (held == site)
            return &s.slots[at];
        if (held == 0)
            return nullptr;
    }
    return nullptr;
}

Slot *find_or_add_slot(std::uint64_t site)
{
    State &s = state();
    for (std::size_t probe = 0, at = hash_of(site); probe < slot_count;
         ++probe, at = (at + 1) % slot_count) {
        std::uint64_t held = s.slots[at].site.load(std::memory_order_acquire);
        if (held == 0 && s.slots[at].site.compare_exchange_strong(held, site))
            return &s.slots[at];
        if (held == site)
            return &s.slots[at];
    }
    s.table_full = true;
    return nullptr;
}

bool membarrier_sync_core()
{
    return ::syscall(SYS_membarrier, MEMBARRIER_CMD_PRIVATE_EXPEDITED_SYNC_CORE, 0, 0) == 0;
}

// A file read whole into memory of its own (the trap has no heap).
class WholeFile {
public:
    explicit WholeFile(const char *path)
    {
        const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return;
        void *memory = ::mmap(nullptr, capacity, PROT_READ | PROT_WRITE,
                              MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (memory != MAP_FAILED) {
            text_ = static_cast<char *>(memory);
            while (length_ < capacity - 1) {
                const ssize_t got = ::read(fd, text_ + length_, capacity - 1 - length_);
                if (got < 0 && errno == EINTR)
                    continue;
                if (got <= 0)
                    break;
                length_ += static_cast<std::size_t>(got);
            }
        }
        ::close(fd);
    }
    ~WholeFile()
    {
        if (text_ != nullptr)
            ::munmap(text_, capacity);
    }
    WholeFile(const WholeFile &) = delete;
    WholeFile &operator=(const WholeFile &) = delete;
    const char *text() const { return text_; }
    std::size_t length() const { return length_; }

private:
    static constexpr std::size_t capacity = std::size_t{8} << 20U;
    char *text_ = nullptr;
    std::size_t length_ = 0;
};

bool traced()
{
    const WholeFile status("/proc/self/status");
    if (status.text() == nullptr)
        return true;
    const char *line = std::strstr(status.text(), "TracerPid:");
    return line == nullptr || std::strtol(line + 10, nullptr, 10) != 0;
}

// The end of the read-only, executable, file-backed private mapping that
// holds site, or 0 when it is in no such mapping.
std::uint64_t end_of_code_mapping(std::uint64_t site)
{
    const WholeFile maps("/proc/self/maps");
    if (maps.text() == nullptr)
        return 0;
    const char *line = maps.text();
    const char *const end = maps.text() + maps.length();
    while (line < end) {
        const char *next = static_cast<const char *>(
            std::memchr(line, '\n', static_cast<std::size_t>(end - line)));
        next = next == nullptr ? end : next + 1;
        char *after = nullptr;
        const std::uint64_t from = std::strtoull(line, &after, 16);
        const std::uint64_t to = std::strtoull(after + 1, &after, 16);
        if (site >= from && site < to) {
            const char *permissions = after + 1;
            if (std::strncmp(permissions, "r-xp", 4) != 0)
                return 0;
            // The path, after offset, device and inode.
            const char *field = permissions;
            for (int skipped = 0; skipped < 4 && field < next; ++skipped) {
                field = static_cast<const char *>(
                    std::memchr(field, ' ', static_cast<std::size_t>(next - field)));
                if (field == nullptr)
                    return 0;
                while (field < next && *field == ' ')
                    ++field;
            }
            return field < next && *field == '/' ? to : 0;
        }
        line = next;
    }
    return 0;
}

bool write_code(int memory, std::uint64_t address, const void *bytes, std::size_t size)
{
    return ::pwrite(memory, bytes, size, static_cast<off_t>(address)) == static_cast<ssize_t>(size);
}

// Trampolines are placed in regions of two pages, so that one may start
// anywhere in the first page (the displacement's bytes fix where).
constexpr std::uint64_t region_size = 2 * page_size;
constexpr std::uint64_t lowest_mappable = 0x10000;
constexpr std::uint64_t highest_user = 0x7FFFFFFFF000ULL;

// A place for length bytes of trampoline at an address the plan allows:
// first in the pages already mapped, then in a new page near the site.
std::optional<std::uint64_t> place_trampoline(const SitePlan &plan, std::size_t length, int memory)
{
    State &s = state();
    for (Region &region : s.regions) {
        const std::uint64_t base = region.base.load();
        if (base == 0)
            break;
        for (std::uint64_t at = base + region.used; at + length <= base + region_size; ++at) {
            if (target_allowed(plan, at)) {
                region.used = at - base + length;
                return at;
            }
        }
    }
    Region *free_region = nullptr;
    for (Region &region : s.regions) {
        if (region.base.load() == 0) {
            free_region = &region;
            break;
        }
    }
    if (free_region == nullptr)
        return std::nullopt;
    const std::uint64_t origin = plan.site + jump_length;
    int attempts = 0;
    int windows = 0;
    // Each 64 KiB window of displacements, those below the site first.
    for (std::int64_t step = 0; step < 65536 && attempts < 64 && windows < 1024; ++step) {
        const std::int64_t high = step < 32768 ? -1 - step : step - 32768;
        const std::uint64_t window = origin + static_cast<std::uint64_t>(high * 65536);
        if (!displacement_bytes_allowed(plan, static_cast<std::uint32_t>(high * 65536), 3, 4))
            continue;
        ++windows;
        for (std::uint64_t page = window & ~(page_size - 1); page < window + 65536;
             page += page_size) {
            if (page < lowest_mappable || page + region_size > highest_user)
                continue;
            std::uint64_t found = 0;
            for (std::uint64_t at = page; at < page + page_size; ++at) {
                if (target_allowed(plan, at)) {
                    found = at;
                    break;
                }
            }
            if (found == 0)
                continue;
            ++attempts;
            // NOLINTNEXTLINE(performance-no-int-to-ptr): an address chosen for its bytes
            void *wanted = reinterpret_cast<void *>(page);
            void *mapped = ::mmap(wanted, region_size, PROT_READ | PROT_EXEC,
                                  MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
            if (mapped == MAP_FAILED)
                continue;
            if (mapped != wanted) {
                ::munmap(mapped, region_size);
                continue;
            }
            // int3 in what no trampoline uses.
            std::array<std::uint8_t, region_size> fill{};
            fill.fill(0xCC);
            if (!write_code(memory, page, fill.data(), fill.size())) {
                ::munmap(mapped, region_size);
                return std::nullopt;
            }
            free_region->used = found - page + length;
            free_region->base.store(page);
            return found;
        }
        if (attempts >= 64)
            break;
    }
    return std::nullopt;
}

SiteRecord *new_record()
{
    State &s = state();
    if (s.records == nullptr) {
        void *memory = ::mmap(nullptr, sizeof(SiteRecord) * record_count, PROT_READ | PROT_WRITE,
                              MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (memory == MAP_FAILED)
            return nullptr;
        s.records = static_cast<SiteRecord *>(memory);
    }
    if (s.records_used == record_count)
        return nullptr;
    return new (&s.records[s.records_used++]) SiteRecord{};
}

// Closes its descriptor of /proc/self/mem.
class CodeWriter {
public:
    CodeWriter() : fd_(::open("/proc/self/mem", O_RDWR | O_CLOEXEC)) {}
    ~CodeWriter()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    CodeWriter(const CodeWriter &) = delete;
    CodeWriter &operator=(const CodeWriter &) = delete;
    int fd() const { return fd_; }

private:
    int fd_;
};

// The jump's bytes written in the order that lets threads executing the
// site meanwhile see old code or new, never a mix: the first bytes of the
// evicted instructions (each a one-byte instruction that traps, so no
// thread starts an old evicted instruction after the sync), then the
// other bytes (inside the port instruction they keep it a port
// instruction, which traps and is decoded from the original), then the
// jump's opcode.
bool patch_site(int memory, const SiteRecord &record)
{
    const SitePlan &plan = record.plan;
    const auto displacement =
        static_cast<std::uint32_t>(record.trampoline - (plan.site + jump_length));
    std::array<std::uint8_t, jump_length> jump{opcode_jmp_rel32};
    std::memcpy(jump.data() + 1, &displacement, sizeof displacement);
    std::array<bool, jump_length> start{};
    for (unsigned i = 0; i < plan.evicted_count; ++i) {
        if (plan.evicted_at[i] < jump_length)
            start.at(plan.evicted_at[i]) = true;
    }
    for (const bool starts : {true, false}) {
        for (unsigned position = 1; position < jump_length; ++position) {
            if (start.at(position) == starts &&
                !write_code(memory, plan.site + position, &jump.at(position), 1))
                return false;
        }
        if (!membarrier_sync_core())
            return false;
    }
    return write_code(memory, plan.site, jump.data(), 1) && membarrier_sync_core();
}

StaysTrapped rewrite(Slot &slot, std::uint64_t site, const PortInstruction &instruction)
{
    if (instruction.mode != CodeMode::long64 || instruction.string)
        return StaysTrapped::form;
    if (traced())
        return StaysTrapped::traced;
    const std::uint64_t mapping_end = end_of_code_mapping(site);
    if (mapping_end == 0)
        return StaysTrapped::mapping;
    const std::size_t available =
        std::min<std::uint64_t>(mapping_end - site, longest_instruction + jump_length);
    std::array<std::uint8_t, longest_instruction + jump_length> bytes{};
    // NOLINTNEXTLINE(performance-no-int-to-ptr): the program's code, mapped readable
    std::memcpy(bytes.data(), reinterpret_cast<const void *>(site), available);
    const Planned planned = plan_site(site, bytes.data(), available);
    if (!planned.plan)
        return planned.reason;
    const CodeWriter memory;
    if (memory.fd() < 0)
        return StaysTrapped::code_not_writable;
    SiteRecord *record = new_record();
    if (record == nullptr)
        return StaysTrapped::full;
    record->instruction = planned.plan->instruction;
    record->plan = *planned.plan;
    State &s = state();
    std::array<std::uint8_t, longest_trampoline> code{};
    // The length does not depend on the address.
    std::optional<TrampolineLayout> layout =
        build_trampoline(record->plan, record->plan.site, 0, 0, s.vector_registers, code.data());
    if (!layout)
        return StaysTrapped::neighbour;
    const std::optional<std::uint64_t> address =
        place_trampoline(record->plan, layout->length, memory.fd());
    if (!address)
        return StaysTrapped::no_trampoline;
    layout = build_trampoline(
        record->plan, *address, reinterpret_cast<std::uint64_t>(&record->instruction),
        reinterpret_cast<std::uint64_t>(s.entry), s.vector_registers, code.data());
    if (!layout)
        return StaysTrapped::neighbour;
    if (!write_code(memory.fd(), *address, code.data(), layout->length))
        return StaysTrapped::code_not_writable;
    record->trampoline = *address;
    record->layout = *layout;
    // Known to the trap before the first byte changes.
    slot.record.store(record, std::memory_order_release);
    slot.state.store(SiteState::rewritten, std::memory_order_release);
    s.code_generation.fetch_add(1);
    record->complete = patch_site(memory.fd(), *record);
    s.code_generation.fetch_add(1);
    // Bytes written before a refusal are safe as they stand: the trap
    // knows the site and sends its evicted starts on.
    return record->complete ? StaysTrapped::count_of_reasons : StaysTrapped::code_not_writable;
}

const SiteRecord *rewritten_at(std::uint64_t site)
{
    const Slot *slot = find_slot(site);
    if (slot == nullptr || slot->state.load(std::memory_order_acquire) != SiteState::rewritten)
        return nullptr;
    return slot->record.load(std::memory_order_acquire);
}

} // namespace

std::optional<VectorRegisters> vector_registers_of_this_processor()
{
    unsigned eax = 0;
    unsigned ebx = 0;
    unsigned ecx = 0;
    unsigned edx = 0;
    constexpr unsigned os_saves_state = 1U << 27U; // OSXSAVE: XCR0 readable
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0)
        return std::nullopt;
    if ((ecx & os_saves_state) == 0)
        return (edx & (1U << 25U)) != 0 ? std::optional{VectorRegisters::sse} : std::nullopt;
    std::uint32_t low = 0;
    std::uint32_t high = 0;
    asm volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    constexpr std::uint32_t avx512_state = 0xE0; // opmask, ZMM_Hi256, Hi16_ZMM
    if ((low & avx512_state) == avx512_state) {
        // kmovq needs AVX512BW.
        if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0 || (ebx & (1U << 30U)) == 0)
            return std::nullopt;
        return VectorRegisters::avx512;
    }
    if ((low & 4U) != 0)
        return VectorRegisters::avx;
    return (low & 2U) != 0 ? std::optional{VectorRegisters::sse} : std::nullopt;
}

bool SiteRewriter::start(HotEntry entry)
{
    State &s = state();
    const std::optional<VectorRegisters> registers = vector_registers_of_this_processor();
    if (!registers ||
        ::syscall(SYS_membarrier, MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED_SYNC_CORE, 0, 0) != 0)
        return false;
    s.vector_registers = *registers;
    s.entry = entry;
    s.started.store(true, std::memory_order_release);
    return true;
}

std::uint32_t SiteRewriter::code_generation()
{
    const State &s = state();
    std::uint32_t generation = s.code_generation.load();
    while ((generation & 1U) != 0) {
        __builtin_ia32_pause();
        generation = s.code_generation.load();
    }
    return generation;
}

bool SiteRewriter::code_unchanged_since(std::uint32_t generation)
{
    return state().code_generation.load() == generation;
}

void SiteRewriter::forked_child()
{
    State &s = state();
    if ((s.code_generation.load() & 1U) != 0)
        s.code_generation.fetch_add(1);
    s.rewriting.clear();
}

bool SiteRewriter::started() { return state().started.load(std::memory_order_acquire); }

Reroute SiteRewriter::reroute(std::uint64_t &rip, bool general_protection)
{
    if (!started())
        return {};
    if (general_protection) {
        if (const SiteRecord *record = rewritten_at(rip))
            return {Reroute::Action::decode_original, record->plan.original.data()};
        // A jump into an evicted instruction: on to its copy.
        for (std::uint64_t back = 1; back < jump_length; ++back) {
            const SiteRecord *record = rewritten_at(rip - back);
            if (record == nullptr)
                continue;
            for (unsigned i = 0; i < record->plan.evicted_count; ++i) {
                if (record->plan.evicted_at[i] == back) {
                    rip = record->trampoline + record->layout.evicted_copy_at[i];
                    return {Reroute::Action::resume, nullptr};
                }
            }
        }
    }
    // A fault inside a trampoline, shown at the program's own address.
    State &s = state();
    bool in_trampolines = false;
    for (const Region &region : s.regions) {
        const std::uint64_t base = region.base.load();
        if (base == 0)
            break;
        in_trampolines = in_trampolines || (rip >= base && rip < base + region_size);
    }
    if (!in_trampolines)
        return {};
    for (const Slot &slot : s.slots) {
        if (slot.state.load(std::memory_order_acquire) != SiteState::rewritten)
            continue;
        const SiteRecord *record = slot.record.load(std::memory_order_acquire);
        if (rip < record->trampoline || rip >= record->trampoline + record->layout.length)
            continue;
        if (rip == record->trampoline + record->layout.refused_copy_at) {
            rip = record->plan.site;
            return {Reroute::Action::decode_original, record->plan.original.data()};
        }
        for (unsigned i = 0; i < record->plan.evicted_count; ++i) {
            if (rip == record->trampoline + record->layout.evicted_copy_at[i]) {
                rip = record->plan.site + record->plan.evicted_at[i];
                return {Reroute::Action::to_program, nullptr};
            }
        }
        return {};
    }
    return {};
}

void SiteRewriter::trapped(std::uint64_t site, const std::uint8_t * /*code*/,
                           const PortInstruction &instruction)
{
    if (!started())
        return;
    Slot *slot = find_or_add_slot(site);
    if (slot == nullptr || slot->state.load(std::memory_order_acquire) != SiteState::counting)
        return;
    if (slot->traps.fetch_add(1, std::memory_order_relaxed) + 1 < hot_after)
        return;
    State &s = state();
    // One rewrite at a time; a thread that finds one under way tries again
    // on the site's next trap.
    if (s.rewriting.test_and_set(std::memory_order_acquire))
        return;
    if (slot->state.load() == SiteState::counting) {
        slot->state.store(SiteState::rewriting);
        const StaysTrapped reason = rewrite(*slot, site, instruction);
        if (reason != StaysTrapped::count_of_reasons) {
            slot->reason.store(reason);
            if (slot->state.load() != SiteState::rewritten)
                slot->state.store(SiteState::stays, std::memory_order_release);
        }
    }
    s.rewriting.clear(std::memory_order_release);
}

void SiteRewriter::write_summary(const char *program)
{
    State &s = state();
    unsigned sites = 0;
    unsigned rewritten = 0;
    unsigned cold = 0;
    std::array<unsigned, static_cast<std::size_t>(StaysTrapped::count_of_reasons)> stays{};
    for (const Slot &slot : s.slots) {
        if (slot.site.load() == 0)
            continue;
        ++sites;
        const SiteState site_state = slot.state.load();
        const SiteRecord *record = slot.record.load();
        if (site_state == SiteState::rewritten && record != nullptr && record->complete)
            ++rewritten;
        else if (site_state == SiteState::counting)
            ++cold;
        else
            ++stays.at(static_cast<std::size_t>(slot.reason.load()));
    }
    char line[1024];
    int length =
        std::snprintf(line, sizeof line,
                      "qport-run: %s[%d]: %u port instruction sites: %u rewritten, "
                      "%u trapped fewer than %u times",
                      program, static_cast<int>(::getpid()), sites, rewritten, cold, hot_after);
    for (std::size_t reason = 0; reason < stays.size(); ++reason) {
        if (stays.at(reason) == 0 || length < 0 || static_cast<std::size_t>(length) >= sizeof line)
            continue;
        length += std::snprintf(line + length, sizeof line - static_cast<std::size_t>(length),
                                ", %u stayed trapped: %s", stays.at(reason),
                                describe(static_cast<StaysTrapped>(reason)));
    }
    if (s.table_full.load() && length > 0 && static_cast<std::size_t>(length) < sizeof line)
        length += std::snprintf(line + length, sizeof line - static_cast<std::size_t>(length),
                                "; more sites than the table holds stayed trapped");
    if (length < 0)
        return;
    const std::size_t size = std::min(static_cast<std::size_t>(length), sizeof line - 2);
    line[size] = '\n';
    [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, line, size + 1);
}

} // namespace qport_run
