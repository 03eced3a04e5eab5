// SPDX-License-Identifier: LGPL-2.1-or-later
// The client side of device servers (served_protocol.h): the "served"
// device, whose transfers are requests to the server process.
//
// It runs inside transfers, so it keeps their rules: system
// calls only, no allocation, no lock. Each process keeps a few connections
// per served device, each taken by one transfer at a time with an atomic
// flag; a transfer that finds them all taken (other threads, or the
// transfer its signal handler interrupted) connects for itself alone. A
// connection remembers the process that opened it, so a child after fork
// never talks over its parent's.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <ctime>

#include <fcntl.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "internal.h"
#include "outputs.h"
#include "program_devices.h"
#include "served_protocol.h"
#include "settings.h"

namespace qport::sim {
namespace {

constexpr auto relaxed = std::memory_order_relaxed;

enum class Failure : std::uint8_t { none, gone, silent, stranger, unreachable };

struct Connection {
    std::atomic<bool> taken{false};
    // The rest belongs to whoever took it.
    int fd = -1;
    pid_t process = 0; // that opened it
    std::uint64_t token = 0;
    dev_t device = 0;
    ino_t inode = 0;
};
constexpr std::size_t connections_per_device = 4;
constinit Connection connections[slot_count][connections_per_device]{};

// The token of the server each slot held when it last failed this process:
// its ports then answer at once, without a wait.
constinit std::atomic<std::uint64_t> failed_tokens[slot_count]{};
constinit std::atomic<std::uint32_t> last_sequence{0};

// When the transfer this thread is making must be answered by: set at its
// first byte, so that a transfer of four bytes waits a second in all, not a
// second a byte. Initial-exec TLS, which a signal handler may use.
constinit thread_local timespec transfer_deadline __attribute__((tls_model("initial-exec"))) = {};

// A request's number, which the server cannot foresee: an answer it sends
// unasked is never taken as the next request's.
std::uint32_t new_sequence()
{
    std::uint32_t sequence = 0;
    if (::getrandom(&sequence, sizeof sequence, GRND_NONBLOCK) == sizeof sequence)
        return sequence;
    // Only before the kernel's generator is seeded, early in boot.
    return last_sequence.fetch_add(1, relaxed) + 1;
}

Connection *take_connection(std::size_t slot)
{
    for (Connection &connection : connections[slot]) {
        if (!connection.taken.exchange(true, std::memory_order_acquire))
            return &connection;
    }
    return nullptr;
}

// Whether the connection's descriptor is still the socket it opened: the
// program may have closed that number (close, close_range, a raw system
// call) and opened a file of its own under it.
bool holds_socket(const Connection &connection)
{
    struct stat about {};
    return connection.fd >= 0 && ::fstat(connection.fd, &about) == 0 &&
           about.st_dev == connection.device && about.st_ino == connection.inode;
}

// Closes the connection's socket if the descriptor is still it; a number
// the program has reused is only forgotten, never closed.
void close_connection(Connection &connection)
{
    if (holds_socket(connection))
        ::close(connection.fd);
    connection.fd = -1;
}

// Still the socket this process opened to this server.
bool still_usable(const Connection &connection, pid_t process, std::uint64_t token)
{
    return connection.process == process && connection.token == token && holds_socket(connection);
}

Failure connect_to_server(Connection &connection, const char *machine_path,
                          std::uint16_t first_port, pid_t process, std::uint64_t token)
{
    sockaddr_un address{};
    if (!socket_address(machine_path, first_port, address))
        return Failure::unreachable;
    int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    // Never on 0..2, which the program may mean to reopen as its own.
    if (fd >= 0 && fd < 3) {
        const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
        ::close(fd);
        fd = moved;
    }
    if (fd < 0)
        return Failure::unreachable;
    const timeval timeout{answer_timeout_seconds, 0};
    struct stat about {};
    Failure failure = Failure::none;
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0 ||
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout) != 0 ||
        ::fstat(fd, &about) != 0)
        failure = Failure::unreachable;
    else if (::connect(fd, as_address(address), sizeof address) != 0)
        failure = errno == EAGAIN || errno == EINPROGRESS ? Failure::silent : Failure::gone;
    else if (!peer_is_this_user(fd))
        failure = Failure::stranger;
    if (failure != Failure::none) {
        ::close(fd);
        return failure;
    }
    connection.fd = fd;
    connection.process = process;
    connection.token = token;
    connection.device = about.st_dev;
    connection.inode = about.st_ino;
    return Failure::none;
}

// Milliseconds left until deadline, 0 once it has passed.
int milliseconds_until(const timespec &deadline)
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const std::int64_t left = (std::int64_t{deadline.tv_sec} - now.tv_sec) * 1000 +
                              (std::int64_t{deadline.tv_nsec} - now.tv_nsec) / 1000000;
    constexpr std::int64_t longest = std::int64_t{answer_timeout_seconds} * 1000;
    return left <= 0 ? 0 : static_cast<int>(std::min(left, longest));
}

// Waits for fd to become ready for events until deadline: whether it did.
bool ready_by(int fd, short events, const timespec &deadline)
{
    for (;;) {
        pollfd polled{fd, events, 0};
        const int ready = ::poll(&polled, 1, milliseconds_until(deadline));
        if (ready > 0)
            return true;
        if (ready == 0 || errno != EINTR)
            return false;
    }
}

Failure exchange(const Connection &connection, const Request &request, const timespec &deadline,
                 std::uint8_t &value)
{
    // What a server sent unasked is no answer to this request.
    Answer stale{};
    while (::recv(connection.fd, &stale, sizeof stale, MSG_DONTWAIT) > 0) {
    }
    ssize_t sent = -1;
    while (sent < 0) {
        if (!ready_by(connection.fd, POLLOUT, deadline))
            return Failure::silent;
        sent = ::send(connection.fd, &request, sizeof request, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0 && errno != EINTR && errno != EAGAIN)
            return Failure::gone;
    }
    if (sent != static_cast<ssize_t>(sizeof request))
        return Failure::gone;
    for (;;) {
        if (!ready_by(connection.fd, POLLIN, deadline))
            return Failure::silent;
        Answer answer{};
        const ssize_t got = ::recv(connection.fd, &answer, sizeof answer, MSG_DONTWAIT);
        if (got < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (got != static_cast<ssize_t>(sizeof answer))
            return Failure::gone;
        if (answer.sequence == request.sequence) {
            value = answer.value;
            return Failure::none;
        }
        // Another request's answer, late or unasked: skipped.
    }
}

void tell_failure(const DeviceSlot &slot, pid_t server, Failure failure)
{
    const std::uint32_t base = slot.base.load(relaxed);
    Line line;
    line.text("the device server of ports 0x")
        .hex(base, 4)
        .text("-0x")
        .hex(base + slot.count.load(relaxed) - 1, 4)
        .text(" (process ")
        .decimal(static_cast<std::uint32_t>(server))
        .text(") ");
    switch (failure) {
    case Failure::silent:
        line.text("did not answer within 1 s");
        break;
    case Failure::stranger:
        line.text("is another user's; nothing is sent to it");
        break;
    case Failure::unreachable:
        line.text("cannot be reached (the machine file's path is too long for its socket)");
        break;
    default:
        line.text("is gone");
        break;
    }
    tell(line.text("; its ports read 0xff and their writes are dropped in this process"));
}

std::uint8_t served_transfer(Machine &machine, DeviceSlot &slot, const PortAccess &access,
                             std::uint8_t kind, std::uint8_t value)
{
    const KeptErrno kept_errno;
    const std::size_t number = slot_number(machine, slot);
    const auto &state = state_of<UserDeviceState>(slot);
    const std::uint64_t token = state.token.load(relaxed);
    const char *machine_path = machine_file_path();
    if (token == 0 || machine_path == nullptr || failed_tokens[number].load(relaxed) == token)
        return 0xFF;
    // A transfer's later bytes keep its deadline; one whose first byte
    // went to another device starts its own.
    if (access.byte == 0 || milliseconds_until(transfer_deadline) == 0) {
        ::clock_gettime(CLOCK_MONOTONIC, &transfer_deadline);
        transfer_deadline.tv_sec += answer_timeout_seconds;
    }
    const timespec deadline = transfer_deadline;
    const auto first_port = slot.base.load(relaxed);
    const Request request{new_sequence(),
                          static_cast<std::uint16_t>(first_port + access.offset),
                          access.offset,
                          kind,
                          static_cast<std::uint8_t>(access.width * 8),
                          access.byte,
                          value};
    Connection own;
    Connection *pooled = take_connection(number);
    Connection &connection = pooled != nullptr ? *pooled : own;
    const pid_t process = ::getpid();
    if (connection.fd >= 0 && !still_usable(connection, process, token))
        close_connection(connection); // only if the number is still its socket
    Failure failure = Failure::none;
    if (connection.fd < 0)
        failure = connect_to_server(connection, machine_path, first_port, process, token);
    std::uint8_t answer = 0xFF;
    if (failure == Failure::none)
        failure = exchange(connection, request, deadline, answer);
    if (failure != Failure::none || pooled == nullptr)
        close_connection(connection);
    if (pooled != nullptr)
        pooled->taken.store(false, std::memory_order_release);
    if (failure == Failure::none)
        return answer;
    if (failed_tokens[number].exchange(token) != token)
        tell_failure(slot, state.process.load(relaxed), failure);
    return 0xFF;
}

std::uint8_t served_read(Machine &machine, DeviceSlot &slot, const PortAccess &access)
{
    return served_transfer(machine, slot, access, access.peek ? 'p' : 'r', 0);
}

void served_write(Machine &machine, DeviceSlot &slot, const PortAccess &access, std::uint8_t value)
{
    served_transfer(machine, slot, access, 'w', value);
}

// The server keeps its device's state, not the machine.
void keep(Machine & /*machine*/, DeviceSlot & /*slot*/) {}

void describe_server(Machine & /*machine*/, DeviceSlot &slot, Properties &properties)
{
    properties.add("process", decimal_text(static_cast<std::uint32_t>(
                                  state_of<UserDeviceState>(slot).process.load(relaxed))));
    sockaddr_un address{};
    const char *machine_path = machine_file_path();
    if (machine_path != nullptr && socket_address(machine_path, slot.base.load(relaxed), address))
        properties.add("socket", address.sun_path);
}

} // namespace

extern const DeviceType served_device{
    .name = "served",
    .summary = "a device answered by a server process (qport_sim_serve_ports)",
    .port_count = 0,
    .state = state_layout<UserDeviceState>(1),
    .read = served_read,
    .write = served_write,
    .reset = keep,
    .describe = describe_server,
};

} // namespace qport::sim
