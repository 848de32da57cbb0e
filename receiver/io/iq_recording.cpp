// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/io/iq_recording.h"

#include <sndfile.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace io {

namespace {

constexpr int64_t RawChunkBytes = 1 << 16;
constexpr std::string_view MetaSuffix = ".sigmf-meta";
constexpr std::string_view DataSuffix = ".sigmf-data";

bool EndsWith(const std::string& text, std::string_view suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string Lower(std::string text) {
    for (char& c : text)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// The .sigmf-meta of a SigMF recording named by its meta file, its data file
// or their stem; empty when `path` names none.
std::string SigMfMetaPath(const std::string& path) {
    if (EndsWith(path, MetaSuffix)) return path;
    if (EndsWith(path, DataSuffix))
        return path.substr(0, path.size() - DataSuffix.size()) + std::string(MetaSuffix);
    std::error_code ignored;
    const std::string meta = path + std::string(MetaSuffix);
    if (!std::filesystem::exists(path, ignored) && std::filesystem::exists(meta, ignored))
        return meta;
    return {};
}

uint16_t Le16(const std::vector<uint8_t>& d, size_t at) {
    return uint16_t(d[at] | d[at + 1] << 8);
}

uint32_t Le32(const std::vector<uint8_t>& d, size_t at) {
    return uint32_t(d[at]) | uint32_t(d[at + 1]) << 8 | uint32_t(d[at + 2]) << 16 |
           uint32_t(d[at + 3]) << 24;
}

void PutLe16(std::vector<uint8_t>& d, size_t at, uint16_t v) {
    d[at] = uint8_t(v);
    d[at + 1] = uint8_t(v >> 8);
}

std::optional<std::vector<uint8_t>> ReadAuxi(SNDFILE* file) {
    SF_CHUNK_INFO wanted{};
    std::strncpy(wanted.id, "auxi", sizeof wanted.id);
    wanted.id_size = 4;
    SF_CHUNK_ITERATOR* it = sf_get_chunk_iterator(file, &wanted);
    if (!it) return std::nullopt;
    SF_CHUNK_INFO chunk{};
    if (sf_get_chunk_size(it, &chunk) != SF_ERR_NO_ERROR || chunk.datalen == 0) return std::nullopt;
    std::vector<uint8_t> data(chunk.datalen);
    chunk.data = data.data();
    if (sf_get_chunk_data(it, &chunk) != SF_ERR_NO_ERROR) return std::nullopt;
    return data;
}

std::string SampleTypeOf(int format) {
    switch (format & SF_FORMAT_SUBMASK) {
    case SF_FORMAT_PCM_16:
        return "16-bit";
    case SF_FORMAT_PCM_24:
        return "24-bit";
    case SF_FORMAT_PCM_32:
        return "32-bit";
    case SF_FORMAT_PCM_U8:
    case SF_FORMAT_PCM_S8:
        return "8-bit";
    case SF_FORMAT_FLOAT:
        return "float";
    case SF_FORMAT_DOUBLE:
        return "double";
    default:
        return "other";
    }
}

// The parser's own words without its "[json.exception...]" tag.
std::string JsonReason(const std::exception& e) {
    std::string what = e.what();
    if (const size_t close = what.find("] "); what.rfind("[json.", 0) == 0 && close != what.npos)
        what = what.substr(close + 2);
    return what;
}

} // namespace

std::optional<double> FrequencyFromFileName(const std::string& path) {
    const std::string name = std::filesystem::path(path).filename().string();
    const std::string lower = Lower(name);
    for (size_t i = 0; i < lower.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(lower[i]))) continue;
        if (i > 0 &&
            (std::isdigit(static_cast<unsigned char>(lower[i - 1])) || lower[i - 1] == '.'))
            continue;
        size_t end = i;
        while (end < lower.size() && std::isdigit(static_cast<unsigned char>(lower[end])))
            ++end;
        if (end + 1 < lower.size() && lower[end] == '.' &&
            std::isdigit(static_cast<unsigned char>(lower[end + 1]))) {
            ++end;
            while (end < lower.size() && std::isdigit(static_cast<unsigned char>(lower[end])))
                ++end;
        }
        double scale = 0.0;
        size_t unit = 0;
        for (const auto& [text, factor] : {std::pair{"ghz", 1e9}, std::pair{"mhz", 1e6},
                                           std::pair{"khz", 1e3}, std::pair{"hz", 1.0}}) {
            if (lower.compare(end, std::strlen(text), text) == 0) {
                scale = factor;
                unit = std::strlen(text);
                break;
            }
        }
        const size_t after = end + unit;
        if (scale == 0.0 ||
            (after < lower.size() && std::isalpha(static_cast<unsigned char>(lower[after]))))
            continue;
        const double hz = std::strtod(name.substr(i, end - i).c_str(), nullptr) * scale;
        if (hz > 0.0 && std::isfinite(hz)) return std::nearbyint(hz * 1000.0) / 1000.0;
    }
    return std::nullopt;
}

std::optional<AuxiChunk> ParseAuxiChunk(const std::vector<uint8_t>& data) {
    if (data.size() < 36) return std::nullopt;
    AuxiChunk auxi;
    const uint32_t centre = Le32(data, 32);
    if (centre > 0) auxi.CentreHz = double(centre);
    const int year = Le16(data, 0), month = Le16(data, 2), day = Le16(data, 6);
    const int hour = Le16(data, 8), minute = Le16(data, 10), second = Le16(data, 12);
    const int ms = Le16(data, 14);
    if (year >= 1980 && month >= 1 && month <= 12 && day >= 1 && day <= 31 && hour < 24 &&
        minute < 60 && second < 61 && ms < 1000) {
        char text[40];
        std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", year, month, day,
                      hour, minute, second, ms);
        auxi.StartTime = text;
    }
    return auxi;
}

std::vector<uint8_t> MakeAuxiChunk(double centreHz, const std::string& startTime) {
    std::vector<uint8_t> data(164, 0);
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (std::sscanf(startTime.c_str(), "%d-%d-%dT%d:%d:%d", &year, &month, &day, &hour, &minute,
                    &second) == 6) {
        const int fields[] = {year, month, 0, day, hour, minute, second, 0};
        for (size_t i = 0; i < 8; ++i)
            PutLe16(data, 2 * i, uint16_t(fields[i]));
    }
    const auto centre = static_cast<uint32_t>(std::clamp(std::nearbyint(centreHz), 0.0, 4.0e9));
    for (size_t i = 0; i < 4; ++i)
        data[32 + i] = uint8_t(centre >> (8 * i));
    return data;
}

bool IsIqRecording(const std::string& path) {
    if (!SigMfMetaPath(path).empty()) return true;
    SF_INFO sf{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &sf);
    if (!file) return false;
    const bool iq = sf.channels == 2 && (ReadAuxi(file) || FrequencyFromFileName(path));
    sf_close(file);
    return iq;
}

std::unique_ptr<IqRecordingReader> IqRecordingReader::Open(const std::string& path, bool asIq,
                                                           std::string& error) {
    std::unique_ptr<IqRecordingReader> reader(new IqRecordingReader);
    const std::string meta = SigMfMetaPath(path);
    const bool opened =
        meta.empty() ? reader->OpenWav(path, asIq, error) : reader->OpenSigMf(meta, error);
    if (!opened) return nullptr;
    return reader;
}

IqRecordingReader::~IqRecordingReader() {
    if (wav_) sf_close(wav_);
    if (raw_) std::fclose(raw_);
}

bool IqRecordingReader::OpenWav(const std::string& path, bool asIq, std::string& error) {
    SF_INFO sf{};
    wav_ = sf_open(path.c_str(), SFM_READ, &sf);
    if (!wav_) {
        error = "cannot read " + path + ": " + sf_strerror(nullptr);
        return false;
    }
    if (sf.channels != 2) {
        error = path + " has " + std::to_string(sf.channels) + " channel" +
                (sf.channels == 1 ? "" : "s") + "; an IQ recording has two (I left, Q right)";
        return false;
    }
    info_.Container = IqContainer::Wav;
    info_.SampleRate = sf.samplerate;
    info_.Frames = sf.frames;
    info_.SampleTypeName = SampleTypeOf(sf.format);
    info_.DataPath = path;
    bool recognised = false;
    if (const auto data = ReadAuxi(wav_)) {
        recognised = true;
        if (const auto auxi = ParseAuxiChunk(*data)) {
            info_.StartTime = auxi->StartTime;
            if (auxi->CentreHz) {
                info_.CentreHz = auxi->CentreHz;
                info_.CentreFrom = "auxi chunk";
            }
        }
    }
    if (!info_.CentreHz) {
        if (const auto named = FrequencyFromFileName(path)) {
            recognised = true;
            info_.CentreHz = named;
            info_.CentreFrom = "file name";
        }
    }
    if (!recognised && !asIq) {
        error = path + " is a two-channel recording without an auxi chunk or a frequency in its "
                       "name; take it for IQ explicitly if it is one";
        return false;
    }
    std::vector<char> log(8192, '\0');
    sf_command(wav_, SFC_GET_LOG_INFO, log.data(), int(log.size() - 1));
    for (const char* line = log.data(); *line;) {
        const char* end = std::strchr(line, '\n');
        const std::string text(line, end ? size_t(end - line) : std::strlen(line));
        if (text.find("should be") != std::string::npos)
            info_.Note += (info_.Note.empty() ? "" : "; ") + text;
        if (!end) break;
        line = end + 1;
    }
    return true;
}

bool IqRecordingReader::OpenSigMf(const std::string& metaPath, std::string& error) {
    std::ifstream in(metaPath, std::ios::binary);
    if (!in) {
        error = "cannot read " + metaPath + ": " + std::strerror(errno);
        return false;
    }
    nlohmann::json meta;
    try {
        meta = nlohmann::json::parse(in);
    } catch (const std::exception& e) {
        error = metaPath + " is not valid JSON: " + JsonReason(e);
        return false;
    }
    const auto fail = [&](const std::string& why) {
        error = metaPath + ": " + why;
        return false;
    };
    if (!meta.is_object() || !meta.contains("global") || !meta["global"].is_object())
        return fail("no \"global\" object");
    const nlohmann::json& global = meta["global"];
    const auto datatype = global.find("core:datatype");
    if (datatype == global.end() || !datatype->is_string()) return fail("no core:datatype");
    IqSampleType type{};
    const std::string typeName = datatype->get<std::string>();
    if (typeName == "cu8" || typeName == "ci16_le" || typeName == "cf32_le") {
        ParseIqSampleType(typeName, type);
    } else {
        return fail("samples of type " + typeName + " are not read; ci16_le, cf32_le or cu8");
    }
    const auto rate = global.find("core:sample_rate");
    if (rate == global.end() || !rate->is_number() || !(rate->get<double>() > 0.0))
        return fail("no positive core:sample_rate");
    if (const auto channels = global.find("core:num_channels");
        channels != global.end() && (!channels->is_number_integer() || *channels != 1)) {
        return fail("core:num_channels is " + channels->dump() + "; one channel only");
    }
    int64_t headerBytes = 0;
    if (const auto captures = meta.find("captures");
        captures != meta.end() && captures->is_array() && !captures->empty()) {
        const nlohmann::json& first = captures->front();
        if (const auto f = first.find("core:frequency"); f != first.end() && f->is_number()) {
            info_.CentreHz = f->get<double>();
            info_.CentreFrom = "core:frequency";
        }
        if (const auto t = first.find("core:datetime"); t != first.end() && t->is_string())
            info_.StartTime = t->get<std::string>();
        if (const auto h = first.find("core:header_bytes");
            h != first.end() && h->is_number_unsigned())
            headerBytes = h->get<int64_t>();
    }
    info_.Container = IqContainer::SigMf;
    info_.SampleRate = rate->get<double>();
    info_.SampleTypeName = typeName;
    info_.DataPath =
        metaPath.substr(0, metaPath.size() - MetaSuffix.size()) + std::string(DataSuffix);
    raw_ = std::fopen(info_.DataPath.c_str(), "rb");
    if (!raw_) {
        error = "cannot read " + info_.DataPath + ": " + std::strerror(errno);
        return false;
    }
    std::error_code sizeError;
    const auto bytes = static_cast<int64_t>(std::filesystem::file_size(info_.DataPath, sizeError));
    const int sampleBytes = IqSampleBytes(type);
    if (!sizeError) {
        info_.Frames = std::max<int64_t>(0, bytes - headerBytes) / sampleBytes;
        const int64_t cut = std::max<int64_t>(0, bytes - headerBytes) % sampleBytes;
        if (cut > 0)
            info_.Note = info_.DataPath + " ends " + std::to_string(cut) +
                         " bytes into a sample; those bytes are left unread";
    }
    if (headerBytes > 0 && std::fseek(raw_, long(headerBytes), SEEK_SET) != 0) {
        error =
            "cannot skip the " + std::to_string(headerBytes) + "-byte header of " + info_.DataPath;
        return false;
    }
    decoder_.emplace(type);
    return true;
}

int64_t IqRecordingReader::ReadWav(IqSample* out, int64_t n) {
    frames_.resize(size_t(n) * 2);
    const sf_count_t got = sf_readf_float(wav_, frames_.data(), n);
    for (sf_count_t i = 0; i < got; ++i)
        out[i] = {frames_[size_t(2 * i)], frames_[size_t(2 * i + 1)]};
    framesRead_ += got;
    if (sf_error(wav_) != SF_ERR_NO_ERROR) {
        error_ = "reading " + info_.DataPath + " failed after " + std::to_string(framesRead_) +
                 " samples: " + sf_strerror(wav_);
        return got > 0 ? got : -1;
    }
    return got;
}

int64_t IqRecordingReader::ReadRaw(IqSample* out, int64_t n) {
    int64_t delivered = 0;
    while (delivered < n) {
        if (decodedPos_ < decoded_.size()) {
            const size_t take = std::min(decoded_.size() - decodedPos_, size_t(n - delivered));
            std::copy_n(decoded_.begin() + std::ptrdiff_t(decodedPos_), take, out + delivered);
            decodedPos_ += take;
            delivered += int64_t(take);
            continue;
        }
        if (rawEnded_ || !error_.empty()) break;
        decoded_.clear();
        decodedPos_ = 0;
        bytes_.resize(RawChunkBytes);
        const size_t got = std::fread(bytes_.data(), 1, bytes_.size(), raw_);
        if (got < bytes_.size()) {
            if (std::ferror(raw_))
                error_ = "reading " + info_.DataPath + " failed after " +
                         std::to_string(framesRead_ + delivered) +
                         " samples: " + std::strerror(errno);
            rawEnded_ = true;
        }
        decoder_->Decode(bytes_.data(), got, decoded_);
    }
    framesRead_ += delivered;
    if (delivered == 0 && !error_.empty()) return -1;
    return delivered;
}

int64_t IqRecordingReader::Read(IqSample* out, int64_t n) {
    if (n <= 0) return 0;
    return wav_ ? ReadWav(out, n) : ReadRaw(out, n);
}

} // namespace io
