// SPDX-License-Identifier: GPL-3.0-or-later
#include "test_util.h"

#include <QFile>
#include <QPainter>
#include <QProcess>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace reelmaker {

ProcessResult RunProgram(const QString& program, const QStringList& args) {
    return RunProgram(program, args, QProcessEnvironment::systemEnvironment());
}

ProcessResult RunProgram(const QString& program, const QStringList& args,
                         const QProcessEnvironment& environment) {
    QProcess p;
    p.setProcessEnvironment(environment);
    p.start(program, args);
    ProcessResult r;
    if (!p.waitForStarted(10000)) {
        r.Err = "cannot start " + program;
        return r;
    }
    p.closeWriteChannel();
    p.waitForFinished(600000);
    r.OutBytes = p.readAllStandardOutput();
    r.Out = QString::fromLocal8Bit(r.OutBytes);
    r.Err = QString::fromLocal8Bit(p.readAllStandardError());
    r.ExitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    return r;
}

QImage SolidPicture(int width, int height, QRgb colour) {
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(colour);
    return image;
}

QImage PatternPicture(int width, int height, int seed) {
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y) {
        QRgb* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < width; ++x) {
            const int r = (x * 255 / std::max(1, width - 1) + seed * 37) % 256;
            const int g = (y * 255 / std::max(1, height - 1) + seed * 11) % 256;
            const int b = ((x + y) * 128 / std::max(1, width + height) + seed * 53) % 256;
            line[x] = qRgb(r, g, b);
        }
    }
    QPainter p(&image);
    p.fillRect(QRect(width / 5 + seed % 7, height / 4, width / 4, height / 3), QColor(20, 40, 200));
    p.fillRect(QRect(width / 2, height / 2 - seed % 5, width / 3, height / 5), Qt::white);
    return image;
}

void WriteFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    if (f.open(QIODevice::WriteOnly)) f.write(bytes);
}

QByteArray ReadFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

uint16_t Le16(const QByteArray& b, qsizetype at) {
    return static_cast<uint16_t>(uint8_t(b[at]) | uint8_t(b[at + 1]) << 8);
}
uint32_t Le32(const QByteArray& b, qsizetype at) {
    return uint32_t(Le16(b, at)) | uint32_t(Le16(b, at + 2)) << 16;
}
uint64_t Le64(const QByteArray& b, qsizetype at) {
    return uint64_t(Le32(b, at)) | uint64_t(Le32(b, at + 4)) << 32;
}

namespace {

void ReadInto(const QByteArray& file, qsizetype from, qsizetype to, std::vector<Chunk>& out) {
    qsizetype at = from;
    while (at + 8 <= to) {
        std::string id = file.mid(at, 4).toStdString();
        const uint32_t size = Le32(file, at + 4);
        const bool list = id == "RIFF" || id == "LIST";
        if (list) id += "/" + file.mid(at + 8, 4).toStdString();
        out.push_back({id, at, size});
        const qsizetype end = std::min<qsizetype>(to, at + 8 + size);
        if (list) ReadInto(file, at + 12, end, out);
        at = at + 8 + size + (size & 1);
    }
}

} // namespace

std::vector<Chunk> ReadChunks(const QByteArray& file) {
    std::vector<Chunk> chunks;
    ReadInto(file, 0, file.size(), chunks);
    return chunks;
}

const Chunk* FindChunk(const std::vector<Chunk>& chunks, const std::string& id, int nth) {
    for (const Chunk& c : chunks)
        if (c.Id == id && nth-- == 0) return &c;
    return nullptr;
}

ProbeResult Probe(const QString& path) {
    const ProcessResult r = RunProgram(
        "ffprobe", {"-v", "error", "-select_streams", "v:0", "-count_frames", "-show_entries",
                    "stream=codec_name,width,height,r_frame_rate,nb_read_frames", "-of",
                    "default=nw=1", path});
    ProbeResult p;
    p.Ok = r.ExitCode == 0;
    for (const QString& line : r.Out.split('\n', Qt::SkipEmptyParts)) {
        const qsizetype eq = line.indexOf('=');
        if (eq > 0) p.Fields[line.left(eq).toStdString()] = line.mid(eq + 1).toStdString();
    }
    if (!r.Err.isEmpty()) p.Fields["stderr"] = r.Err.toStdString();
    return p;
}

std::vector<QImage> DecodeFrames(const QString& path) {
    const ProcessResult r = RunProgram(
        "ffmpeg", {"-v", "error", "-i", path, "-f", "rawvideo", "-pix_fmt", "bgra", "-"});
    std::vector<QImage> frames;
    const qsizetype frameBytes = 564 * 400 * 4;
    for (qsizetype at = 0; at + frameBytes <= r.OutBytes.size(); at += frameBytes) {
        QImage f(564, 400, QImage::Format_RGB32);
        for (int y = 0; y < 400; ++y)
            std::memcpy(f.scanLine(y), r.OutBytes.constData() + at + y * 564 * 4, 564 * 4);
        // bgra from ffmpeg is the byte order of RGB32; force opaque
        for (int y = 0; y < 400; ++y) {
            QRgb* line = reinterpret_cast<QRgb*>(f.scanLine(y));
            for (int x = 0; x < 564; ++x)
                line[x] |= 0xFF000000u;
        }
        frames.push_back(f);
    }
    return frames;
}

double Psnr(const QImage& a, const QImage& b) {
    double sum = 0;
    long count = 0;
    for (int y = 0; y < a.height(); ++y) {
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y);
            const QRgb q = b.pixel(x, y);
            const double dr = qRed(p) - qRed(q), dg = qGreen(p) - qGreen(q),
                         db = qBlue(p) - qBlue(q);
            sum += dr * dr + dg * dg + db * db;
            count += 3;
        }
    }
    if (sum == 0) return 1000;
    return 10 * std::log10(255.0 * 255.0 / (sum / count));
}

} // namespace reelmaker
