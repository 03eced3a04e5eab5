// SPDX-License-Identifier: LGPL-2.1-or-later
// The parallel port without root. When the kernel refuses direct port access
// for want of CAP_SYS_RAWIO, 8-bit transfers on the registers of a parallel
// port whose /dev/parportN this user may open go through that device.
//
// Nothing here runs at load: the devices are looked for once, at the first
// transfer or query that needs them, and kept open (close-on-exec, so no
// exec'd program inherits them) until the process ends. A port is claimed at
// its first transfer and kept. Only the hardware backend widens a refusal to
// QPORT_ACCESS_PARPORT_ONLY, so the simulated build, whose ports are all in
// memory, never routes a transfer anywhere.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include <fcntl.h>
#include <linux/ppdev.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "backend.h"
#include "internal.h"
#include "parport.h"

namespace qport {
namespace {

using namespace parport;

// ppdev's character devices.
constexpr unsigned ppdev_major = 99;
// How long a transfer waits for another driver to let go of the port, the
// first time; later ones look once.
constexpr unsigned claim_wait_ms = 1000;
constexpr auto claim_poll_interval = std::chrono::milliseconds(10);

class OpenDevice final : public Device {
public:
    explicit OpenDevice(int fd) : fd_(fd) {}
    int request(unsigned long request, void *argument) override
    {
        return ::ioctl(fd_, request, argument);
    }

private:
    int fd_;
};

struct Route {
    Route(const Port &found, std::string path, int fd)
        : port(found), reach{found.base, std::move(path)}, device(fd), registers(device, port)
    {}
    Port port;
    Reach reach;
    OpenDevice device;
    Registers registers;
    // Set once, under transfer_mutex; read without it by data and status
    // transfers.
    std::atomic<bool> claimed{false};
    bool waited = false;
};

constexpr unsigned control_offset = 2;

#if defined(QPORT_SIMULATED)
constexpr bool simulated_build = true;
#else
constexpr bool simulated_build = false;
#endif

// Claims and control transfers, one at a time: a claim's wait and the
// direction the register view keeps must not interleave.
std::mutex transfer_mutex;
// Whether the calling thread's transfers take the route: a thread's refusal
// is final, so once it does, it does until it drops its access.
constinit thread_local bool thread_takes_route __attribute__((tls_model("initial-exec"))) = false;
std::atomic<bool> told_route_refusal{false};

// An open ppdev device, or -1. Anything else at that path (a file, another
// device) is left alone.
bool is_ppdev(const struct stat &status)
{
    return S_ISCHR(status.st_mode) && ::major(status.st_rdev) == ppdev_major;
}

// An open ppdev device, or -1. Anything else at that path (a file, a FIFO,
// another device, whose open could have effects of its own) is never opened;
// the descriptor is checked again in case the path changed in between.
int open_ppdev(const std::string &path)
{
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0 || !is_ppdev(status))
        return -1;
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return -1;
    if (::fstat(fd, &status) != 0 || !is_ppdev(status)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::vector<std::unique_ptr<Route>> look_for_routes()
{
    std::vector<std::unique_ptr<Route>> found;
    // Whatever access the simulated build is told to pretend, its ports are
    // all in memory: it never opens a device.
    if constexpr (simulated_build)
        return found;
    for (const Port &port : find_ports("")) {
        std::string path = device_path("", port.number);
        const int fd = open_ppdev(path);
        if (fd >= 0)
            found.push_back(std::make_unique<Route>(port, std::move(path), fd));
    }
    return found;
}

// Looked for once, by the first thread that asks, and only read afterwards.
// Never destroyed: other threads may still transfer while the process exits,
// which closes the devices.
const std::vector<std::unique_ptr<Route>> &reachable_routes()
{
    static const auto *const routes = new std::vector<std::unique_ptr<Route>>(look_for_routes());
    return *routes;
}

std::vector<Reach> reach_of_routes()
{
    std::vector<Reach> reach;
    for (const auto &route : reachable_routes())
        reach.push_back(route->reach);
    return reach;
}

// The route for port, if the calling thread's transfers take one.
Route *route_for(std::uint16_t port)
{
    if (!thread_takes_route) {
        if (backend::thread_access().cause != QPORT_ACCESS_PARPORT_ONLY)
            return nullptr;
        thread_takes_route = true;
    }
    for (const auto &route : reachable_routes()) {
        if (port >= route->port.base && port - route->port.base <= 2)
            return route.get();
    }
    return nullptr;
}

// Why a routed transfer was not made, for the notice; empty when it was.
struct Refusal {
    std::string title;
    std::string text;
};

Refusal claim_refusal(const Route &route, int error)
{
    return {"Parallel port unavailable",
            "The parallel port " + reachable_text({route.reach}) +
                " could not be claimed: " + std::strerror(error) +
                ".\n\nThis transfer was not made: a read returns -1 (all bits set), a write "
                "is dropped."};
}

// Claims the port for good, waiting a bounded time for another driver to let
// go of it; false, with the refusal filled in, when it could not. Called with
// transfer_mutex held.
bool claim(Route &route, Refusal &refusal)
{
    if (route.claimed.load(std::memory_order_relaxed))
        return true;
    const unsigned wait_ms = route.waited ? 0 : claim_wait_ms;
    route.waited = true;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
    std::string holder;
    for (;;) {
        // PPCLAIM itself would block until the holder lets go, without limit.
        holder = holder_of("", route.port.number);
        if (holder.empty()) {
            if (route.device.request(PPCLAIM, nullptr) == 0) {
                route.claimed.store(true, std::memory_order_release);
                return true;
            }
            if (errno != EINTR) {
                refusal = claim_refusal(route, errno);
                return false;
            }
            continue;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            break;
        std::this_thread::sleep_for(claim_poll_interval);
    }
    refusal = {"Parallel port busy", busy_text(route.reach, holder, wait_ms)};
    return false;
}

Refusal request_refusal(const Route &route, int error)
{
    return {"Parallel port transfer failed",
            "A transfer on the parallel port " + reachable_text({route.reach}) +
                " failed: " + std::strerror(error) +
                ".\n\nIt was not made: a read returns -1 (all bits set), a write is dropped."};
}

// Makes one register transfer on route: once the port is claimed, data and
// status transfers go without the lock (they keep no state here, and ppdev
// orders its requests itself); a claim and control transfers take it. False,
// with the refusal filled in, when the transfer was not made.
template <typename Transfer>
bool transfer_on(Route &route, unsigned offset, const Transfer &transfer, Refusal &refusal)
{
    if (offset != control_offset && route.claimed.load(std::memory_order_acquire)) {
        if (transfer())
            return true;
        refusal = request_refusal(route, errno);
        return false;
    }
    const std::lock_guard lock(transfer_mutex);
    if (!claim(route, refusal))
        return false;
    if (transfer())
        return true;
    refusal = request_refusal(route, errno);
    return false;
}

// Tells the user once per process, outside the lock: a notice blocks.
void tell(const Refusal &refusal)
{
    if (!refusal.title.empty() && !told_route_refusal.exchange(true))
        present_notice(refusal.title.c_str(), refusal.text.c_str());
}

} // namespace

Access widened_by_parport_route(const Access &access)
{
    // Lockdown and user namespaces are told as the kernel said them: the
    // route is for a user who merely lacks the capability.
    if (access.cause != QPORT_ACCESS_NO_PRIVILEGE || reachable_routes().empty())
        return access;
    return {QPORT_ACCESS_PARPORT_ONLY, access.error};
}

void leave_parport_route() { thread_takes_route = false; }

std::optional<std::uint8_t> read_through_parport_route(std::uint16_t port)
{
    Route *route = route_for(port);
    if (route == nullptr)
        return std::nullopt;
    const unsigned offset = port - route->port.base;
    std::uint8_t value = 0;
    Refusal refusal;
    if (transfer_on(
            *route, offset, [&] { return route->registers.read(offset, value); }, refusal))
        return value;
    tell(refusal);
    return static_cast<std::uint8_t>(QPORT_REFUSED_READ);
}

bool write_through_parport_route(std::uint16_t port, std::uint8_t value)
{
    Route *route = route_for(port);
    if (route == nullptr)
        return false;
    const unsigned offset = port - route->port.base;
    Refusal refusal;
    if (!transfer_on(
            *route, offset, [&] { return route->registers.write(offset, value); }, refusal))
        tell(refusal);
    return true;
}

std::string parport_access_text() { return partial_access_text(reach_of_routes()); }

} // namespace qport

extern "C" QPORT_EXPORT size_t qport_parport_routes(qport_parport_route *out, size_t capacity)
{
    if (qport::backend::thread_access().cause != QPORT_ACCESS_PARPORT_ONLY)
        return 0;
    const auto &routes = qport::reachable_routes();
    const std::size_t copied = out == nullptr ? 0 : std::min(capacity, routes.size());
    for (std::size_t i = 0; i < copied; ++i) {
        out[i] = {};
        out[i].first_port = routes[i]->port.base;
        out[i].last_port = static_cast<unsigned short>(routes[i]->port.base + 2U);
        std::snprintf(out[i].device, sizeof out[i].device, "%s", routes[i]->reach.device.c_str());
    }
    return routes.size();
}
