// SPDX-License-Identifier: GPL-3.0-or-later
// IQ recordings of SDR receivers as input: complex baseband covering a band in
// which several transmitters may sit.
//
//  - IQ WAV: two channels, I left and Q right, 16-bit or float (any sample type
//    libsndfile reads).  Taken for IQ when it carries an `auxi` chunk (SDR
//    programs store the centre frequency and the start time there), or when its
//    file name carries a frequency (FrequencyFromFileName), or when asked.
//  - SigMF: a `.sigmf-meta` JSON file beside its `.sigmf-data`; ci16_le,
//    cf32_le or cu8, one channel; the rate from core:sample_rate, the centre
//    from core:frequency of the first capture, the start from its
//    core:datetime.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "receiver/io/iq_samples.h"

struct sf_private_tag;

namespace io {

enum class IqContainer { Wav, SigMf };

struct IqRecordingInfo {
    IqContainer Container = IqContainer::Wav;
    double SampleRate = 0.0;
    std::optional<double> CentreHz; // the frequency of baseband 0 Hz, when known
    std::string CentreFrom;         // "auxi chunk", "file name", "core:frequency"
    int64_t Frames = 0;             // complex samples the file holds
    std::string StartTime;          // ISO 8601 as the file says it, empty when unknown
    std::string SampleTypeName;     // "16-bit", "float", "cu8", ...
    std::string DataPath;           // the file the samples come from
    // What does not add up, told and not fatal: a data file that ends inside
    // a sample, a WAV header promising more than the file holds.
    std::string Note;
};

// The frequency in a file name as SDR programs write it: the first number
// directly followed by Hz, kHz, MHz or GHz (any case), with no digit or point
// before it and no letter after the unit; "SDR_20240301_101500Z_7100000Hz_IQ",
// "band_7.1MHz", "rec7100kHz" give 7.1 MHz.  Only the name counts, not the
// folder.  None when there is no such number or it is not above 0.
std::optional<double> FrequencyFromFileName(const std::string& path);

// Whether `path` names an IQ recording by itself: a SigMF recording (its
// .sigmf-meta or .sigmf-data, or their common stem when the meta file is
// there), or a two-channel WAV with an auxi chunk or a frequency in its name.
bool IsIqRecording(const std::string& path);

class IqRecordingReader {
  public:
    // Opens `path` as an IQ recording; `asIq` takes any two-channel file that
    // libsndfile reads for IQ, recognised or not.  On failure returns nullptr
    // and a one-line reason in `error`.
    static std::unique_ptr<IqRecordingReader> Open(const std::string& path, bool asIq,
                                                   std::string& error);
    ~IqRecordingReader();
    IqRecordingReader(const IqRecordingReader&) = delete;
    IqRecordingReader& operator=(const IqRecordingReader&) = delete;

    // Up to n samples into out; fewer only at the end.  Returns the count, 0 at
    // the end, -1 on a read error (see Error()); what was read before an error
    // is returned first.
    int64_t Read(IqSample* out, int64_t n);
    const IqRecordingInfo& Info() const { return info_; }
    const std::string& Error() const { return error_; }
    int64_t FramesRead() const { return framesRead_; }

  private:
    IqRecordingReader() = default;
    bool OpenWav(const std::string& path, bool asIq, std::string& error);
    bool OpenSigMf(const std::string& metaPath, std::string& error);
    int64_t ReadWav(IqSample* out, int64_t n);
    int64_t ReadRaw(IqSample* out, int64_t n);

    IqRecordingInfo info_;
    sf_private_tag* wav_ = nullptr;
    std::FILE* raw_ = nullptr;
    std::optional<RawIqDecoder> decoder_;
    std::vector<float> frames_;
    std::vector<uint8_t> bytes_;
    std::vector<IqSample> decoded_;
    size_t decodedPos_ = 0;
    bool rawEnded_ = false;
    int64_t framesRead_ = 0;
    std::string error_;
};

// The auxi chunk's layout: start and stop time as eight 16-bit words each
// (year, month, day of week, day, hour, minute, second, millisecond), then
// the centre frequency in Hz as a 32-bit word, all little-endian.
struct AuxiChunk {
    std::optional<double> CentreHz;
    std::string StartTime;
};
std::optional<AuxiChunk> ParseAuxiChunk(const std::vector<uint8_t>& data);
std::vector<uint8_t> MakeAuxiChunk(double centreHz, const std::string& startTime);

} // namespace io
