// SPDX-License-Identifier: LGPL-2.1-or-later
// The parallel port without root. Wherever the kernel refuses direct port
// access (no CAP_SYS_RAWIO, a user namespace, lockdown, no kernel support),
// 8-bit transfers on the registers of a parallel port whose /dev/parportN
// this process may open go through that device, and on a port with EPP its
// EPP registers too, wide transfers within the data registers included.
//
// Nothing here runs at load: the devices are looked for once, at the first
// transfer or query that needs them, and kept open (close-on-exec, so no
// exec'd program inherits them) until the process ends. A port is claimed at
// its first transfer and kept. Only the hardware backend widens a refusal to
// QPORT_ACCESS_PARPORT_ONLY, so the simulated build, whose ports are all in
// memory, never routes a transfer anywhere.
#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include <linux/ppdev.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "backend.h"
#include "internal.h"
#include "parport_route.h"
#include "qport_parport.h"

namespace qport {
namespace {

using namespace parport;

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
    ssize_t read(void *buffer, std::size_t size) override { return ::read(fd_, buffer, size); }
    ssize_t write(const void *buffer, std::size_t size) override
    {
        return ::write(fd_, buffer, size);
    }

private:
    int fd_;
};

struct Route {
    explicit Route(OpenedPort opened)
        : port(opened.port), reach{port.base, std::move(opened.device), port.has_epp()},
          device(opened.fd), registers(device, port)
    {}
    Port port;
    Reach reach;
    OpenDevice device;
    Registers registers;
    // Set once, under transfer_mutex; read without it by data and status
    // transfers.
    std::atomic<bool> claimed{false};
    bool waited = false;

    // Whether a transfer at offset may go without transfer_mutex once the
    // port is claimed: data and status keep no state in the register view,
    // and ppdev orders its requests itself. Control keeps the direction; on
    // a port with EPP every transfer may switch ppdev's mode or follow EPP
    // cycles, and a status read then clears the timeout the kernel looks at.
    bool transfers_alone(unsigned offset) const { return offset <= 1 && !reach.epp; }
};

// Claims and control transfers, one at a time: a claim's wait and the
// direction the register view keeps must not interleave.
std::mutex transfer_mutex;
// Whether the calling thread's transfers take the route: a thread's refusal
// is final, so once it does, it does until it drops its access.
constinit thread_local bool thread_takes_route __attribute__((tls_model("initial-exec"))) = false;
std::atomic<bool> told_route_refusal{false};

std::vector<std::unique_ptr<Route>> look_for_routes()
{
    std::vector<std::unique_ptr<Route>> found;
    for (OpenedPort &opened : open_reachable_ports("", open_ppdev))
        found.push_back(std::make_unique<Route>(std::move(opened)));
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

// The route that makes a transfer of bytes at port, if the calling thread's
// transfers take one.
Route *route_for(std::uint16_t port, unsigned bytes)
{
    if (!thread_takes_route) {
        if (backend::thread_access().cause != QPORT_ACCESS_PARPORT_ONLY)
            return nullptr;
        thread_takes_route = true;
    }
    for (const auto &route : reachable_routes()) {
        if (port >= route->port.base &&
            route_covers(route->reach.epp, port - route->port.base, bytes))
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

// Makes one register transfer on route, with transfer_mutex for a claim and
// wherever Route::transfers_alone says. False, with the refusal filled in,
// when the transfer was not made.
template <typename Transfer>
bool transfer_on(Route &route, unsigned offset, const Transfer &transfer, Refusal &refusal)
{
    if (route.transfers_alone(offset) && route.claimed.load(std::memory_order_acquire)) {
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

// The bytes of a transfer, lowest first, as the port space orders them.
std::array<std::uint8_t, 4> bytes_of(std::uint32_t value)
{
    return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
            static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

std::uint32_t value_of(const std::array<std::uint8_t, 4> &bytes, unsigned count)
{
    std::uint32_t value = 0;
    for (unsigned i = count; i-- > 0;)
        value = value << 8 | bytes[i];
    return value;
}

} // namespace

Access widened_by_parport_route(const Access &access)
{
    // Only a refusal looks for the devices.
    if (access.cause == QPORT_ACCESS_GRANTED || access.cause == QPORT_ACCESS_DROPPED)
        return access;
    return with_route(access, !reachable_routes().empty());
}

void leave_parport_route() { thread_takes_route = false; }

std::optional<std::uint32_t> backend::read_through_route(std::uint16_t port, unsigned bytes)
{
    Route *route = route_for(port, bytes);
    if (route == nullptr)
        return std::nullopt;
    const unsigned offset = port - route->port.base;
    std::array<std::uint8_t, 4> read{};
    Refusal refusal;
    if (transfer_on(
            *route, offset,
            [&] {
                return bytes == 1 ? route->registers.read(offset, read[0])
                                  : route->registers.read_epp_data({read.data(), bytes});
            },
            refusal))
        return value_of(read, bytes);
    tell(refusal);
    return static_cast<std::uint32_t>(QPORT_REFUSED_READ);
}

bool backend::write_through_route(std::uint16_t port, unsigned bytes, std::uint32_t value)
{
    Route *route = route_for(port, bytes);
    if (route == nullptr)
        return false;
    const unsigned offset = port - route->port.base;
    const std::array<std::uint8_t, 4> written = bytes_of(value);
    Refusal refusal;
    if (!transfer_on(
            *route, offset,
            [&] {
                return bytes == 1 ? route->registers.write(offset, written[0])
                                  : route->registers.write_epp_data({written.data(), bytes});
            },
            refusal))
        tell(refusal);
    return true;
}

std::string backend::route_access_text() { return partial_access_text(reach_of_routes()); }

std::size_t backend::list_routes(qport_parport_route *out, std::size_t capacity)
{
    if (backend::thread_access().cause != QPORT_ACCESS_PARPORT_ONLY)
        return 0;
    const auto &routes = reachable_routes();
    const std::size_t copied = out == nullptr ? 0 : std::min(capacity, routes.size());
    for (std::size_t i = 0; i < copied; ++i) {
        out[i] = {};
        out[i].first_port = routes[i]->port.base;
        // Control, even on a port with EPP: the struct says so.
        out[i].last_port = static_cast<unsigned short>(routes[i]->port.base + 2U);
        std::snprintf(out[i].device, sizeof out[i].device, "%s", routes[i]->reach.device.c_str());
    }
    return routes.size();
}

bool backend::route_reaches(std::uint16_t port, unsigned bytes)
{
    return route_for(port, bytes) != nullptr;
}

} // namespace qport
