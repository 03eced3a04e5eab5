// SPDX-License-Identifier: LGPL-2.1-or-later
// The server side of device servers (served_protocol.h): a process that
// answers a range of ports for every process on a shared machine
// (qport_sim_serve_ports, qport_sim_server_dispatch). Unlike the client it
// runs in the server's own calls, and allocates.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "internal.h"
#include "outputs.h"
#include "program_devices.h"
#include "qport_sim.h"
#include "served_protocol.h"
#include "settings.h"

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
    const bool answered = ::connect(probe, sim::as_address(address), sizeof address) == 0;
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
        ::bind(server.listener, sim::as_address(server.address), sizeof server.address) != 0)
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
