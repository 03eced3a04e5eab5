// SPDX-License-Identifier: LGPL-2.1-or-later
// Devices that programs add: attached in-process, and served by another
// process to everyone on a shared machine, including the server that goes
// away and the socket that another user placed.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "child_process.h"
#include "device_properties.h"
#include "fresh_machine.h"
#include "qport.h"
#include "qport_sim.h"

namespace {

// A register file of 8 bytes that notes each access.
struct Registers {
    std::uint8_t bytes[8] = {};
    std::vector<qport_sim_port_access> seen;
};

std::uint8_t read_register(void *user, const qport_sim_port_access *access)
{
    auto *registers = static_cast<Registers *>(user);
    registers->seen.push_back(*access);
    return registers->bytes[access->offset];
}

void write_register(void *user, const qport_sim_port_access *access, std::uint8_t value)
{
    auto *registers = static_cast<Registers *>(user);
    registers->seen.push_back(*access);
    registers->bytes[access->offset] = value;
}

// Without vector: a server's callbacks as a signal handler could run them.
std::uint8_t read_plus_one(void * /*user*/, const qport_sim_port_access *access)
{
    return static_cast<std::uint8_t>(access->port + 1);
}

std::atomic<unsigned> last_written{0};
void remember_write(void * /*user*/, const qport_sim_port_access *access, std::uint8_t value)
{
    last_written = static_cast<unsigned>(access->port) << 8 | value;
}

class UserDevices : public FreshMachine {
protected:
    ScratchDirectory directory;
};

TEST_F(UserDevices, AnAttachedDeviceTakesEachByteOfATransfer)
{
    Registers registers;
    const int handle = qport_sim_attach_device(0x300, 8, read_register, write_register, &registers);
    ASSERT_GE(handle, 0);
    outport(0x302, 0x44332211);
    EXPECT_EQ(inportb(0x303), 0x22);
    EXPECT_EQ(static_cast<unsigned short>(inportw(0x304)), 0x4433);
    // Half of this read is past the device: unbacked.
    EXPECT_EQ(static_cast<unsigned short>(inportw(0x307)), 0xFF00);
    EXPECT_EQ(qport_sim_peek(0x302), 0x11);
    ASSERT_EQ(registers.seen.size(), 9U);
    const qport_sim_port_access fourth = registers.seen[3];
    EXPECT_EQ(fourth.port, 0x305);
    EXPECT_EQ(fourth.offset, 5);
    EXPECT_EQ(fourth.width_bits, 32);
    EXPECT_EQ(fourth.byte, 3);
    EXPECT_EQ(registers.seen[8].peek, 1);
    EXPECT_EQ(registers.seen[7].port, 0x307);
    EXPECT_EQ(registers.seen[7].width_bits, 16);

    qport_sim_device_info devices[32];
    const size_t count = qport_sim_list_devices(devices, 32);
    bool listed = false;
    for (size_t i = 0; i < count; ++i)
        listed = listed || (std::string(devices[i].name) == "attached-0300" &&
                            std::string(devices[i].type) == "attached" &&
                            devices[i].first_port == 0x300 && devices[i].port_count == 8);
    EXPECT_TRUE(listed);

    qport_sim_reset();
    EXPECT_EQ(inportb(0x302), 0x11) << "a reset keeps the device";
    EXPECT_EQ(qport_sim_detach_device(handle), 0);
    EXPECT_EQ(inportb(0x302), static_cast<char>(0xFF));
    EXPECT_EQ(qport_sim_detach_device(handle), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(UserDevices, AttachingRefusesWhatCannotBe)
{
    Registers registers;
    const int first = qport_sim_attach_device(0x300, 4, read_register, nullptr, &registers);
    ASSERT_GE(first, 0);
    struct Case {
        uint16_t port;
        uint16_t count;
        qport_sim_read_port read;
        int error;
    } cases[] = {
        {0x310, 0, read_register, EINVAL}, {0xFFFF, 2, read_register, EINVAL},
        {0x310, 1, nullptr, EINVAL},       {0x37A, 2, read_register, EBUSY}, // lpt1
        {0x2FE, 4, read_register, EBUSY},                                    // the device above
    };
    for (const Case &c : cases) {
        errno = 0;
        EXPECT_EQ(qport_sim_attach_device(c.port, c.count, c.read, nullptr, &registers), -1)
            << std::hex << c.port;
        EXPECT_EQ(errno, c.error) << std::hex << c.port;
    }
    EXPECT_EQ(inportb(0x2FE), static_cast<char>(0xFF)) << "a refused device claims nothing";
    std::vector<int> handles;
    int handle = 0;
    while ((handle = qport_sim_attach_device(static_cast<uint16_t>(0x1000 + handles.size()), 1,
                                             read_register, nullptr, &registers)) >= 0)
        handles.push_back(handle);
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(handles.size(), 32U - 9 - 1) << "the pc profile's 9 devices and the first";
    EXPECT_EQ(qport_sim_set_profile("pc"), 0);
    EXPECT_EQ(qport_sim_detach_device(first), -1) << "a machine built anew has none";
    EXPECT_EQ(inportb(0x300), static_cast<char>(0xFF));
}

// A server in a child process, on the machine file at path.
pid_t start_server(const std::string &path, uint16_t first, uint16_t count)
{
    const pid_t child = ::fork();
    if (child == 0) {
        if (qport_sim_use_machine(path.c_str()) != 0)
            ::_exit(2);
        qport_sim_server *server =
            qport_sim_serve_ports(first, count, read_plus_one, remember_write, nullptr);
        if (server == nullptr)
            ::_exit(3);
        for (;;)
            qport_sim_server_dispatch(server, -1);
    }
    return child;
}

// Whether the served device at 0x300 is server's, its ports claimed.
bool served_by(pid_t server)
{
    auto properties = device_properties("served-0300");
    return properties["process"] == std::to_string(server) && properties["ports"].starts_with("0x");
}

bool wait_for_server(pid_t server)
{
    for (int i = 0; i < 500 && !served_by(server); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return served_by(server);
}

void stop(pid_t child)
{
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
}

TEST_F(UserDevices, AServerAnswersEveryProcessOnTheMachine)
{
    const std::string path = directory / "machine";
    ASSERT_EQ(qport_sim_use_machine(path.c_str()), 0);
    const pid_t server = start_server(path, 0x300, 8);
    ASSERT_TRUE(wait_for_server(server));
    struct stat about {};
    ASSERT_EQ(::lstat((path + ".served-0300").c_str(), &about), 0);
    EXPECT_TRUE(S_ISSOCK(about.st_mode));
    EXPECT_EQ(about.st_mode & 0777, 0600U);

    EXPECT_EQ(inportb(0x305), 0x06);
    EXPECT_EQ(static_cast<unsigned short>(inportw(0x306)), 0x0807);
    // A child forked after its parent connected has a connection of its own.
    EXPECT_EQ(in_child([] { return inportb(0x301) == 0x02 && inportb(0x302) == 0x03 ? 0 : 1; }), 0);
    EXPECT_EQ(inportb(0x300), 0x01);
    // Writes wait for the server, so a second process sees them in.
    EXPECT_EQ(in_child([] {
                  outportb(0x303, 0x5A);
                  return 0;
              }),
              0);
    // The written byte is in the server's memory: a served device that
    // reads back would show it; here the server's read is fixed.
    EXPECT_EQ(qport_sim_serve_ports(0x304, 2, read_plus_one, nullptr, nullptr), nullptr);
    EXPECT_EQ(errno, EBUSY);
    stop(server);
}

TEST_F(UserDevices, AServerThatGoesAwayLeavesTheProgramRunning)
{
    const std::string path = directory / "machine";
    ASSERT_EQ(qport_sim_use_machine(path.c_str()), 0);
    const pid_t server = start_server(path, 0x300, 2);
    ASSERT_TRUE(wait_for_server(server));
    ASSERT_EQ(inportb(0x300), 0x01);
    stop(server);
    const std::string said = standard_error_of([] {
        EXPECT_EQ(inportb(0x300), static_cast<char>(0xFF));
        outportb(0x301, 1);
        EXPECT_EQ(inportb(0x301), static_cast<char>(0xFF));
    });
    EXPECT_EQ(said, "qport: the device server of ports 0x0300-0x0301 (process " +
                        std::to_string(server) +
                        ") is gone; its ports read 0xff and their writes are dropped in this "
                        "process\n");

    // A server that stops answering costs one wait of a second.
    const pid_t silent = start_server(path, 0x300, 2);
    ASSERT_TRUE(wait_for_server(silent));
    ASSERT_EQ(inportb(0x300), 0x01) << "the next server takes the ports over";
    ::kill(silent, SIGSTOP);
    const auto start = std::chrono::steady_clock::now();
    const std::string waited = standard_error_of([] {
        for (int i = 0; i < 5; ++i)
            EXPECT_EQ(inportb(0x300), static_cast<char>(0xFF));
    });
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_NE(waited.find("did not answer within 1 s"), std::string::npos) << waited;
    EXPECT_EQ(std::count(waited.begin(), waited.end(), '\n'), 1);
    EXPECT_LT(took, std::chrono::seconds(3));
    stop(silent);
}

TEST_F(UserDevices, ServingNeedsASharedMachine)
{
    EXPECT_EQ(qport_sim_serve_ports(0x300, 1, read_plus_one, nullptr, nullptr), nullptr);
    EXPECT_EQ(errno, EINVAL);
}

// Another user's socket, or a link, at the path a server would take: the
// server refuses it and leaves it; a client never sends to another user's
// server.
TEST_F(UserDevices, ASocketAnotherUserPlacedIsRefused)
{
    const std::string path = directory / "machine";
    const std::string socket_path = path + ".served-0300";
    ASSERT_EQ(qport_sim_use_machine(path.c_str()), 0);
    ASSERT_EQ(::symlink("/tmp/elsewhere", socket_path.c_str()), 0);
    std::string said = standard_error_of([] {
        EXPECT_EQ(qport_sim_serve_ports(0x300, 1, read_plus_one, nullptr, nullptr), nullptr);
        EXPECT_EQ(errno, EEXIST);
    });
    EXPECT_NE(said.find("it is a symbolic link"), std::string::npos) << said;
    struct stat about {};
    EXPECT_EQ(::lstat(socket_path.c_str(), &about), 0);
    EXPECT_TRUE(S_ISLNK(about.st_mode)) << "left alone";
    ::unlink(socket_path.c_str());
    EXPECT_EQ(inportb(0x300), static_cast<char>(0xFF)) << "nothing claimed";

    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to place a socket of another user";
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    socket_path.copy(address.sun_path, sizeof address.sun_path - 1);
    const int placed = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
    ASSERT_EQ(::bind(placed, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ASSERT_EQ(::chown(socket_path.c_str(), 65534, 65534), 0);
    said = standard_error_of([] {
        EXPECT_EQ(qport_sim_serve_ports(0x300, 1, read_plus_one, nullptr, nullptr), nullptr);
        EXPECT_EQ(errno, EEXIST);
    });
    EXPECT_NE(said.find("another user's socket"), std::string::npos) << said;
    ::close(placed);
    ::unlink(socket_path.c_str());

    // A server of ours, whose socket another user's listener replaces.
    const pid_t server = start_server(path, 0x300, 1);
    ASSERT_TRUE(wait_for_server(server));
    ::unlink(socket_path.c_str());
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t stranger = ::fork();
    if (stranger == 0) {
        const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
        // Its credentials are taken at listen().
        if (::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
            ::setresuid(65534, 65534, 65534) != 0 || ::listen(fd, 4) != 0)
            ::_exit(1);
        char sent = 0;
        if (::write(ready[1], &sent, 1) != 1)
            ::_exit(1);
        const int client = ::accept(fd, nullptr, nullptr);
        char request[64];
        // Exit 9 if the client sent anything.
        ::_exit(::recv(client, request, sizeof request, 0) > 0 ? 9 : 0);
    }
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    said = standard_error_of([] { EXPECT_EQ(inportb(0x300), static_cast<char>(0xFF)); });
    EXPECT_NE(said.find("is another user's; nothing is sent to it"), std::string::npos) << said;
    EXPECT_EQ(wait_for(stranger, std::chrono::seconds(5)), 0);
    stop(server);
}

// A served device's messages as the client sends and takes them.
struct FakeRequest {
    std::uint32_t sequence;
    std::uint16_t port;
    std::uint16_t offset;
    std::uint8_t kind;
    std::uint8_t width_bits;
    std::uint8_t byte;
    std::uint8_t value;
};
struct FakeAnswer {
    std::uint32_t sequence;
    std::uint8_t value;
    std::uint8_t padding[3];
};

// How a server that is not qport's answers: each request's answer is
// 0x10 plus the number of requests before it.
enum class Manner {
    extra_answer, // and then one more, for the next request's number
    slowly,       // 0.7 s after the request
};

// Puts a listener of this user's own, answering in manner, in place of the
// socket of the real server at path's ports 0x300: the client trusts it as
// it would any server of its user. Returns the listener's process.
pid_t impersonate_server(const std::string &path, Manner manner)
{
    const std::string socket_path = path + ".served-0300";
    ::unlink(socket_path.c_str());
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    socket_path.copy(address.sun_path, sizeof address.sun_path - 1);
    int ready[2];
    if (::pipe(ready) != 0)
        return -1;
    const pid_t child = ::fork();
    if (child == 0) {
        const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
        if (::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
            ::listen(fd, 4) != 0)
            ::_exit(1);
        const char sent = 0;
        if (::write(ready[1], &sent, 1) != 1)
            ::_exit(1);
        std::uint8_t answered = 0;
        for (;;) {
            const int client = ::accept(fd, nullptr, nullptr);
            FakeRequest request{};
            while (::recv(client, &request, sizeof request, 0) == sizeof request) {
                if (manner == Manner::slowly)
                    std::this_thread::sleep_for(std::chrono::milliseconds(700));
                const FakeAnswer answer{
                    request.sequence, static_cast<std::uint8_t>(0x10 + answered++), {}};
                ::send(client, &answer, sizeof answer, MSG_NOSIGNAL);
                if (manner == Manner::extra_answer) {
                    const FakeAnswer extra{request.sequence + 1, 0xEE, {}};
                    ::send(client, &extra, sizeof extra, MSG_NOSIGNAL);
                }
            }
            ::close(client);
        }
    }
    char byte = 0;
    const bool started = ::read(ready[0], &byte, 1) == 1;
    ::close(ready[0]);
    ::close(ready[1]);
    return started ? child : -1;
}

// The highest-numbered socket this process holds: the library's
// connection, where the tests hold no socket of their own.
int library_socket()
{
    int found = -1;
    DIR *descriptors = ::opendir("/proc/self/fd");
    while (const dirent *entry = ::readdir(descriptors)) {
        const int fd = std::atoi(entry->d_name);
        struct stat about {};
        if (entry->d_name[0] != '.' && ::fstat(fd, &about) == 0 && S_ISSOCK(about.st_mode))
            found = std::max(found, fd);
    }
    ::closedir(descriptors);
    return found;
}

// The program closes the library's socket behind its back (a raw system
// call) and a file of its own takes the number: the library must neither
// close that file nor talk to the server through it, in this process or in
// a child forked after.
TEST_F(UserDevices, TheProgramsReusedDescriptorIsLeftToIt)
{
    const std::string path = directory / "machine";
    ASSERT_EQ(qport_sim_use_machine(path.c_str()), 0);
    const pid_t server = start_server(path, 0x300, 2);
    ASSERT_TRUE(wait_for_server(server));
    const auto reuse_and_check = [&](const std::string &file_path) {
        if (inportb(0x300) != 0x01)
            return 1;
        const int socket = library_socket();
        if (socket < 3)
            return 2;
        ::syscall(SYS_close, socket);
        const int file = ::open(file_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (file != socket && (::dup2(file, socket) != socket || ::close(file) != 0))
            return 3;
        struct stat before {};
        ::fstat(socket, &before);
        // The library finds its socket gone and connects anew.
        if (inportb(0x301) != 0x02 || inportb(0x300) != 0x01)
            return 4;
        struct stat after {};
        if (::fstat(socket, &after) != 0 || after.st_ino != before.st_ino)
            return 5; // closed, or replaced by the library's socket
        if (::write(socket, "mine\n", 5) != 5)
            return 6;
        ::close(socket);
        return file_text(file_path) == "mine\n" ? 0 : 7;
    };
    EXPECT_EQ(reuse_and_check(directory / "parent's"), 0);
    EXPECT_EQ(in_child([&] { return reuse_and_check(directory / "child's"); }), 0);
    stop(server);
}

// A server that sends an answer nobody asked for, numbered as the next
// request would be if numbers were counted: the next request still gets
// its own answer.
TEST_F(UserDevices, AnUnaskedAnswerIsNeverTakenForTheNextOne)
{
    const std::string path = directory / "machine";
    ASSERT_EQ(qport_sim_use_machine(path.c_str()), 0);
    const pid_t server = start_server(path, 0x300, 2);
    ASSERT_TRUE(wait_for_server(server));
    const pid_t impostor = impersonate_server(path, Manner::extra_answer);
    ASSERT_GT(impostor, 0);
    for (int request = 0; request < 8; ++request)
        EXPECT_EQ(inportb(0x300), static_cast<char>(0x10 + request)) << request;
    stop(impostor);
    stop(server);
}

// A four-byte transfer to a server that takes 0.7 s a byte waits about a
// second in all, as one that never answers does, not 0.7 s a byte.
TEST_F(UserDevices, ASlowServerCostsOneSecondATransfer)
{
    const std::string path = directory / "machine";
    ASSERT_EQ(qport_sim_use_machine(path.c_str()), 0);
    const pid_t server = start_server(path, 0x300, 4);
    ASSERT_TRUE(wait_for_server(server));
    const pid_t impostor = impersonate_server(path, Manner::slowly);
    ASSERT_GT(impostor, 0);
    const auto start = std::chrono::steady_clock::now();
    const std::string said = standard_error_of([] { inport(0x300); });
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_NE(said.find("did not answer within 1 s"), std::string::npos) << said;
    EXPECT_LT(took, std::chrono::milliseconds(2000));
    stop(impostor);
    stop(server);
}

} // namespace
