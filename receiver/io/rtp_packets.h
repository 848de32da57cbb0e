// SPDX-License-Identifier: GPL-3.0-or-later
// RTP packets of linear 16-bit PCM (L16, big-endian; payload types 10 and 11
// at 44100 samples/s, stereo and mono, or a dynamic type at an agreed rate)
// and their order: sequence numbers put every packet in its place, so a loss
// is known exactly and filled with as much silence as its timestamps say.
// Packets that come out of order wait for those before them up to a wait
// (200 ms); duplicates and packets whose place has passed are dropped; a jump
// of the sequence or the timestamp far beyond what reordering explains is a
// restart of the sender, taken up from that packet.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

namespace io {

inline constexpr int RtpStereoType = 10; // L16, 2 channels, 44100 samples/s
inline constexpr int RtpMonoType = 11;   // L16, 1 channel, 44100 samples/s
inline constexpr int RtpL16Rate = 44100;
inline constexpr int64_t RtpWaitNs = 200'000'000;

struct RtpPacket {
    uint16_t Sequence = 0;
    uint32_t Timestamp = 0;
    uint32_t Ssrc = 0;
    int PayloadType = 0;
    const uint8_t* Payload = nullptr; // into the datagram
    size_t PayloadBytes = 0;
};

// The header of an RTP datagram (version 2, CSRCs, extension and padding
// skipped); nothing when it is not one.
std::optional<RtpPacket> ParseRtp(const uint8_t* data, size_t bytes);

// One packet let go in order, with the silence (in frames, from the
// timestamps) of the packets lost before it.
struct RtpRelease {
    uint16_t Sequence = 0;
    uint32_t Timestamp = 0;
    std::vector<int16_t> Samples; // frames, channels interleaved, host order
    int64_t SilenceBefore = 0;    // frames
    bool Restart = false;         // the stream starts afresh at it
};

class RtpReorder {
  public:
    // `channels` per frame; `maxFillFrames`: larger timestamp gaps are a restart.
    RtpReorder(int channels, int64_t maxFillFrames, int64_t waitNs = RtpWaitNs);

    // A packet of the stream arrived at `nowNs`; what can go now is appended.
    void Add(const RtpPacket& packet, int64_t nowNs, std::vector<RtpRelease>& out);
    // Lets go of what waited for lost packets longer than the wait.
    void Due(int64_t nowNs, std::vector<RtpRelease>& out);

    int64_t Duplicates() const { return duplicates_; }
    int64_t Late() const { return late_; }

  private:
    struct Held {
        RtpRelease Packet;
        int64_t ArrivalNs = 0;
    };
    void Start(const RtpPacket& packet);
    void Release(RtpRelease packet, std::vector<RtpRelease>& out);
    void ReleaseHeld(std::vector<RtpRelease>& out);
    RtpRelease Decode(const RtpPacket& packet) const;

    int channels_;
    int64_t maxFillFrames_;
    int64_t waitNs_;
    bool started_ = false;
    bool restartNext_ = false;
    uint16_t next_ = 0;            // the sequence number due
    uint32_t nextTs_ = 0;          // its timestamp
    std::map<int, Held> held_;     // by distance ahead of next_
    std::vector<uint16_t> recent_; // sequence numbers let go lately
    int64_t duplicates_ = 0;
    int64_t late_ = 0;
};

} // namespace io
