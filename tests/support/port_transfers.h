// SPDX-License-Identifier: LGPL-2.1-or-later
// A scripted exchange with a simulated device, for the device tests that
// drive a chip as its drivers do: byte writes, 16-bit writes, and byte
// reads with the value each must give.
#ifndef QPORT_TESTS_PORT_TRANSFERS_H
#define QPORT_TESTS_PORT_TRANSFERS_H

#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "qport.h"

struct PortTransfer {
    char direction; // 'o' byte write, 'w' 16-bit write, 'i' byte read
    short port;
    unsigned value;
};

// Makes the transfers in order; a read that gives another value fails the
// test, named by its place in the exchange.
inline void run_transfers(const std::vector<PortTransfer> &transfers)
{
    std::size_t step = 0;
    for (const PortTransfer &transfer : transfers) {
        SCOPED_TRACE(::testing::Message()
                     << "transfer " << step++ << ": " << transfer.direction << " 0x" << std::hex
                     << transfer.port << " 0x" << transfer.value);
        if (transfer.direction == 'o')
            outportb(transfer.port, static_cast<char>(transfer.value));
        else if (transfer.direction == 'w')
            outportw(transfer.port, static_cast<short>(transfer.value));
        else
            EXPECT_EQ(static_cast<std::uint8_t>(inportb(transfer.port)), transfer.value);
    }
}

#endif
