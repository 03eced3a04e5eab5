// SPDX-License-Identifier: LGPL-2.1-or-later
// Device servers: a process answers a range of ports for every process on a
// shared machine (qport_sim_serve_ports). The machine holds a "served"
// device on those ports; a transfer to one of them, in any process, is a
// request over a Unix socket beside the machine file and a wait for the
// answer.
//
// The client side runs inside transfers, so it keeps their rules: system
// calls only, no allocation, no lock. Each process keeps a few connections
// per served device, each taken by one transfer at a time with an atomic
// flag; a transfer that finds them all taken (other threads, or the
// transfer its signal handler interrupted) connects for itself alone. A
// connection remembers the process that opened it, so a child after fork
// never talks over its parent's.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "internal.h"
#include "qport_sim.h"
#include "outputs.h"
#include "settings.h"
#include "program_devices.h"

namespace qport::sim {
namespace {

constexpr auto relaxed = std::memory_order_relaxed;
constexpr int answer_timeout_seconds = 1;

// One byte of a transfer, and its answer: the read byte, or the write's
// acknowledgement, so that a write is in before the transfer returns.
struct Request {
    std::uint32_t sequence;
    std::uint16_t port;
    std::uint16_t offset;
    std::uint8_t kind; // 'r', 'p' (a peek) or 'w'
    std::uint8_t width_bits;
    std::uint8_t byte;
    std::uint8_t value;
};
struct Answer {
    std::uint32_t sequence;
    std::uint8_t value;
    std::uint8_t padding[3];
};

// PATH.served-0300, for the machine file PATH and first port 0x300: the
// machine's owner alone may create it beside the file.
bool socket_address(const char *machine_path, std::uint16_t first_port, sockaddr_un &address)
{
    constexpr char suffix[] = ".served-";
    address = {};
    address.sun_family = AF_UNIX;
    const std::size_t length = std::strlen(machine_path);
    if (length + (sizeof suffix - 1) + 4 >= sizeof address.sun_path)
        return false;
    std::memcpy(address.sun_path, machine_path, length);
    std::memcpy(address.sun_path + length, suffix, sizeof suffix - 1);
    char *digits = address.sun_path + length + sizeof suffix - 1;
    for (unsigned i = 0; i < 4; ++i)
        digits[i] = "0123456789abcdef"[(unsigned{first_port} >> (12 - 4 * i)) & 0xFU];
    return true;
}

const sockaddr *as_address(const sockaddr_un &address)
{
    return reinterpret_cast<const sockaddr *>(&address);
}

bool peer_is_this_user(int fd)
{
    ucred peer{};
    socklen_t size = sizeof peer;
    return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && peer.uid == ::geteuid();
}

// ---------------------------------------------------------------- client

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

// ---------------------------------------------------------------- server

namespace sim = qport::sim;

struct qport_sim_server {
    qport_sim_read_port read = nullptr;
    qport_sim_write_port write = nullptr;
    void *user = nullptr;
    std::uint16_t first_port = 0;
    std::uint16_t count = 0;
    std::uint64_t token = 0;
    sim::Machine *machine = nullptr; // mappings stay for the process's life
    sim::DeviceSlot *slot = nullptr;
    sockaddr_un address{};
    dev_t socket_device = 0;
    ino_t socket_inode = 0;
    int listener = -1;
    int events = -1; // epoll: the listener and every client
    std::vector<int> clients;

    qport_sim_server() = default;
    qport_sim_server(const qport_sim_server &) = delete;
    qport_sim_server &operator=(const qport_sim_server &) = delete;
    ~qport_sim_server()
    {
        for (const int client : clients)
            ::close(client);
        if (events >= 0)
            ::close(events);
        if (listener >= 0)
            ::close(listener);
        // The socket, if it is still the one this server made.
        struct stat about {};
        if (socket_inode != 0 && ::lstat(address.sun_path, &about) == 0 &&
            about.st_dev == socket_device && about.st_ino == socket_inode)
            ::unlink(address.sun_path);
        if (slot != nullptr)
            sim::remove_user_device(*machine, *slot, token);
    }
};

namespace {

void tell_refused(const sockaddr_un &address, const char *why)
{
    sim::Line line;
    sim::tell(line.text("cannot serve ports at ")
                  .text(address.sun_path)
                  .text(": ")
                  .text(why)
                  .text("; it is left alone"));
}

// A socket already at the path: this user's, left by a server that ended
// without removing it, is replaced; anything else is refused.
int clear_socket_path(const sockaddr_un &address)
{
    struct stat about {};
    if (::lstat(address.sun_path, &about) != 0)
        return errno == ENOENT ? 0 : errno;
    if (S_ISLNK(about.st_mode) || !S_ISSOCK(about.st_mode) || about.st_uid != ::geteuid()) {
        tell_refused(address, S_ISLNK(about.st_mode)     ? "it is a symbolic link"
                              : !S_ISSOCK(about.st_mode) ? "it is not a socket"
                                                         : "it is another user's socket");
        return EEXIST;
    }
    const int probe = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (probe < 0)
        return errno;
    const bool answered =
        ::connect(probe, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
    ::close(probe);
    if (answered)
        return EBUSY;
    return ::unlink(address.sun_path) == 0 ? 0 : errno;
}

int listen_at(qport_sim_server &server)
{
    if (const int error = clear_socket_path(server.address); error != 0)
        return error;
    server.listener = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (server.listener < 0)
        return errno;
    // The socket file takes the socket's mode as bind creates it: no moment
    // at which another user could connect.
    if (::fchmod(server.listener, 0600) != 0 ||
        ::bind(server.listener, reinterpret_cast<const sockaddr *>(&server.address),
               sizeof server.address) != 0)
        return errno == EADDRINUSE ? EEXIST : errno;
    struct stat about {};
    if (::lstat(server.address.sun_path, &about) != 0)
        return errno;
    server.socket_device = about.st_dev;
    server.socket_inode = about.st_ino;
    if (::listen(server.listener, 64) != 0)
        return errno;
    server.events = ::epoll_create1(EPOLL_CLOEXEC);
    if (server.events < 0)
        return errno;
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = server.listener;
    return ::epoll_ctl(server.events, EPOLL_CTL_ADD, server.listener, &event) == 0 ? 0 : errno;
}

void drop_client(qport_sim_server &server, int client)
{
    ::epoll_ctl(server.events, EPOLL_CTL_DEL, client, nullptr);
    ::close(client);
    std::erase(server.clients, client);
}

void accept_clients(qport_sim_server &server)
{
    for (;;) {
        const int client =
            ::accept4(server.listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (client < 0)
            return;
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = client;
        if (!sim::peer_is_this_user(client) ||
            ::epoll_ctl(server.events, EPOLL_CTL_ADD, client, &event) != 0) {
            ::close(client);
            continue;
        }
        server.clients.push_back(client);
    }
}

std::uint8_t answer(qport_sim_server &server, const sim::Request &request)
{
    const std::uint32_t offset = request.port - std::uint32_t{server.first_port};
    if (request.port < server.first_port || offset >= server.count || offset != request.offset)
        return 0xFF;
    const qport_sim_port_access access{request.port, request.offset, request.width_bits,
                                       request.byte,
                                       static_cast<std::uint8_t>(request.kind == 'p' ? 1 : 0)};
    if (request.kind == 'w') {
        if (server.write != nullptr)
            server.write(server.user, &access, request.value);
        return 0;
    }
    return server.read != nullptr ? server.read(server.user, &access) : 0xFF;
}

// Answers what the client has sent; hangs up on one that is gone or sends
// what is no request.
int answer_client(qport_sim_server &server, int client)
{
    int answered = 0;
    for (;;) {
        sim::Request request{};
        const ssize_t got = ::recv(client, &request, sizeof request, 0);
        if (got < 0 && (errno == EAGAIN || errno == EINTR))
            return answered;
        if (got != static_cast<ssize_t>(sizeof request)) {
            drop_client(server, client);
            return answered;
        }
        const sim::Answer reply{request.sequence, answer(server, request), {}};
        if (::send(client, &reply, sizeof reply, MSG_NOSIGNAL) !=
            static_cast<ssize_t>(sizeof reply)) {
            drop_client(server, client);
            return answered;
        }
        ++answered;
    }
}

} // namespace

extern "C" QPORT_EXPORT qport_sim_server *qport_sim_serve_ports(uint16_t first_port, uint16_t count,
                                                                qport_sim_read_port read,
                                                                qport_sim_write_port write,
                                                                void *user)
{
    sim::note_api_use();
    const char *machine_path = sim::machine_file_path();
    if (count == 0 || std::uint32_t{first_port} + count > sim::port_count ||
        (read == nullptr && write == nullptr) || machine_path == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    std::unique_ptr<qport_sim_server> server(new (std::nothrow) qport_sim_server);
    if (server == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    server->read = read;
    server->write = write;
    server->user = user;
    server->first_port = first_port;
    server->count = count;
    if (!sim::socket_address(machine_path, first_port, server->address)) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    const std::lock_guard lock(sim::configuration_mutex());
    server->machine = sim::active_machine();
    server->token = sim::new_device_token();
    server->slot = sim::take_slot(*server->machine, sim::served_device, "served", first_port, count,
                                  server->token);
    if (server->slot == nullptr) {
        const int error = errno;
        server.reset();
        errno = error;
        return nullptr;
    }
    // Listening before any port leads to it.
    if (const int error = listen_at(*server); error != 0) {
        server.reset();
        errno = error;
        return nullptr;
    }
    if (!sim::claim_slot_ports(*server->machine, *server->slot, count)) {
        server->slot = nullptr; // freed by the claim
        server.reset();
        errno = EBUSY;
        return nullptr;
    }
    return server.release();
}

extern "C" QPORT_EXPORT int qport_sim_server_fd(const qport_sim_server *server)
{
    return server->events;
}

extern "C" QPORT_EXPORT int qport_sim_server_dispatch(qport_sim_server *server, int timeout_ms)
{
    constexpr int most_events = 16;
    epoll_event events[most_events];
    const int ready = ::epoll_wait(server->events, events, most_events, timeout_ms);
    if (ready < 0)
        return -1;
    int answered = 0;
    for (int i = 0; i < ready; ++i) {
        const int fd = events[i].data.fd;
        if (fd == server->listener)
            accept_clients(*server);
        // Unless an earlier event of this round hung up on it.
        else if (std::find(server->clients.begin(), server->clients.end(), fd) !=
                 server->clients.end())
            answered += answer_client(*server, fd);
    }
    return answered;
}

extern "C" QPORT_EXPORT void qport_sim_server_close(qport_sim_server *server)
{
    if (server == nullptr)
        return;
    const std::lock_guard lock(sim::configuration_mutex());
    delete server;
}
