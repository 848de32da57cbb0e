// SPDX-License-Identifier: GPL-3.0-or-later
// RTP packets put in order by their sequence numbers: losses filled by their
// timestamps, reordering within the wait undone, duplicates and late packets
// dropped, a sender's restart taken up.
#include "receiver/io/rtp_packets.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace io {
namespace {

constexpr int Frames = 480;
constexpr int64_t Ms = 1'000'000;

// The datagram of packet `sequence` (of a stream starting at timestamp 1000):
// mono L16 whose every sample is the sequence number.
std::vector<uint8_t> Datagram(uint16_t sequence, uint32_t timestamp, uint32_t ssrc = 0x1234,
                              bool padded = false) {
    std::vector<uint8_t> d = {0x80,
                              97,
                              uint8_t(sequence >> 8),
                              uint8_t(sequence),
                              uint8_t(timestamp >> 24),
                              uint8_t(timestamp >> 16),
                              uint8_t(timestamp >> 8),
                              uint8_t(timestamp),
                              uint8_t(ssrc >> 24),
                              uint8_t(ssrc >> 16),
                              uint8_t(ssrc >> 8),
                              uint8_t(ssrc)};
    for (int i = 0; i < Frames; ++i) {
        d.push_back(uint8_t(sequence >> 8));
        d.push_back(uint8_t(sequence));
    }
    if (padded) {
        d[0] |= 0x20;
        d.insert(d.end(), {0, 0, 3});
    }
    return d;
}

struct Arrival {
    uint16_t Sequence;
    int64_t AtMs;
    uint32_t Ssrc = 0x1234;
};

struct Outcome {
    std::string Order; // sequence numbers let go, "+N" silence, "!" restart
    int64_t Duplicates = 0, Late = 0;
};

Outcome Play(const std::vector<Arrival>& arrivals, int64_t endMs) {
    RtpReorder reorder(1, 10 * 48000);
    std::vector<RtpRelease> out;
    for (const Arrival& a : arrivals) {
        reorder.Due(a.AtMs * Ms, out);
        const uint32_t timestamp =
            1000 + uint32_t(a.Sequence % 1000) * Frames + (a.Sequence >= 5000 ? 7777 : 0);
        const std::vector<uint8_t> d = Datagram(a.Sequence, timestamp, a.Ssrc, a.Sequence == 3);
        const auto packet = ParseRtp(d.data(), d.size());
        EXPECT_TRUE(packet);
        reorder.Add(*packet, a.AtMs * Ms, out);
    }
    reorder.Due(endMs * Ms, out);
    Outcome o;
    for (const RtpRelease& r : out) {
        if (r.Restart) o.Order += "!";
        if (r.SilenceBefore > 0) o.Order += "+" + std::to_string(r.SilenceBefore / Frames) + " ";
        EXPECT_EQ(r.Samples.size(), size_t(Frames));
        EXPECT_EQ(r.Samples.front(), int16_t(r.Sequence));
        o.Order += std::to_string(r.Sequence) + " ";
    }
    o.Duplicates = reorder.Duplicates();
    o.Late = reorder.Late();
    return o;
}

TEST(RtpReorder, LossesReorderingDuplicatesLateAndRestarts) {
    // 10 ms apart; 2 and 3 swapped; 5 twice; 7 lost; 9 comes 300 ms late,
    // after its place was filled; then the sender restarts with new numbers.
    const Outcome o = Play({{0, 0},
                            {1, 10},
                            {3, 20},
                            {2, 30},
                            {4, 40},
                            {5, 50},
                            {5, 55},
                            {6, 60},
                            {8, 80},
                            {10, 100},
                            {11, 110},
                            {9, 400},
                            {5000, 410},
                            {5001, 420}},
                           1000);
    EXPECT_EQ(o.Order, "0 1 2 3 4 5 6 +1 8 +1 10 11 !5000 5001 ");
    EXPECT_EQ(o.Duplicates, 1);
    EXPECT_EQ(o.Late, 1);
}

TEST(RtpReorder, WhatIsNoRtpIsRefused) {
    std::vector<uint8_t> d = Datagram(1, 1);
    d[0] = 0x40; // version 1
    EXPECT_FALSE(ParseRtp(d.data(), d.size()));
    EXPECT_FALSE(ParseRtp(d.data(), 11));
    d.assign({0xa0, 97, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 5}); // more padding than payload
    EXPECT_FALSE(ParseRtp(d.data(), d.size()));
}

} // namespace
} // namespace io
