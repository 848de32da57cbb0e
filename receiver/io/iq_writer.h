// SPDX-License-Identifier: GPL-3.0-or-later
// Writes IQ recordings as SDR programs do: two-channel WAV (I left, Q right,
// 16-bit or float, with an auxi chunk carrying the centre frequency and the
// start time), SigMF (.sigmf-meta and .sigmf-data) or raw interleaved samples.
// Everything goes to temporary names that Close renames into place.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "receiver/io/iq_samples.h"
#include "savefile/pending_file.h"

struct sf_private_tag;

namespace io {

enum class IqFileKind { Wav16, WavFloat, SigMf, Raw };

struct IqFileFormat {
    IqFileKind Kind = IqFileKind::Wav16;
    IqSampleType RawType = IqSampleType::Cs16; // SigMF and raw
    double SampleRate = 0.0;
    std::optional<double> CentreHz; // WAV: into the auxi chunk; SigMF: core:frequency
    std::string StartTime;          // ISO 8601 UTC, "2024-03-01T10:15:00Z"
};

// "wav16", "wavf", "sigmf", "raw".
bool ParseIqFileKind(const std::string& text, IqFileKind& kind);

class IqFileWriter {
  public:
    // For SigMF `path` is the stem or either file's name.  Null with a
    // one-line reason in `error` when the file cannot be made.
    static std::unique_ptr<IqFileWriter> Create(const std::string& path, const IqFileFormat& format,
                                                std::string& error);
    ~IqFileWriter(); // without Close: the temporary files are removed
    IqFileWriter(const IqFileWriter&) = delete;
    IqFileWriter& operator=(const IqFileWriter&) = delete;

    bool Write(const IqSample* samples, size_t count, std::string& error);
    // Completes the files and renames them into place.
    bool Close(std::string& error);
    // The file the samples go to once closed.
    const std::string& DataPath() const { return dataPath_; }

  private:
    IqFileWriter() = default;
    bool WriteMeta(std::string& error);

    IqFileFormat format_;
    std::string dataPath_, metaPath_;
    // Both files under temporary names until Close puts them in place.
    savefile::PendingFile data_, meta_;
    sf_private_tag* wav_ = nullptr;
    std::vector<float> interleaved_;
    std::vector<uint8_t> bytes_;
};

} // namespace io
