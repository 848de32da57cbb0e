// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/io/recording.h"

#include "receiver/dsp/modes.h"

#include "receiver/io/rate_converter.h"

#include <sndfile.h>
#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace io {

namespace {

constexpr int64_t ChunkFrames = 4096;
// 16-bit recordings are taken from the file this many frames at a time: one
// read for many blocks instead of a system call for each.
constexpr int64_t DirectChunkFrames = 65536;

// Integer recordings read as float come back divided by 32768.
int16_t ToSample(float v) {
    return FloatToSample(v);
}

} // namespace

int32_t ModeForRate(int rate) {
    return dsp::ModeForRate(rate);
}
int RateForMode(int32_t mode) {
    return dsp::ModeInfoOf(mode).SampleRate;
}

bool ParseChannelChoice(const std::string& text, ChannelChoice& choice) {
    if (text == "left")
        choice = ChannelChoice::Left;
    else if (text == "right")
        choice = ChannelChoice::Right;
    else if (text == "mix")
        choice = ChannelChoice::Mix;
    else
        return false;
    return true;
}

std::unique_ptr<RecordingReader> RecordingReader::Open(const std::string& path, int outputRate,
                                                       ChannelChoice channel, std::string& error) {
    std::unique_ptr<RecordingReader> reader(new RecordingReader);
    SF_INFO sf{};
    reader->file_ = sf_open(path.c_str(), SFM_READ, &sf);
    if (!reader->file_) {
        error = "cannot read " + path + ": " + sf_strerror(nullptr);
        return nullptr;
    }
    if (sf.channels < 1 || sf.channels > 2) {
        error = path + " has " + std::to_string(sf.channels) +
                " channels; mono or stereo recordings only";
        return nullptr;
    }
    if (sf.samplerate < 1000 || sf.samplerate > 768000) {
        error = path + " claims " + std::to_string(sf.samplerate) +
                " samples per second; that is no recording of a receiver";
        return nullptr;
    }
    // libsndfile reads a file whose header promises more than it holds up to
    // its end and notes the disagreement in its log ("data : 4800 (should be
    // 2957)"); keep those notes so that the caller can say so.
    std::vector<char> log(8192, '\0');
    sf_command(reader->file_, SFC_GET_LOG_INFO, log.data(), int(log.size() - 1));
    for (const char* line = log.data(); *line;) {
        const char* end = std::strchr(line, '\n');
        const std::string text(line, end ? size_t(end - line) : std::strlen(line));
        if (text.find("should be") != std::string::npos) {
            if (!reader->info_.HeaderMismatch.empty()) reader->info_.HeaderMismatch += "; ";
            reader->info_.HeaderMismatch += text;
        }
        if (!end) break;
        line = end + 1;
    }
    if (channel == ChannelChoice::Right && sf.channels == 1) channel = ChannelChoice::Left;
    reader->path_ = path;
    reader->channel_ = channel;
    reader->info_.FileRate = sf.samplerate;
    reader->info_.Channels = sf.channels;
    reader->info_.Frames = sf.frames;
    reader->info_.OutputRate = sf.samplerate;
    reader->pcm16_ = (sf.format & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_16;
    // 16-bit recordings at the wanted rate go through untouched; every other
    // sample type is read as float and rounded like a sound card would.
    reader->direct_ = reader->pcm16_;
    if (outputRate > 0 && !reader->ConvertTo(outputRate, error)) return nullptr;
    return reader;
}

bool RecordingReader::ConvertTo(int outputRate, std::string& error) {
    if (framesRead_ > 0 || resampler_) {
        error = "cannot change the rate of " + path_ + " once reading has begun";
        return false;
    }
    info_.OutputRate = outputRate;
    info_.Converted = outputRate != info_.FileRate;
    direct_ = !info_.Converted && pcm16_;
    if (!info_.Converted) return true;
    std::string soxrError;
    resampler_ = CreateResampler(info_.FileRate, outputRate, soxrError);
    if (!resampler_) {
        error = std::string("cannot convert ") + path_ + " to " + std::to_string(outputRate) +
                " samples/s: " + soxrError;
        return false;
    }
    return true;
}

RecordingReader::~RecordingReader() {
    if (resampler_) soxr_delete(resampler_);
    if (file_) sf_close(file_);
}

int64_t RecordingReader::ReadDirect(int16_t* out, int64_t n) {
    if (info_.Channels == 1) {
        const sf_count_t got = sf_read_short(file_, out, n);
        framesRead_ += got;
        return got;
    }
    shortBuffer_.resize(size_t(n) * 2);
    const sf_count_t got = sf_readf_short(file_, shortBuffer_.data(), n);
    for (sf_count_t i = 0; i < got; ++i) {
        const int left = shortBuffer_[size_t(2 * i)];
        const int right = shortBuffer_[size_t(2 * i + 1)];
        switch (channel_) {
        case ChannelChoice::Left:
            out[i] = int16_t(left);
            break;
        case ChannelChoice::Right:
            out[i] = int16_t(right);
            break;
        // The mean of two 16-bit samples, halves away from zero.
        case ChannelChoice::Mix:
            out[i] = int16_t(std::lround((left + right) / 2.0));
            break;
        }
    }
    framesRead_ += got;
    return got;
}

int64_t RecordingReader::ReadFileFrames(int64_t frames) {
    frameBuffer_.resize(size_t(frames) * size_t(info_.Channels));
    const sf_count_t got = sf_readf_float(file_, frameBuffer_.data(), frames);
    for (sf_count_t i = 0; i < got; ++i) {
        const float* f = &frameBuffer_[size_t(i) * size_t(info_.Channels)];
        float v = f[0];
        if (info_.Channels == 2) {
            if (channel_ == ChannelChoice::Right) v = f[1];
            if (channel_ == ChannelChoice::Mix) v = 0.5f * (f[0] + f[1]);
        }
        pending_.push_back(v);
    }
    framesRead_ += got;
    return got;
}

int64_t RecordingReader::ReadBuffered(int16_t* out, int64_t n) {
    int64_t delivered = 0;
    while (delivered < n) {
        if (directPos_ < directSamples_.size()) {
            const size_t take = std::min(directSamples_.size() - directPos_, size_t(n - delivered));
            std::copy_n(directSamples_.begin() + std::ptrdiff_t(directPos_), take, out + delivered);
            directPos_ += take;
            delivered += int64_t(take);
            continue;
        }
        if (fileEnded_) break;
        directSamples_.resize(size_t(DirectChunkFrames));
        const int64_t got = ReadDirect(directSamples_.data(), DirectChunkFrames);
        directSamples_.resize(size_t(std::max<int64_t>(got, 0)));
        directPos_ = 0;
        if (sf_error(file_) != SF_ERR_NO_ERROR) {
            failure_ = "reading " + path_ + " failed after " + std::to_string(framesRead_) +
                       " samples: " + sf_strerror(file_);
        }
        if (!failure_.empty() || got < DirectChunkFrames) fileEnded_ = true;
    }
    // A read error shows once the samples read before it are delivered, in
    // the call that comes short of them or finds none.
    if (failure_.empty() || delivered == n) return delivered;
    error_ = failure_;
    return delivered > 0 ? delivered : -1;
}

int64_t RecordingReader::Read(int16_t* out, int64_t n) {
    if (n <= 0) return 0;
    if (direct_) return ReadBuffered(out, n);
    int64_t delivered = 0;
    while (delivered < n) {
        if (convertedPos_ < converted_.size()) {
            const size_t take = std::min(converted_.size() - convertedPos_, size_t(n - delivered));
            for (size_t i = 0; i < take; ++i)
                out[delivered + int64_t(i)] = ToSample(converted_[convertedPos_ + i]);
            convertedPos_ += take;
            delivered += int64_t(take);
            continue;
        }
        if (flushed_) break;
        converted_.clear();
        convertedPos_ = 0;
        pending_.clear();
        if (!fileEnded_) {
            const int64_t got = ReadFileFrames(ChunkFrames);
            if (sf_error(file_) != SF_ERR_NO_ERROR) {
                error_ = "reading " + path_ + " failed after " + std::to_string(framesRead_) +
                         " samples: " + sf_strerror(file_);
                return delivered > 0 ? delivered : -1;
            }
            if (got < ChunkFrames) fileEnded_ = true;
        }
        if (!info_.Converted) {
            // Already at the wanted rate: only the sample type changes.
            converted_.swap(pending_);
            if (fileEnded_) flushed_ = true;
            continue;
        }
        size_t made = 0;
        const bool last = fileEnded_;
        for (size_t offset = 0; offset < pending_.size();) {
            const size_t room =
                size_t(double(pending_.size() - offset) * info_.OutputRate / info_.FileRate) + 4096;
            converted_.resize(made + room);
            size_t used = 0;
            size_t got = 0;
            soxr_process(resampler_, pending_.data() + offset, pending_.size() - offset, &used,
                         converted_.data() + made, room, &got);
            offset += used;
            made += got;
            if (used == 0 && got == 0) break;
        }
        if (last) {
            // Drain what the filter still holds.
            size_t more = 0;
            do {
                converted_.resize(made + 4096);
                soxr_process(resampler_, nullptr, 0, nullptr, converted_.data() + made, 4096,
                             &more);
                made += more;
            } while (more > 0);
            flushed_ = true;
        }
        converted_.resize(made);
    }
    return delivered;
}

} // namespace io
