// SPDX-License-Identifier: LGPL-2.1-or-later
// qportio recording FILE: the ports a recording touches, its reads and
// writes on each, and the time it spans; a file a replay would refuse is
// refused here with the same line and reason.
#include "recording_command.h"

#include <cinttypes>
#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <string_view>

#include "exit_status.h"
#include "transfer_lines.h"

namespace qportio {
namespace {

struct PortUse {
    std::uint64_t reads = 0;
    std::uint64_t writes = 0;
    unsigned widths = 0; // bit 0: 8, bit 1: 16, bit 2: 32
};

void print_time(std::uint64_t time_ns)
{
    std::printf("%" PRIu64 ".%09" PRIu64, time_ns / 1000000000U, time_ns % 1000000000U);
}

} // namespace

std::optional<int> run_recording_command(std::span<const char *const> arguments)
{
    if (arguments.empty() || std::string_view(arguments[0]) != "recording")
        return std::nullopt;
    if (arguments.size() != 2)
        return usage_error("recording takes one FILE");
    const char *path = arguments[1];
    const qport::Recording recording = qport::read_recording(path);
    if (!recording.error.empty()) {
        if (recording.error_line != 0)
            std::fprintf(stderr, "qportio: %s, line %zu: %s\n", path, recording.error_line,
                         recording.error.c_str());
        else
            std::fprintf(stderr, "qportio: cannot read %s: %s\n", path, recording.error.c_str());
        return exit_bad_recording;
    }
    const auto &transfers = recording.transfers;
    std::printf("recording: %s\n", path);
    std::printf("transfers: %zu in %zu lines\n", transfers.size(), recording.lines);
    if (transfers.empty())
        return finish_output();
    std::printf("time: ");
    print_time(transfers.front().time_ns);
    std::printf(" to ");
    print_time(transfers.back().time_ns);
    std::printf(" (");
    print_time(transfers.back().time_ns - transfers.front().time_ns);
    std::printf(" s)\n");
    std::map<std::uint16_t, PortUse> ports;
    std::uint64_t reads = 0;
    for (const qport::RecordedTransfer &transfer : transfers) {
        PortUse &use = ports[transfer.port];
        if (transfer.direction == 'i') {
            ++use.reads;
            ++reads;
        } else {
            ++use.writes;
        }
        use.widths |= transfer.width_bits / 8 == 4 ? 4U : transfer.width_bits / 8;
    }
    std::printf("reads: %" PRIu64 ", writes: %" PRIu64 "\n", reads, transfers.size() - reads);
    std::printf("port    reads  writes  widths\n");
    for (const auto &[port, use] : ports) {
        std::string widths;
        for (const auto &[bit, name] : {std::pair{1U, "8"}, {2U, "16"}, {4U, "32"}}) {
            if ((use.widths & bit) != 0)
                widths += (widths.empty() ? "" : ",") + std::string(name);
        }
        std::printf("0x%04x %6" PRIu64 " %7" PRIu64 "  %s\n", unsigned{port}, use.reads, use.writes,
                    widths.c_str());
    }
    return finish_output();
}

} // namespace qportio
