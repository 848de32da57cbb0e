// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/io/iq_writer.h"

#include <sndfile.h>

#include <nlohmann/json.hpp>

#include <cstring>

#include "receiver/io/iq_recording.h"

namespace io {

namespace {

std::string SigMfStem(const std::string& path) {
    for (const std::string suffix : {".sigmf-meta", ".sigmf-data"}) {
        if (path.size() > suffix.size() &&
            path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0)
            return path.substr(0, path.size() - suffix.size());
    }
    return path;
}

const char* SigMfTypeName(IqSampleType type) {
    switch (type) {
    case IqSampleType::Cu8:
        return "cu8";
    case IqSampleType::Cs16:
        return "ci16_le";
    case IqSampleType::Cf32:
        return "cf32_le";
    }
    return "?";
}

} // namespace

bool ParseIqFileKind(const std::string& text, IqFileKind& kind) {
    if (text == "wav16")
        kind = IqFileKind::Wav16;
    else if (text == "wavf")
        kind = IqFileKind::WavFloat;
    else if (text == "sigmf")
        kind = IqFileKind::SigMf;
    else if (text == "raw")
        kind = IqFileKind::Raw;
    else
        return false;
    return true;
}

std::unique_ptr<IqFileWriter> IqFileWriter::Create(const std::string& path,
                                                   const IqFileFormat& format, std::string& error) {
    std::unique_ptr<IqFileWriter> writer(new IqFileWriter);
    writer->format_ = format;
    if (!(format.SampleRate > 0.0)) {
        error = "the sample rate must be above 0";
        return nullptr;
    }
    if (format.Kind == IqFileKind::SigMf) {
        const std::string stem = SigMfStem(path);
        writer->dataPath_ = stem + ".sigmf-data";
        writer->metaPath_ = stem + ".sigmf-meta";
    } else {
        writer->dataPath_ = path;
    }
    if (!writer->data_.Open(writer->dataPath_, error)) return nullptr;
    if (format.Kind == IqFileKind::Wav16 || format.Kind == IqFileKind::WavFloat) {
        SF_INFO info{};
        info.samplerate = int(std::lround(format.SampleRate));
        info.channels = 2;
        info.format =
            SF_FORMAT_WAV | (format.Kind == IqFileKind::Wav16 ? SF_FORMAT_PCM_16 : SF_FORMAT_FLOAT);
        writer->wav_ = sf_open_fd(writer->data_.Descriptor(), SFM_WRITE, &info, SF_FALSE);
        if (!writer->wav_) {
            error = "cannot write " + path + ": " + sf_strerror(nullptr);
            return nullptr;
        }
        // Samples written as float beyond full scale are clipped in 16 bits.
        sf_command(writer->wav_, SFC_SET_CLIPPING, nullptr, SF_TRUE);
        if (format.CentreHz || !format.StartTime.empty()) {
            std::vector<uint8_t> auxi =
                MakeAuxiChunk(format.CentreHz.value_or(0.0), format.StartTime);
            SF_CHUNK_INFO chunk{};
            std::strncpy(chunk.id, "auxi", sizeof chunk.id);
            chunk.id_size = 4;
            chunk.datalen = unsigned(auxi.size());
            chunk.data = auxi.data();
            if (sf_set_chunk(writer->wav_, &chunk) != SF_ERR_NO_ERROR) {
                error = "cannot write the auxi chunk of " + path + ": " + sf_strerror(writer->wav_);
                return nullptr;
            }
        }
        return writer;
    }
    return writer;
}

IqFileWriter::~IqFileWriter() {
    // The pending files remove themselves unless Close put them in place.
    if (wav_) sf_close(wav_);
}

bool IqFileWriter::Write(const IqSample* samples, size_t count, std::string& error) {
    if (wav_) {
        interleaved_.resize(2 * count);
        for (size_t i = 0; i < count; ++i) {
            interleaved_[2 * i] = samples[i].real();
            interleaved_[2 * i + 1] = samples[i].imag();
        }
        if (sf_writef_float(wav_, interleaved_.data(), sf_count_t(count)) != sf_count_t(count)) {
            error = "cannot write " + dataPath_ + ": " + sf_strerror(wav_);
            return false;
        }
        return true;
    }
    const auto size = size_t(IqSampleBytes(format_.RawType));
    bytes_.resize(size * count);
    for (size_t i = 0; i < count; ++i)
        EncodeIqSample(format_.RawType, samples[i], bytes_.data() + i * size);
    // A write that fails is told by Close.
    data_.Write(std::string_view(reinterpret_cast<const char*>(bytes_.data()), bytes_.size()));
    return true;
}

bool IqFileWriter::WriteMeta(std::string& error) {
    nlohmann::json capture = {{"core:sample_start", 0}};
    if (format_.CentreHz) capture["core:frequency"] = *format_.CentreHz;
    if (!format_.StartTime.empty()) capture["core:datetime"] = format_.StartTime;
    const nlohmann::json meta = {{"global",
                                  {{"core:datatype", SigMfTypeName(format_.RawType)},
                                   {"core:sample_rate", format_.SampleRate},
                                   {"core:version", "1.0.0"},
                                   {"core:num_channels", 1}}},
                                 {"captures", nlohmann::json::array({capture})},
                                 {"annotations", nlohmann::json::array()}};
    if (!meta_.Open(metaPath_, error)) return false;
    meta_.WriteLine(meta.dump(2));
    return true;
}

bool IqFileWriter::Close(std::string& error) {
    if (wav_) {
        const int closed = sf_close(wav_);
        wav_ = nullptr;
        if (closed != 0) {
            error = "cannot write " + dataPath_ + ": " + sf_error_number(closed);
            return false;
        }
    }
    if (!metaPath_.empty() && !WriteMeta(error)) return false;
    // The data first: a SigMF reader starts from the metadata.
    if (!data_.Commit(error)) return false;
    return metaPath_.empty() || meta_.Commit(error);
}

} // namespace io
