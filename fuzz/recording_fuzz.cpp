// SPDX-License-Identifier: GPL-3.0-or-later
// Any bytes as the recording of a batch run (WAV, FLAC or whatever libsndfile
// recognises), read to the end at the file's own rate and converted to the
// receiver's rate, and the first blocks fed through the chain.  The reader
// either refuses the file with a reason or delivers samples and then ends;
// it never hands out more than asked or reads past what the file holds.
#include "fuzz/fuzz_support.h"
#include "receiver/dsp/chain.h"
#include "receiver/io/recording.h"

#include <string>
#include <vector>

namespace {

// Compressed recordings (FLAC, ADPCM, ...) can hold long stretches in a few
// bytes; reading stops here to keep each run short.  Not a failure.
constexpr int64_t MaxSamples = 4000000;

void ReadToTheEnd(const std::string& path, int outputRate, io::ChannelChoice channel,
                  bool feedChain) {
    std::string error;
    auto reader = io::RecordingReader::Open(path, outputRate, channel, error);
    if (!reader) {
        fuzz::Check(!error.empty(), "a refused recording without a reason");
        return;
    }
    const io::RecordingInfo& info = reader->Info();
    fuzz::Check(info.Channels == 1 || info.Channels == 2, "channels out of range");
    fuzz::Check(info.FileRate >= 1000 && info.OutputRate > 0, "rate out of range");

    std::unique_ptr<dsp::ChainState> chain;
    dsp::Settings settings;
    dsp::ChainControls controls;
    dsp::DisplayHooks hooks;
    int32_t blocks = 0;
    if (feedChain) {
        chain = dsp::MakeChain(io::ModeForRate(info.OutputRate), controls, settings);
        hooks.TuneIndicator = [&](int32_t) { ++blocks; };
    }

    std::vector<int16_t> buffer(dsp::BlockLen + 16, 0x5A5A);
    int64_t total = 0;
    int zeroReads = 0;
    for (int chunk = 0;; ++chunk) {
        // Odd request sizes as well as whole blocks.
        const int64_t want = chunk % 3 == 1 ? 7 : dsp::BlockLen;
        buffer[size_t(want)] = 0x5A5A;
        const int64_t got = reader->Read(buffer.data(), want);
        fuzz::Check(got >= -1 && got <= want, "Read returned more than asked", std::to_string(got));
        fuzz::Check(buffer[size_t(want)] == 0x5A5A, "Read wrote past the samples asked for");
        if (got < 0) {
            fuzz::Check(!reader->Error().empty(), "a failed read without a reason");
            break;
        }
        if (got == 0) {
            // The end stays the end.
            if (++zeroReads == 2) break;
            continue;
        }
        fuzz::Check(zeroReads == 0, "samples after the end");
        total += got;
        if (total > MaxSamples) break;
        if (chain && blocks < 4)
            dsp::ResampleBuffer(*chain, settings, controls, hooks, buffer.data(), got * 2);
    }
    fuzz::Check(reader->FramesRead() >= 0, "negative frame count");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    // The last byte picks the channel; the file is everything.
    const io::ChannelChoice channel = static_cast<io::ChannelChoice>(data[size - 1] % 3);
    fuzz::MemoryFile file(data, size);
    ReadToTheEnd(file.Path(), 0, channel, true);     // the file's own rate
    ReadToTheEnd(file.Path(), 9600, channel, false); // NATO, converted unless 9600
    ReadToTheEnd(file.Path(), 8000, channel, false); // AMATEUR
    return 0;
}
