// SPDX-License-Identifier: GPL-3.0-or-later
// Recordings as input: any mono or stereo WAV/FLAC that libsndfile reads, at
// any rate and sample type, delivered as the 16-bit samples a sound card
// would record at the receiver's rate.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct sf_private_tag;
struct soxr;

namespace io {

enum class ChannelChoice { Left, Right, Mix };

struct RecordingInfo {
    int FileRate = 0;
    int Channels = 0;
    int64_t Frames = 0;     // frames in the file, as its header says
    int OutputRate = 0;     // the rate samples are delivered at
    bool Converted = false; // resampled to outputRate
    // What libsndfile noted where the header disagrees with the file (a chunk
    // size beyond the end of a cut-off file, ...); empty when they agree.
    // `frames` then counts what the file holds.
    std::string HeaderMismatch;
};

class RecordingReader {
  public:
    // Opens `path`; outputRate 0 keeps the file's own rate.  On failure returns
    // nullptr and a one-line reason in `error`.
    static std::unique_ptr<RecordingReader> Open(const std::string& path, int outputRate,
                                                 ChannelChoice channel, std::string& error);
    ~RecordingReader();
    RecordingReader(const RecordingReader&) = delete;
    RecordingReader& operator=(const RecordingReader&) = delete;

    // Delivers samples at outputRate instead, converted from the file's own
    // rate; only before the first Read.
    bool ConvertTo(int outputRate, std::string& error);

    // Up to n samples into out; fewer only at the end of the recording.
    // Returns the count, 0 at the end, -1 on a read error (see Error()).
    int64_t Read(int16_t* out, int64_t n);
    const RecordingInfo& Info() const { return info_; }
    const std::string& Error() const { return error_; }
    // Frames of the file consumed so far.
    int64_t FramesRead() const { return framesRead_; }

  private:
    RecordingReader() = default;
    int64_t ReadFileFrames(int64_t frames); // into pending_, as floats of the chosen channel
    int64_t ReadDirect(int16_t* out, int64_t n);
    int64_t ReadBuffered(int16_t* out, int64_t n); // ReadDirect a chunk ahead

    sf_private_tag* file_ = nullptr;
    soxr* resampler_ = nullptr;
    RecordingInfo info_;
    ChannelChoice channel_ = ChannelChoice::Left;
    std::string path_;
    std::string error_;
    int64_t framesRead_ = 0;
    bool pcm16_ = false;
    bool direct_ = false;
    bool fileEnded_ = false;
    bool flushed_ = false;
    std::vector<int16_t> directSamples_; // chosen channel, read ahead of the caller
    size_t directPos_ = 0;
    std::string failure_; // a read error in the samples read ahead, not yet told
    std::vector<float> frameBuffer_;
    std::vector<int16_t> shortBuffer_;
    std::vector<float> pending_;   // chosen channel, file rate
    std::vector<float> converted_; // output rate, not yet delivered
    size_t convertedPos_ = 0;
};

// The receiver mode a recording's rate implies: 8000 -> AMATEUR (-1),
// anything else NATO (+1).
int32_t ModeForRate(int rate);
int RateForMode(int32_t mode);

bool ParseChannelChoice(const std::string& text, ChannelChoice& choice);

} // namespace io
