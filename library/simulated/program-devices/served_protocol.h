// SPDX-License-Identifier: LGPL-2.1-or-later
// Device servers: a process answers a range of ports for every process on a
// shared machine (qport_sim_serve_ports). The machine holds a "served"
// device on those ports; a transfer to one of them, in any process, is a
// request over a Unix socket beside the machine file and a wait for the
// answer.
//
//
// What the two sides share: the socket's path, the check of its peer, and
// the request and answer on the wire. The client (served_client.cpp) runs
// inside transfers, so everything here is async-signal-safe: system calls
// only, no allocation. The server is served_server.cpp.
#ifndef QPORT_SIM_SERVED_PROTOCOL_H
#define QPORT_SIM_SERVED_PROTOCOL_H

#include <cstdint>
#include <cstring>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace qport::sim {

// How long a client waits for the server's answer to a transfer.
inline constexpr int answer_timeout_seconds = 1;

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
inline bool socket_address(const char *machine_path, std::uint16_t first_port, sockaddr_un &address)
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

inline const sockaddr *as_address(const sockaddr_un &address)
{
    return reinterpret_cast<const sockaddr *>(&address);
}

inline bool peer_is_this_user(int fd)
{
    ucred peer{};
    socklen_t size = sizeof peer;
    return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && peer.uid == ::geteuid();
}

} // namespace qport::sim

#endif
