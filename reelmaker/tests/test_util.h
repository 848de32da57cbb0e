// SPDX-License-Identifier: GPL-3.0-or-later
// Helpers of the reelmaker tests: pictures, child programs and a small RIFF reader.
#pragma once

#include <QByteArray>
#include <QImage>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace reelmaker {

struct ProcessResult {
    int ExitCode = -1;
    QString Out;
    QString Err;
    QByteArray OutBytes;
};

ProcessResult RunProgram(const QString& program, const QStringList& args);
// The same in an environment of its own.
ProcessResult RunProgram(const QString& program, const QStringList& args,
                         const QProcessEnvironment& environment);

QImage SolidPicture(int width, int height, QRgb colour);
// Smooth gradients with a few hard edges; `seed` moves them so frames differ.
QImage PatternPicture(int width, int height, int seed);
void WriteFile(const QString& path, const QByteArray& bytes);
QByteArray ReadFile(const QString& path);

uint32_t Le32(const QByteArray& b, qsizetype at);
uint16_t Le16(const QByteArray& b, qsizetype at);
uint64_t Le64(const QByteArray& b, qsizetype at);

struct Chunk {
    std::string Id;   // four characters; for lists the list type after a slash: "LIST/hdrl"
    qsizetype Offset; // of the chunk header
    uint32_t Size;    // payload size
};
// Every chunk of the file in file order, descending into RIFF and LIST chunks.
std::vector<Chunk> ReadChunks(const QByteArray& file);
const Chunk* FindChunk(const std::vector<Chunk>& chunks, const std::string& id, int nth = 0);

struct ProbeResult {
    bool Ok = false;
    std::map<std::string, std::string> Fields;
};
// ffprobe's view of the first video stream, frames counted by decoding.
ProbeResult Probe(const QString& path);
// Every frame of the movie decoded by ffmpeg to 564 x 400 RGB32 pictures.
std::vector<QImage> DecodeFrames(const QString& path);
double Psnr(const QImage& a, const QImage& b);

} // namespace reelmaker
