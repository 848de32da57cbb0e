// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/io/rtp_packets.h"

#include <algorithm>

namespace io {

namespace {

constexpr int RestartAhead = 1000; // sequence numbers: more is a new stream
constexpr int RestartBehind = 100;
constexpr size_t RecentCount = 512;

uint32_t BigEndian32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

} // namespace

std::optional<RtpPacket> ParseRtp(const uint8_t* data, size_t bytes) {
    if (bytes < 12 || (data[0] >> 6) != 2) return std::nullopt;
    RtpPacket packet;
    packet.PayloadType = data[1] & 0x7f;
    packet.Sequence = static_cast<uint16_t>(data[2] << 8 | data[3]);
    packet.Timestamp = BigEndian32(data + 4);
    packet.Ssrc = BigEndian32(data + 8);
    size_t at = 12 + 4 * size_t(data[0] & 0x0f); // CSRCs
    if ((data[0] & 0x10) != 0) {                 // a header extension
        if (bytes < at + 4) return std::nullopt;
        at += 4 + 4 * size_t(data[at + 2] << 8 | data[at + 3]);
    }
    size_t end = bytes;
    if ((data[0] & 0x20) != 0) { // padding, its length in the last byte
        if (data[bytes - 1] == 0 || data[bytes - 1] > bytes) return std::nullopt;
        end -= data[bytes - 1];
    }
    if (at > end) return std::nullopt;
    packet.Payload = data + at;
    packet.PayloadBytes = end - at;
    return packet;
}

RtpReorder::RtpReorder(int channels, int64_t maxFillFrames, int64_t waitNs)
    : channels_(channels), maxFillFrames_(maxFillFrames), waitNs_(waitNs) {}

RtpRelease RtpReorder::Decode(const RtpPacket& packet) const {
    RtpRelease release;
    release.Sequence = packet.Sequence;
    release.Timestamp = packet.Timestamp;
    const size_t frames = packet.PayloadBytes / (2 * size_t(channels_));
    release.Samples.resize(frames * size_t(channels_));
    for (size_t i = 0; i < release.Samples.size(); ++i)
        release.Samples[i] =
            static_cast<int16_t>(packet.Payload[2 * i] << 8 | packet.Payload[2 * i + 1]);
    return release;
}

void RtpReorder::Start(const RtpPacket& packet) {
    restartNext_ = started_;
    started_ = true;
    next_ = packet.Sequence;
    nextTs_ = packet.Timestamp;
    recent_.clear();
}

void RtpReorder::Release(RtpRelease packet, std::vector<RtpRelease>& out) {
    const auto gap = static_cast<int32_t>(packet.Timestamp - nextTs_);
    if (gap > maxFillFrames_) {
        packet.Restart = true; // a pause too long to fill: time taken up afresh
    } else {
        packet.SilenceBefore = std::max<int32_t>(gap, 0);
    }
    packet.Restart = packet.Restart || restartNext_;
    restartNext_ = false;
    next_ = static_cast<uint16_t>(packet.Sequence + 1);
    nextTs_ = packet.Timestamp + static_cast<uint32_t>(packet.Samples.size() / size_t(channels_));
    recent_.push_back(packet.Sequence);
    if (recent_.size() > RecentCount) recent_.erase(recent_.begin());
    out.push_back(std::move(packet));
}

void RtpReorder::ReleaseHeld(std::vector<RtpRelease>& out) {
    // Every packet now in its place goes; the distances of the rest shrink.
    while (!held_.empty() && held_.begin()->first == 0) {
        const int step = 1;
        Release(std::move(held_.begin()->second.Packet), out);
        held_.erase(held_.begin());
        std::map<int, Held> moved;
        for (auto& [ahead, held] : held_)
            moved.emplace(ahead - step, std::move(held));
        held_ = std::move(moved);
    }
}

void RtpReorder::Add(const RtpPacket& packet, int64_t nowNs, std::vector<RtpRelease>& out) {
    if (!started_) Start(packet);
    const int ahead = static_cast<int16_t>(packet.Sequence - next_);
    if (ahead > RestartAhead || ahead < -RestartBehind) {
        // Another stream from the same sender: what waits goes first.
        while (!held_.empty())
            Due(nowNs + waitNs_ + 1, out);
        Start(packet);
        restartNext_ = true;
        Release(Decode(packet), out);
        return;
    }
    if (ahead < 0) {
        if (std::find(recent_.begin(), recent_.end(), packet.Sequence) != recent_.end())
            ++duplicates_;
        else
            ++late_; // its place was filled
        return;
    }
    if (held_.count(ahead) != 0) {
        ++duplicates_;
        return;
    }
    held_.emplace(ahead, Held{Decode(packet), nowNs});
    ReleaseHeld(out);
    Due(nowNs, out);
}

void RtpReorder::Due(int64_t nowNs, std::vector<RtpRelease>& out) {
    while (!held_.empty()) {
        int64_t oldest = held_.begin()->second.ArrivalNs;
        for (const auto& entry : held_)
            oldest = std::min(oldest, entry.second.ArrivalNs);
        if (nowNs - oldest < waitNs_) return;
        // The packets before the first held one are lost: it goes after
        // their silence.
        const int first = held_.begin()->first;
        std::map<int, Held> moved;
        for (auto& [ahead, held] : held_)
            moved.emplace(ahead - first, std::move(held));
        held_ = std::move(moved);
        next_ = static_cast<uint16_t>(next_ + first);
        ReleaseHeld(out);
    }
}

} // namespace io
