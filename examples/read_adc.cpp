// SPDX-License-Identifier: LGPL-2.1-or-later
// Reads the 8 channels of an ADC0809-like card at 0x300: writes the channel
// to 0x300, waits for end of conversion (bit 7 of 0x300) and reads the
// result from 0x301, as volts against a 5 V reference.
//   read_adc    exit status: 0, or 1 if a conversion never ended
#include <cstdio>

#include <qport.h>

namespace {

constexpr short base = 0x300;
constexpr int end_of_conversion = 0x80;
constexpr int polls = 1000;

} // namespace

int main()
{
    for (int channel = 0; channel < 8; ++channel) {
        outportb(base, static_cast<char>(channel));
        int poll = 0;
        while (poll < polls && (inportb(base) & end_of_conversion) == 0)
            ++poll;
        if (poll == polls) {
            std::fprintf(stderr, "read_adc: channel %d: no end of conversion\n", channel);
            return 1;
        }
        const int code = static_cast<unsigned char>(inportb(base + 1));
        std::printf("channel %d: %3d (%.2f V)\n", channel, code, code * 5.0 / 255);
    }
    return 0;
}
