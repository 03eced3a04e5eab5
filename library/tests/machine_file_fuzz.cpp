// SPDX-License-Identifier: LGPL-2.1-or-later
// A shared machine whose file holds random bytes behind its valid header,
// under libFuzzer with the address and undefined-behaviour sanitizers: the
// library's transfers, properties, record and reset over any bytes a
// machine file's owner could write must stay within its arrays.
//
// Each input starts from a machine built as the default profile and is a
// list of patches: three bytes of offset into the machine past its header,
// one of length, then that many bytes written there. Then every port some
// device decodes is read and written, each device described, the record
// read back as lines, and the machine reset.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include <unistd.h>

#include "device.h"
#include "machine.h"
#include "qport.h"
#include "qport_sim.h"
#include "transfer_lines.h"

namespace {

using qport::sim::Machine;

class Discarded final : public qport::sim::Properties {
public:
    void add(std::string_view key, std::string_view value) override
    {
        size_ += key.size() + value.size();
    }
    std::size_t size_ = 0;
};

void patch(Machine &machine, const std::uint8_t *data, std::size_t size)
{
    auto *bytes = reinterpret_cast<unsigned char *>(&machine);
    constexpr std::size_t first = sizeof(qport::sim::MachineHeader);
    constexpr std::size_t body = sizeof(Machine) - first;
    while (size >= 4) {
        const std::size_t offset =
            first +
            (std::size_t{data[0]} | std::size_t{data[1]} << 8 | std::size_t{data[2]} << 16) % body;
        std::size_t length = data[3];
        data += 4;
        size -= 4;
        length = std::min({length, size, sizeof(Machine) - offset});
        std::memcpy(bytes + offset, data, length);
        data += length;
        size -= length;
    }
}

void use(Machine &machine)
{
    for (std::uint32_t port = 0; port < qport::sim::port_count; ++port) {
        if (machine.owner[port].load(std::memory_order_relaxed) == qport::sim::owner_none)
            continue;
        const auto as_short = static_cast<short>(static_cast<std::uint16_t>(port));
        inportb(as_short);
        outportb(as_short, static_cast<char>(port * 7));
        if (port % 4 == 0) {
            inport(as_short);
            outportw(as_short, static_cast<short>(port));
        }
    }
    for (qport::sim::DeviceSlot &slot : machine.slots) {
        if (const qport::sim::DeviceType *type = qport::sim::type_of(slot)) {
            Discarded properties;
            type->describe(machine, slot, properties);
        }
    }
    qport_sim_transfer transfers[64];
    const std::size_t kept = std::min<std::size_t>(qport_sim_transfers(transfers, 64), 64);
    for (std::size_t i = 0; i < kept; ++i)
        qport::transfer_line(transfers[i].time_ns, transfers[i].direction, transfers[i].width_bits,
                             transfers[i].port, transfers[i].value);
    qport::sim::reset_machine(machine);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int * /*argc*/, char *** /*argv*/)
{
    static char directory[] = "/tmp/qport-machine-fuzz-XXXXXX";
    if (::mkdtemp(directory) == nullptr)
        std::abort();
    const std::string path = std::string(directory) + "/machine";
    if (qport_sim_use_machine(path.c_str()) != 0)
        std::abort();
    // The file stays mapped; its name is not needed any more. A served
    // device's socket would be looked for beside it, where there is none.
    ::unlink(path.c_str());
    ::rmdir(directory);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    Machine &machine = *qport::sim::active_machine();
    qport::sim::build_machine(machine, qport::sim::default_profile());
    machine.recording.store(1);
    machine.first_kept_ticket.store(machine.next_ticket.load());
    patch(machine, data, size);
    use(machine);
    return 0;
}
