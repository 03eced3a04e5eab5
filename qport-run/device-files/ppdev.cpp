// SPDX-License-Identifier: LGPL-2.1-or-later
// ppdev on the simulated PC (see served_files.h).
//
// open() of /dev/parportN (or /dev/parports/N) for the simulated machine's
// Nth parallel port (lpt1 is parport0) gives a served file whose ioctl(),
// read() and write() do what the kernel's ppdev and parport_pc drivers do,
// with their error numbers, through the simulated library's transfers, so
// the peripheral on the port answers as it does to port instructions.
#include "served_files.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <new>
#include <optional>

#include <fcntl.h>
#include <linux/parport.h>
#include <linux/ppdev.h>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace qport_run::served {
namespace {

// The kernel's enum ieee1284_phase (not in its user-space headers).
enum Phase : int {
    IEEE1284_PH_FWD_DATA,
    IEEE1284_PH_FWD_IDLE,
    IEEE1284_PH_TERMINATE,
    IEEE1284_PH_NEGOTIATION,
    IEEE1284_PH_HBUSY_DNA,
    IEEE1284_PH_REV_IDLE,
    IEEE1284_PH_HBUSY_DAVAIL,
    IEEE1284_PH_REV_DATA,
};
constexpr int default_mode = IEEE1284_MODE_COMPAT;
constexpr std::uint8_t control_writable = 0xCF; // parport_pc without a bidirectional port
constexpr std::uint8_t control_lines = 0x0F;
constexpr unsigned port_modes = PARPORT_MODE_PCSPP | PARPORT_MODE_SAFEININT;
constexpr std::int64_t hz = 250; // Debian's kernel's tick
constexpr std::int64_t default_timeout_jiffies = 5 * hz;

int initial_phase(int mode)
{
    return mode == IEEE1284_MODE_NIBBLE || mode == IEEE1284_MODE_BYTE ? IEEE1284_PH_REV_IDLE
                                                                      : IEEE1284_PH_FWD_IDLE;
}

// What ppdev keeps per open file, and parport keeps for it as a device.
class PpdevFile final : public ServedFile {
public:
    ssize_t read(int descriptor, void *buffer, std::size_t count) override;
    ssize_t write(int descriptor, const void *buffer, std::size_t count) override;
    int control(unsigned long request, void *argument) override;
    void fill_status(struct stat &status) const override { fill_parport_status(number, status); }
    void last_descriptor_gone() override;

    int number = 0;
    std::uint16_t base = 0;
    bool claimed = false;
    bool registered = false;
    int flags = 0; // PP_EXCL and the user's PP_FLAGMASK
    int mode = default_mode;
    int phase = IEEE1284_PH_FWD_IDLE;
    std::uint8_t control_register = 0x0C; // parport_pc's copy of the control register
    std::int64_t timeout_jiffies = default_timeout_jiffies;
    std::uint8_t irq_control = 0;
};

constexpr int pp_excl = 1 << 1; // ppdev's own flag bit, below PP_FLAGMASK's

// The file holding each port in this process, as parport lets one claim
// it; under files_mutex.
std::array<PpdevFile *, max_ports> holders{};

// The last descriptor of a file that holds its port lets go, as ppdev's
// release does.
void PpdevFile::last_descriptor_gone()
{
    if (claimed) {
        holders[static_cast<std::size_t>(number)] = nullptr;
        claimed = false;
    }
}

// ------------------------------------------------------- the port as parport_pc drives it
std::int64_t now_ns()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

struct Lines {
    PpdevFile &file;
    bool nonblocking = false;
    // Set when a signal handler ran during a wait: the transfer ends, as
    // the kernel's does on a pending signal.
    mutable bool interrupted = false;

    std::uint8_t status() const { return in8(static_cast<std::uint16_t>(file.base + 1)); }
    std::uint8_t data() const { return in8(file.base); }
    void set_data(std::uint8_t value) const { out8(file.base, value); }
    std::uint8_t control() const { return file.control_register & control_lines; }
    void frob_control(std::uint8_t mask, std::uint8_t value) const
    {
        const auto now =
            static_cast<std::uint8_t>(((file.control_register & ~mask) ^ value) & control_writable);
        out8(static_cast<std::uint16_t>(file.base + 2), now);
        file.control_register = now;
    }
    void write_control(std::uint8_t value) const { frob_control(0xFF, value & control_lines); }

    // parport_poll_peripheral: a few quick looks.
    bool poll(std::uint8_t mask, std::uint8_t result, int microseconds) const
    {
        for (int look = 0; look < microseconds / 5 + 2; ++look) {
            if ((status() & mask) == result)
                return true;
        }
        return false;
    }
    // parport_wait_peripheral: a quick look, then every 10 ms for 40 ms.
    bool wait(std::uint8_t mask, std::uint8_t result) const
    {
        if (poll(mask, result, 0))
            return true;
        for (int step = 0; step < 4 && !interrupted; ++step) {
            if (!sleep_unless_signalled(10'000'000))
                interrupted = true;
            else if ((status() & mask) == result)
                return true;
        }
        return false;
    }

    // IEEE 1284 termination back to compatibility mode.
    void terminate() const
    {
        if (file.mode == IEEE1284_MODE_EPP || file.mode == IEEE1284_MODE_EPPSL ||
            file.mode == IEEE1284_MODE_EPPSWE) {
            frob_control(PARPORT_CONTROL_INIT, 0);
            frob_control(PARPORT_CONTROL_INIT | PARPORT_CONTROL_SELECT,
                         PARPORT_CONTROL_SELECT | PARPORT_CONTROL_INIT);
        } else {
            frob_control(PARPORT_CONTROL_SELECT | PARPORT_CONTROL_AUTOFD, PARPORT_CONTROL_SELECT);
            wait(PARPORT_STATUS_ACK, 0);
            frob_control(PARPORT_CONTROL_AUTOFD, PARPORT_CONTROL_AUTOFD);
            wait(PARPORT_STATUS_ACK, PARPORT_STATUS_ACK);
            frob_control(PARPORT_CONTROL_AUTOFD, 0);
        }
        file.mode = IEEE1284_MODE_COMPAT;
        file.phase = IEEE1284_PH_FWD_IDLE;
    }

    // parport_negotiate: 0, -1 when the peripheral does not answer as an
    // IEEE 1284 one, 1 when it refuses the mode.
    int negotiate(int mode) const
    {
        if (file.mode == mode)
            return 0;
        if ((file.mode & ~IEEE1284_ADDR) == (mode & ~IEEE1284_ADDR)) {
            file.mode = mode;
            return 0;
        }
        if (file.mode != IEEE1284_MODE_COMPAT)
            terminate();
        if (mode == IEEE1284_MODE_COMPAT)
            return 0;
        int requested = mode;
        if (mode == IEEE1284_MODE_ECPSWE)
            requested = IEEE1284_MODE_ECP;
        else if (mode == IEEE1284_MODE_EPPSL || mode == IEEE1284_MODE_EPPSWE)
            requested = IEEE1284_MODE_EPP;
        if ((mode & IEEE1284_EXT_LINK) != 0)
            requested = 1 << 7;
        file.phase = IEEE1284_PH_NEGOTIATION;
        frob_control(PARPORT_CONTROL_STROBE | PARPORT_CONTROL_AUTOFD | PARPORT_CONTROL_SELECT,
                     PARPORT_CONTROL_SELECT);
        set_data(static_cast<std::uint8_t>(requested));
        frob_control(PARPORT_CONTROL_SELECT | PARPORT_CONTROL_AUTOFD, PARPORT_CONTROL_AUTOFD);
        if (!wait(PARPORT_STATUS_ERROR | PARPORT_STATUS_SELECT | PARPORT_STATUS_PAPEROUT |
                      PARPORT_STATUS_ACK,
                  PARPORT_STATUS_ERROR | PARPORT_STATUS_SELECT | PARPORT_STATUS_PAPEROUT)) {
            frob_control(PARPORT_CONTROL_SELECT | PARPORT_CONTROL_AUTOFD, PARPORT_CONTROL_SELECT);
            file.phase = IEEE1284_PH_FWD_IDLE;
            return -1;
        }
        frob_control(PARPORT_CONTROL_STROBE, PARPORT_CONTROL_STROBE);
        frob_control(PARPORT_CONTROL_STROBE | PARPORT_CONTROL_AUTOFD, 0);
        if (!wait(PARPORT_STATUS_ACK, PARPORT_STATUS_ACK) ||
            (mode != IEEE1284_MODE_NIBBLE && (status() & PARPORT_STATUS_SELECT) == 0)) {
            file.mode = mode; // terminate() leaves the mode it was in
            terminate();
            return 1;
        }
        file.mode = mode;
        file.phase = mode == IEEE1284_MODE_NIBBLE || mode == IEEE1284_MODE_BYTE
                         ? IEEE1284_PH_REV_IDLE
                         : IEEE1284_PH_FWD_IDLE;
        return 0;
    }

    // parport_ieee1284_write_compat: each byte strobed in once the
    // peripheral is ready, until the device's timeout.
    std::size_t write_compat(const std::uint8_t *bytes, std::size_t length) const
    {
        constexpr std::uint8_t idle = PARPORT_CONTROL_SELECT | PARPORT_CONTROL_INIT;
        constexpr std::uint8_t ready_mask = PARPORT_STATUS_ERROR | PARPORT_STATUS_BUSY;
        file.phase = IEEE1284_PH_FWD_DATA;
        write_control(idle);
        std::size_t count = 0;
        const std::int64_t jiffies = nonblocking ? 1 : file.timeout_jiffies;
        const std::int64_t deadline = now_ns() + jiffies * (1'000'000'000 / hz);
        while (count < length) {
            bool ready = wait(ready_mask, ready_mask);
            // Not ready, and not merely busy: the printer is upset.
            while (!ready && !interrupted &&
                   (status() &
                    (PARPORT_STATUS_PAPEROUT | PARPORT_STATUS_SELECT | PARPORT_STATUS_ERROR)) ==
                       (PARPORT_STATUS_SELECT | PARPORT_STATUS_ERROR) &&
                   now_ns() < deadline)
                ready = wait(ready_mask, ready_mask);
            if (!ready)
                break;
            set_data(bytes[count]);
            write_control(idle | PARPORT_CONTROL_STROBE);
            write_control(idle);
            ++count;
        }
        file.phase = IEEE1284_PH_FWD_IDLE;
        return count;
    }

    // parport_ieee1284_read_nibble and _read_byte.
    std::size_t read_reverse(std::uint8_t *bytes, std::size_t length, bool byte_mode) const
    {
        std::size_t count = 0;
        const std::size_t steps = byte_mode ? length : length * 2;
        for (; count < steps; ++count) {
            if ((byte_mode || count % 2 == 0) && (status() & PARPORT_STATUS_ERROR) != 0)
                break;
            frob_control(PARPORT_CONTROL_AUTOFD, PARPORT_CONTROL_AUTOFD);
            file.phase = IEEE1284_PH_REV_DATA;
            if (!wait(PARPORT_STATUS_ACK, 0)) {
                frob_control(PARPORT_CONTROL_AUTOFD, 0);
                break;
            }
            std::uint8_t value = 0;
            if (byte_mode) {
                value = data();
            } else {
                value = static_cast<std::uint8_t>(status() >> 3);
                value = static_cast<std::uint8_t>((value & ~8U) | ((value & 0x10) == 0 ? 8U : 0U));
                value &= 0x0F;
            }
            frob_control(PARPORT_CONTROL_AUTOFD, 0);
            if (!wait(PARPORT_STATUS_ACK, PARPORT_STATUS_ACK))
                break;
            if (byte_mode) {
                bytes[count] = value;
                frob_control(PARPORT_CONTROL_STROBE, PARPORT_CONTROL_STROBE);
                frob_control(PARPORT_CONTROL_STROBE, 0);
            } else if (count % 2 == 0) {
                bytes[count / 2] = value;
            } else {
                bytes[count / 2] = static_cast<std::uint8_t>(bytes[count / 2] | (value << 4));
            }
        }
        if ((status() & PARPORT_STATUS_ERROR) != 0) {
            frob_control(PARPORT_CONTROL_AUTOFD, PARPORT_CONTROL_AUTOFD);
            file.phase = IEEE1284_PH_REV_IDLE;
        } else {
            file.phase = IEEE1284_PH_HBUSY_DAVAIL;
        }
        return byte_mode ? count : count / 2;
    }

    // parport_ieee1284_epp_*: EPP played on the SPP lines, nAutoFd as the
    // data strobe, nSelectIn as the address strobe, Busy as nWait.
    std::size_t epp_write(const std::uint8_t *bytes, std::size_t length, bool address) const
    {
        const std::uint8_t strobe = address ? PARPORT_CONTROL_SELECT : PARPORT_CONTROL_AUTOFD;
        frob_control(PARPORT_CONTROL_STROBE | PARPORT_CONTROL_AUTOFD | PARPORT_CONTROL_SELECT |
                         PARPORT_CONTROL_INIT,
                     PARPORT_CONTROL_STROBE | PARPORT_CONTROL_INIT);
        std::size_t count = 0;
        for (; count < length; ++count) {
            set_data(bytes[count]);
            frob_control(strobe, strobe);
            if (!poll(PARPORT_STATUS_BUSY, 0, 10))
                break;
            frob_control(strobe, 0);
            if (!poll(PARPORT_STATUS_BUSY, PARPORT_STATUS_BUSY, 5))
                break;
        }
        frob_control(PARPORT_CONTROL_STROBE, 0);
        return count;
    }

    std::size_t epp_read(std::uint8_t *bytes, std::size_t length, bool address) const
    {
        const std::uint8_t strobe = address ? PARPORT_CONTROL_SELECT : PARPORT_CONTROL_AUTOFD;
        frob_control(PARPORT_CONTROL_STROBE | PARPORT_CONTROL_AUTOFD | PARPORT_CONTROL_SELECT |
                         PARPORT_CONTROL_INIT,
                     PARPORT_CONTROL_INIT);
        std::size_t count = 0;
        for (; count < length; ++count) {
            frob_control(strobe, strobe);
            if (!wait(PARPORT_STATUS_BUSY, 0))
                break;
            bytes[count] = data();
            frob_control(strobe, 0);
            if (!poll(PARPORT_STATUS_BUSY, PARPORT_STATUS_BUSY, 5))
                break;
        }
        return count;
    }
};

bool nonblocking(int descriptor) { return (libc_fcntl()(descriptor, F_GETFL) & O_NONBLOCK) != 0; }

constexpr std::size_t buffer_size = 256; // ppdev's PP_BUFFER_SIZE is 1024; any size works

// ppdev's read(): in the mode set, until something comes (or at once with
// O_NONBLOCK).
ssize_t read_port_file(PpdevFile &file, int descriptor, void *buffer, std::size_t count)
{
    if (!file.claimed)
        return -EINVAL;
    if (count == 0)
        return 0;
    const Lines lines{file, nonblocking(descriptor)};
    std::uint8_t bytes[buffer_size];
    const std::size_t wanted = std::min(count, sizeof bytes);
    for (;;) {
        const int mode = file.mode & ~(IEEE1284_DEVICEID | IEEE1284_ADDR);
        const bool address = (file.mode & IEEE1284_ADDR) != 0;
        std::size_t got = 0;
        switch (mode) {
        case IEEE1284_MODE_COMPAT:
            // No tristate, so nibble mode, which must be negotiated.
            if (lines.negotiate(IEEE1284_MODE_NIBBLE) != 0)
                return -EIO;
            got = lines.read_reverse(bytes, wanted, false);
            break;
        case IEEE1284_MODE_NIBBLE:
        case IEEE1284_MODE_BYTE:
            got = lines.read_reverse(bytes, wanted, mode == IEEE1284_MODE_BYTE);
            break;
        case IEEE1284_MODE_EPP:
        case IEEE1284_MODE_EPPSWE:
            got = lines.epp_read(bytes, wanted, address);
            break;
        case IEEE1284_MODE_ECP:
        case IEEE1284_MODE_ECPRLE:
        case IEEE1284_MODE_ECPSWE:
            return -EIO; // the ECP handshake is not played
        default:
            return -ENOSYS;
        }
        if (got > 0)
            return copy_to_program(buffer, bytes, got) ? static_cast<ssize_t>(got) : -EFAULT;
        if (lines.nonblocking)
            return -EAGAIN;
        // The kernel keeps trying until a signal comes; so does this, and
        // a signal handler's return ends it.
        if (lines.interrupted || !sleep_unless_signalled(10'000'000))
            return -EINTR;
    }
}

ssize_t write_port_file(PpdevFile &file, int descriptor, const void *buffer, std::size_t count)
{
    if (!file.claimed)
        return -EINVAL;
    const Lines lines{file, nonblocking(descriptor)};
    std::uint8_t bytes[buffer_size];
    ssize_t written = 0;
    while (static_cast<std::size_t>(written) < count) {
        const std::size_t piece = std::min(count - static_cast<std::size_t>(written), sizeof bytes);
        if (!copy_from_program(bytes, static_cast<const std::uint8_t *>(buffer) + written, piece))
            return written > 0 ? written : -EFAULT;
        const int mode = file.mode & ~(IEEE1284_DEVICEID | IEEE1284_ADDR);
        const bool address = (file.mode & IEEE1284_ADDR) != 0;
        std::size_t wrote = 0;
        switch (mode) {
        case IEEE1284_MODE_NIBBLE:
        case IEEE1284_MODE_BYTE:
            lines.negotiate(IEEE1284_MODE_COMPAT);
            wrote = lines.write_compat(bytes, piece);
            break;
        case IEEE1284_MODE_COMPAT:
            wrote = lines.write_compat(bytes, piece);
            break;
        case IEEE1284_MODE_EPP:
        case IEEE1284_MODE_EPPSWE:
            wrote = lines.epp_write(bytes, piece, address);
            break;
        case IEEE1284_MODE_ECP:
        case IEEE1284_MODE_ECPRLE:
        case IEEE1284_MODE_ECPSWE:
            return written > 0 ? written : -EIO;
        default:
            return written > 0 ? written : -ENOSYS;
        }
        if (wrote == 0)
            break;
        written += static_cast<ssize_t>(wrote);
        if (lines.nonblocking)
            break;
    }
    return written == 0 && lines.nonblocking && count > 0 ? -EAGAIN : written;
}

// ---------------------------------------------------------------- ioctl
template <typename Value> int get_argument(void *argument, Value &value)
{
    return copy_from_program(&value, argument, sizeof value) ? 0 : -EFAULT;
}

template <typename Value> int put_result(void *argument, const Value &value)
{
    return copy_to_program(argument, &value, sizeof value) ? 0 : -EFAULT;
}

int claim(PpdevFile &file)
{
    if (file.claimed)
        return -EINVAL;
    std::array<std::uint16_t, max_ports> bases{};
    if (file.number >= parallel_port_bases(bases))
        return -ENXIO;
    // parport_claim_or_block: wait while another file of this process
    // holds the port. A holder whose descriptors were all closed behind
    // this library's back lets go first.
    forget_stale_descriptors();
    for (;;) {
        {
            const std::lock_guard lock(files_mutex);
            PpdevFile *&holder = holders[static_cast<std::size_t>(file.number)];
            if (holder == nullptr) {
                holder = &file;
                break;
            }
        }
        if (!sleep_unless_signalled(10'000'000))
            return -EINTR;
    }
    file.base = bases[static_cast<std::size_t>(file.number)];
    file.registered = true;
    file.claimed = true;
    // parport_pc's restore_state: the control register as this device
    // left it.
    out8(static_cast<std::uint16_t>(file.base + 2), file.control_register);
    return 0;
}

void release(PpdevFile &file)
{
    const std::lock_guard lock(files_mutex);
    holders[static_cast<std::size_t>(file.number)] = nullptr;
    file.claimed = false;
}

// pp_set_timeout's arithmetic on a 64-bit kernel: the microseconds taken
// as an int, the seconds' jiffies wrapping as its long does; what is not
// above 0 is refused.
std::optional<std::int64_t> timeout_jiffies_of(std::int64_t seconds, std::int64_t microseconds)
{
    const auto usecs = static_cast<std::int32_t>(static_cast<std::uint32_t>(microseconds));
    if (seconds < 0 || microseconds < 0 || usecs < 0)
        return std::nullopt;
    constexpr std::uint32_t usecs_per_jiffy = 1'000'000 / hz;
    const std::uint64_t usec_jiffies =
        (static_cast<std::uint32_t>(usecs) + usecs_per_jiffy - 1) / usecs_per_jiffy;
    const auto jiffies = static_cast<std::int64_t>(
        usec_jiffies + static_cast<std::uint64_t>(seconds) * static_cast<std::uint64_t>(hz));
    if (jiffies <= 0)
        return std::nullopt;
    return jiffies;
}

// ppdev's ioctl(): 0, a negative errno.
int control_port_file(PpdevFile &file, unsigned long request, void *argument)
{
    int value = 0;
    switch (request) {
    case PPCLAIM:
        return claim(file);
    case PPEXCL:
        if (file.registered)
            return (file.flags & pp_excl) != 0 ? 0 : -EINVAL;
        file.flags |= pp_excl;
        return 0;
    case PPSETMODE:
        if (const int error = get_argument(argument, value); error != 0)
            return error;
        file.mode = value;
        if (!file.claimed)
            file.phase = initial_phase(value);
        return 0;
    case PPGETMODE:
        return put_result(argument, file.mode);
    case PPSETPHASE:
        if (const int error = get_argument(argument, value); error != 0)
            return error;
        file.phase = value;
        return 0;
    case PPGETPHASE:
        return put_result(argument, file.phase);
    case PPGETMODES:
        return put_result(argument, port_modes);
    case PPSETFLAGS:
        if (const int error = get_argument(argument, value); error != 0)
            return error;
        file.flags = (file.flags & ~PP_FLAGMASK) | (value & PP_FLAGMASK);
        return 0;
    case PPGETFLAGS:
        return put_result(argument, file.flags & PP_FLAGMASK);
    default:
        break;
    }
    // Everything else needs the port claimed.
    if (!file.claimed)
        return -EINVAL;
    const Lines lines{file};
    std::uint8_t byte = 0;
    switch (request) {
    case PPRSTATUS:
        return put_result(argument, lines.status());
    case PPRDATA:
        return put_result(argument, lines.data());
    case PPRCONTROL:
        return put_result(argument, lines.control());
    case PPYIELD:
        return 0;
    case PPRELEASE:
        release(file);
        return 0;
    case PPWCONTROL:
        if (const int error = get_argument(argument, byte); error != 0)
            return error;
        lines.write_control(byte);
        return 0;
    case PPWDATA:
        if (const int error = get_argument(argument, byte); error != 0)
            return error;
        lines.set_data(byte);
        return 0;
    case PPFCONTROL: {
        ppdev_frob_struct frob{};
        if (const int error = get_argument(argument, frob); error != 0)
            return error;
        lines.frob_control(frob.mask & control_lines, frob.val & control_lines);
        return 0;
    }
    case PPDATADIR:
        if (const int error = get_argument(argument, value); error != 0)
            return error;
        lines.frob_control(0x20, value != 0 ? 0x20 : 0);
        return 0;
    case PPNEGOT:
        if (const int error = get_argument(argument, value); error != 0)
            return error;
        switch (lines.negotiate(value)) {
        case 0:
            return 0;
        case 1:
            return -ENXIO;
        default:
            return -EIO;
        }
    case PPWCTLONIRQ:
        if (const int error = get_argument(argument, byte); error != 0)
            return error;
        file.irq_control = byte;
        return 0;
    case PPCLRIRQ:
        // The simulated port raises no interrupt: none to count.
        return put_result(argument, 0);
    case PPSETTIME: {
        std::int64_t time[2] = {};
        if (const int error = get_argument(argument, time); error != 0)
            return error;
        const std::optional<std::int64_t> jiffies = timeout_jiffies_of(time[0], time[1]);
        if (!jiffies)
            return -EINVAL;
        file.timeout_jiffies = *jiffies;
        return 0;
    }
    case PPGETTIME: {
        // The jiffies' nanoseconds as ns_to_timespec64 splits them.
        const auto nanoseconds =
            static_cast<std::int64_t>(static_cast<std::uint64_t>(file.timeout_jiffies) *
                                      (1'000'000'000 / static_cast<std::uint64_t>(hz)));
        std::int64_t seconds = nanoseconds / 1'000'000'000;
        std::int64_t rest = nanoseconds % 1'000'000'000;
        if (rest < 0) {
            --seconds;
            rest += 1'000'000'000;
        }
        const std::int64_t time[2] = {seconds, rest / 1000};
        return put_result(argument, time);
    }
    default:
        return -EINVAL;
    }
}

} // namespace

ssize_t PpdevFile::read(int descriptor, void *buffer, std::size_t count)
{
    const SignalsHeld held;
    return read_port_file(*this, descriptor, buffer, count);
}

ssize_t PpdevFile::write(int descriptor, const void *buffer, std::size_t count)
{
    const SignalsHeld held;
    return write_port_file(*this, descriptor, buffer, count);
}

int PpdevFile::control(unsigned long request, void *argument)
{
    // Only these two wait; the register requests stay two calls short.
    std::optional<SignalsHeld> held;
    if (request == PPCLAIM || request == PPNEGOT)
        held.emplace();
    return control_port_file(*this, request, argument);
}

int open_parport(int number, int flags)
{
    if ((flags & O_DIRECTORY) != 0) {
        errno = ENOTDIR;
        return -1;
    }
    std::array<std::uint16_t, max_ports> bases{};
    if (number >= parallel_port_bases(bases)) {
        errno = ENOENT;
        return -1;
    }
    char name[24];
    std::snprintf(name, sizeof name, "parport%d", number);
    auto *file = new (std::nothrow) PpdevFile;
    if (file != nullptr) {
        file->number = number;
        file->base = bases[static_cast<std::size_t>(number)];
    }
    return open_served_file(name, flags, file);
}

void fill_parport_status(int number, struct stat &status)
{
    status = {};
    status.st_dev = makedev(0, 5);
    status.st_ino = static_cast<ino_t>(1000) + static_cast<ino_t>(number);
    status.st_mode = S_IFCHR | 0660;
    status.st_nlink = 1;
    status.st_uid = ::geteuid();
    status.st_gid = ::getegid();
    status.st_rdev = makedev(99, static_cast<unsigned>(number));
    status.st_blksize = 4096;
}

bool existing_parport(int number)
{
    std::array<std::uint16_t, max_ports> bases{};
    return number < parallel_port_bases(bases);
}

} // namespace qport_run::served
