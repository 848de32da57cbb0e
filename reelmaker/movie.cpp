// SPDX-License-Identifier: GPL-3.0-or-later
#include "reelmaker/movie.h"

#include "reelmaker/picture.h"

#include <cmath>
#include <cstdio>
#include <limits>

namespace reelmaker {

std::optional<int32_t> ReadFrameRate(const QString& text) {
    const std::string s = text.toStdString();
    size_t i = 0;
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\n'))
        ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    long double value = 0;
    bool point = false;
    long double unit = 1;
    for (; i < s.size(); ++i) {
        const char c = s[i];
        if (c >= '0' && c <= '9') {
            if (point) {
                unit /= 10;
                value += (c - '0') * unit;
            } else {
                value = value * 10 + (c - '0');
            }
        } else if (c == '.' && !point) {
            point = true;
        } else {
            break;
        }
    }
    if (negative) value = -value;
    const long double rounded = std::nearbyint(value);
    if (rounded < std::numeric_limits<int32_t>::min() ||
        rounded > std::numeric_limits<int32_t>::max())
        return std::nullopt;
    return static_cast<int32_t>(rounded);
}

QString FrameRateProblem(const QString& text) {
    const std::optional<int32_t> rate = ReadFrameRate(text);
    if (rate && *rate >= 1) return {};
    return QStringLiteral("The frame rate \"%1\" cannot be used: enter a number of frames per "
                          "second of at least 1 (it is rounded to a whole number). No movie "
                          "was written.")
        .arg(text.trimmed());
}

std::string NumberText(long double value) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.6Lf", value < 0 ? -value : value);
    std::string digits = buffer;
    while (!digits.empty() && digits.back() == '0')
        digits.pop_back();
    if (!digits.empty() && digits.back() == '.') digits.pop_back();
    return (value < 0 && digits != "0" ? "-" : " ") + digits;
}

std::string QualityText(uint32_t dwQuality) {
    std::string text = " " + std::to_string(dwQuality / 100);
    const uint32_t hundredths = dwQuality % 100;
    if (hundredths != 0) {
        text += '.';
        text += static_cast<char>('0' + hundredths / 10);
        if (hundredths % 10 != 0) text += static_cast<char>('0' + hundredths % 10);
    }
    return text;
}

std::string ProgressText(int64_t n, int64_t m, uint32_t fccHandler, uint32_t dwQuality) {
    std::string text =
        "  Writing frame " + NumberText(n) + " of " + NumberText(m) + "\r\n  Compression ";
    // A zero byte in the code ends the whole text, as it would a C string.
    for (int i = 0; i < 4; ++i) {
        const char c = static_cast<char>((fccHandler >> (8 * i)) & 0xFF);
        if (c == 0) return text;
        text += c;
    }
    return text + "\r\n  Compress quality " + QualityText(dwQuality) + "%";
}

namespace {

bool Fail(MovieWriter& movie, const std::string& why) {
    if (movie.Error.empty()) movie.Error = why;
    return false;
}

bool WritePending(MovieWriter& movie) {
    for (const EncodedFrame& f : movie.Pending) {
        if (!AviWriteFrame(movie.Avi, f.Bytes.data(), static_cast<uint32_t>(f.Bytes.size()),
                           f.KeyFrame))
            return Fail(movie, movie.Avi.Error);
    }
    movie.Pending.clear();
    return true;
}

} // namespace

bool MovieOpen(MovieWriter& movie, const QString& path, int32_t rate) {
    movie.Error.clear();
    movie.File.reset();
    movie.Output = std::make_unique<savefile::PendingFile>();
    std::string why;
    if (!movie.Output->Open(path.toStdString(), why)) {
        movie.Output.reset();
        return Fail(movie, why);
    }
    movie.File = std::make_unique<QFile>();
    if (!movie.File->open(movie.Output->Descriptor(), QIODevice::WriteOnly,
                          QFileDevice::DontCloseHandle)) {
        const std::string reason = movie.File->errorString().toStdString();
        MovieAbandon(movie);
        return Fail(movie, "cannot write " + path.toStdString() + ": " + reason);
    }
    movie.Avi = AviFile{};
    movie.Avi.Device = movie.File.get();
    movie.Avi.Info = MovieStreamInfo(rate);
    return true;
}

bool MovieCreateStream(MovieWriter& movie, int32_t rate) {
    if (rate < 1) return Fail(movie, "the frame rate must be at least 1");
    movie.Avi.Info = MovieStreamInfo(rate);
    return true;
}

bool MovieSetCodec(MovieWriter& movie, const CompressOptions& options) {
    std::string why;
    if (!OpenEncoder(movie.Encoder, options, static_cast<int32_t>(movie.Avi.Info.dwRate), why))
        return Fail(movie, why);
    // A chosen "DIB " stays in the header; no choice at all leaves it 0.
    movie.Avi.Info.fccHandler =
        movie.Encoder.Codec.Encoder ? movie.Encoder.Codec.Fourcc : options.FccHandler;
    movie.Avi.ChunkId = movie.Encoder.Codec.Encoder ? MakeFourCC('0', '0', 'd', 'c')
                                                    : MakeFourCC('0', '0', 'd', 'b');
    return true;
}

bool MovieSetFormat(MovieWriter& movie) {
    movie.Avi.Format = EncodedFormat(movie.Encoder);
    if (!AviBegin(movie.Avi)) return Fail(movie, movie.Avi.Error);
    return true;
}

FrameResult MovieWriteFrame(MovieWriter& movie, const QImage& frame) {
    if (!movie.Encoder.Codec.Encoder && frame.width() == FrameWidth &&
        frame.height() == FrameHeight && frame.format() == QImage::Format_RGB32) {
        // Full frames go straight from one reused buffer into the file.
        PackFullFrame(frame, movie.FullFrame);
        if (!AviWriteFrame(movie.Avi, movie.FullFrame.data(),
                           static_cast<uint32_t>(movie.FullFrame.size()), true)) {
            Fail(movie, movie.Avi.Error);
            return FrameResult::Failed;
        }
        return FrameResult::Written;
    }
    std::string why;
    const size_t before = movie.Pending.size();
    if (!EncodeFrame(movie.Encoder, frame, movie.Pending, why)) {
        movie.Pending.resize(before);
        // An empty chunk keeps every later frame at its own position.
        if (!AviWriteFrame(movie.Avi, nullptr, 0, false)) {
            Fail(movie, movie.Avi.Error);
            return FrameResult::Failed;
        }
        return FrameResult::Skipped;
    }
    return WritePending(movie) ? FrameResult::Written : FrameResult::Failed;
}

bool MovieFinish(MovieWriter& movie) {
    std::string why;
    if (!FlushEncoder(movie.Encoder, movie.Pending, why)) {
        MovieAbandon(movie);
        return Fail(movie, why);
    }
    if (!WritePending(movie) || !AviFinish(movie.Avi)) {
        Fail(movie, movie.Avi.Error);
        MovieAbandon(movie);
        return false;
    }
    CloseEncoder(movie.Encoder);
    // The device's own buffer first: a flush cut short by a full disk must
    // not be renamed into place.
    if (!movie.File->flush()) {
        Fail(movie, "cannot write " + movie.Output->Path().string() + ": " +
                        movie.File->errorString().toStdString());
        MovieAbandon(movie);
        return false;
    }
    movie.File.reset();
    const bool committed = movie.Output->Commit(why);
    movie.Output.reset();
    return committed || Fail(movie, why);
}

void MovieAbandon(MovieWriter& movie) {
    CloseEncoder(movie.Encoder);
    movie.File.reset();
    movie.Output.reset(); // removes the temporary file
}

} // namespace reelmaker
