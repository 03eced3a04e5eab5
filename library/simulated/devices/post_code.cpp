// SPDX-License-Identifier: LGPL-2.1-or-later
// Port 0x80, where firmware and some drivers write progress codes (POST
// codes) for a diagnostic card to show. It reads all ones, as on most PCs.
#include <string>

#include "device.h"

namespace qport::sim {
namespace {

constexpr auto relaxed = std::memory_order_relaxed;

// The last code, plus one so that zero means none was written.
struct PostCode {
    std::atomic<std::uint16_t> last;
};

std::uint8_t read(Machine & /*machine*/, DeviceSlot & /*slot*/, const PortAccess & /*access*/)
{
    return 0xFF;
}

void write(Machine & /*machine*/, DeviceSlot &slot, const PortAccess & /*access*/,
           std::uint8_t value)
{
    state_of<PostCode>(slot).last.store(static_cast<std::uint16_t>(value + 1), relaxed);
}

void reset(Machine & /*machine*/, DeviceSlot &slot) { state_of<PostCode>(slot).last.store(0); }

void describe(Machine & /*machine*/, DeviceSlot &slot, Properties &properties)
{
    const std::uint16_t last = state_of<PostCode>(slot).last.load(relaxed);
    properties.add("code", last == 0 ? std::string("none") : hex_text(last - 1U, 2));
}

} // namespace

extern const DeviceType post_code_device{
    .name = "post-code",
    .summary = "the POST code port: takes progress codes, reads all ones",
    .port_count = 1,
    .state = state_layout<PostCode>(1),
    .read = read,
    .write = write,
    .reset = reset,
    .describe = describe,
};

} // namespace qport::sim
