// SPDX-License-Identifier: GPL-3.0-or-later
#include "reelmaker/avi_writer.h"

#include <algorithm>
#include <cmath>

namespace reelmaker {

namespace {

constexpr uint32_t kAvifHasIndex = 0x10;
constexpr uint32_t kAvifIsInterleaved = 0x100;
constexpr uint8_t kAviIndexOfIndexes = 0x00;
constexpr uint8_t kAviIndexOfChunks = 0x01;
constexpr uint32_t kMainHeaderBytes = 56;
constexpr uint32_t kStreamHeaderBytes = 56;
constexpr uint32_t kDmlhBytes = 248;
constexpr uint32_t kSuperIndexBytes = 24 + 16 * kSuperIndexEntries;

// Little-endian byte assembly.
struct Bytes {
    std::vector<uint8_t> b;
    void u8(uint8_t v) { b.push_back(v); }
    void u16(uint16_t v) {
        u8(static_cast<uint8_t>(v));
        u8(static_cast<uint8_t>(v >> 8));
    }
    void u32(uint32_t v) {
        u16(static_cast<uint16_t>(v));
        u16(static_cast<uint16_t>(v >> 16));
    }
    void u64(uint64_t v) {
        u32(static_cast<uint32_t>(v));
        u32(static_cast<uint32_t>(v >> 32));
    }
    void fourcc(const char* s) { u32(MakeFourCC(s[0], s[1], s[2], s[3])); }
    void zeros(size_t n) { b.insert(b.end(), n, 0); }
    size_t size() const { return b.size(); }
    // Opens a LIST/RIFF: returns where its size goes.
    size_t openList(const char* kind, const char* type) {
        fourcc(kind);
        const size_t at = size();
        u32(0);
        fourcc(type);
        return at;
    }
    void closeList(size_t sizeAt) { put32(sizeAt, static_cast<uint32_t>(size() - sizeAt - 4)); }
    void put32(size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i)
            b[at + i] = static_cast<uint8_t>(v >> (8 * i));
    }
};

uint32_t Clamp32(uint64_t v) {
    return v > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(v);
}

Bytes MainHeader(const AviFile& avi) {
    const uint32_t rate = avi.info.dwScale ? avi.info.dwRate / avi.info.dwScale : 0;
    const int32_t signedRate = static_cast<int32_t>(rate);
    Bytes h;
    h.u32(signedRate > 0 ? static_cast<uint32_t>(std::lround(1e6 / signedRate)) : 0);
    h.u32(signedRate > 0 ? Clamp32(uint64_t{avi.maxChunkBytes} * rate) : 0);
    h.u32(0); // padding granularity
    h.u32(kAvifHasIndex | kAvifIsInterleaved);
    h.u32(avi.riffCount > 1 ? avi.firstRiffFrames : avi.totalFrames);
    h.u32(0); // initial frames
    h.u32(1); // streams
    h.u32(std::max(avi.info.dwSuggestedBufferSize, avi.maxChunkBytes));
    h.u32(avi.frameWidth);
    h.u32(avi.frameHeight);
    h.zeros(16);
    return h;
}

Bytes StreamHeader(const AviFile& avi) {
    const AviStreamInfo& s = avi.info;
    Bytes h;
    h.u32(s.fccType);
    h.u32(s.fccHandler);
    h.u32(s.dwFlags);
    h.u16(s.wPriority);
    h.u16(s.wLanguage);
    h.u32(s.dwInitialFrames);
    h.u32(s.dwScale);
    h.u32(s.dwRate);
    h.u32(s.dwStart);
    h.u32(avi.totalFrames);
    // A compressed frame larger than a full frame must not be hidden from players.
    h.u32(std::max(s.dwSuggestedBufferSize, avi.maxChunkBytes));
    h.u32(s.dwQuality);
    h.u32(s.dwSampleSize);
    h.u16(static_cast<uint16_t>(s.rcFrame.left));
    h.u16(static_cast<uint16_t>(s.rcFrame.top));
    h.u16(static_cast<uint16_t>(s.rcFrame.right));
    h.u16(static_cast<uint16_t>(s.rcFrame.bottom));
    return h;
}

bool Fail(AviFile& avi, const std::string& why) {
    if (avi.error.empty()) avi.error = why;
    return false;
}

bool Put(AviFile& avi, const void* data, uint64_t size) {
    if (!avi.error.empty()) return false;
    if (size == 0) return true;
    const qint64 written = avi.device->write(static_cast<const char*>(data), qint64(size));
    if (written < 0) return Fail(avi, avi.device->errorString().toStdString());
    if (written != qint64(size)) {
        // A full disk or a size limit cuts a write short without an error of its own.
        return Fail(avi, "only " + std::to_string(written) + " of " + std::to_string(size) +
                             " bytes could be written (is the disk full?)");
    }
    return true;
}

bool Put(AviFile& avi, const Bytes& bytes) {
    return Put(avi, bytes.b.data(), bytes.size());
}

// Overwrites bytes at `pos` and returns to the end of the file.
bool Patch(AviFile& avi, uint64_t pos, const Bytes& bytes) {
    if (!avi.error.empty()) return false;
    const qint64 end = avi.device->pos();
    if (!avi.device->seek(qint64(pos)) || !Put(avi, bytes) || !avi.device->seek(end))
        return Fail(avi,
                    "cannot update the AVI headers: " + avi.device->errorString().toStdString());
    return true;
}

bool PatchSize(AviFile& avi, uint64_t listPos) {
    const uint64_t end = uint64_t(avi.device->pos());
    Bytes b;
    b.u32(Clamp32(end - listPos - 8));
    return Patch(avi, listPos + 4, b);
}

bool OpenRiffPart(AviFile& avi, const char* type) {
    Bytes b;
    avi.riffStart = uint64_t(avi.device->pos());
    b.openList("RIFF", type);
    avi.moviStart = avi.riffStart + b.size();
    b.openList("LIST", "movi");
    avi.riffChunks.clear();
    ++avi.riffCount;
    return Put(avi, b);
}

bool WriteIdx1(AviFile& avi) {
    Bytes b;
    b.fourcc("idx1");
    b.u32(static_cast<uint32_t>(16 * avi.firstRiffChunks.size()));
    const uint64_t base = avi.moviStart + 8; // the "movi" type code
    for (const AviChunkRef& c : avi.firstRiffChunks) {
        b.u32(avi.chunkId);
        b.u32(c.keyFrame ? kAviIfKeyFrame : 0);
        b.u32(static_cast<uint32_t>(c.offset - base));
        b.u32(c.size);
    }
    return Put(avi, b);
}

// The standard index of the current part, written inside its movi list.
bool WriteIx(AviFile& avi) {
    if (avi.superIndex.size() >= size_t(kSuperIndexEntries))
        return Fail(avi, "the movie is too large for its index");
    const uint64_t base = avi.moviStart + 8;
    Bytes b;
    b.fourcc("ix00");
    b.u32(static_cast<uint32_t>(24 + 8 * avi.riffChunks.size()));
    b.u16(2);
    b.u8(0);
    b.u8(kAviIndexOfChunks);
    b.u32(static_cast<uint32_t>(avi.riffChunks.size()));
    b.u32(avi.chunkId);
    b.u64(base);
    b.u32(0);
    for (const AviChunkRef& c : avi.riffChunks) {
        b.u32(static_cast<uint32_t>(c.offset + 8 - base));
        b.u32((c.size & 0x7FFFFFFFu) | (c.keyFrame ? 0u : 0x80000000u));
    }
    AviSuperIndexEntry entry;
    entry.offset = uint64_t(avi.device->pos());
    entry.size = static_cast<uint32_t>(b.size());
    entry.duration = static_cast<uint32_t>(avi.riffChunks.size());
    avi.superIndex.push_back(entry);
    return Put(avi, b);
}

// Closes the current part; the first one also gets the idx1 that plain players read.
bool CloseRiffPart(AviFile& avi, bool withIx) {
    if (withIx && !WriteIx(avi)) return false;
    if (!PatchSize(avi, avi.moviStart)) return false;
    if (avi.riffCount == 1) {
        avi.firstRiffFrames = static_cast<uint32_t>(avi.firstRiffChunks.size());
        if (!WriteIdx1(avi)) return false;
    }
    return PatchSize(avi, avi.riffStart);
}

uint64_t IndexReserve(const AviFile& avi, size_t chunks) {
    uint64_t bytes = 32 + 8 * uint64_t(chunks);                 // ix00
    if (avi.riffCount == 1) bytes += 8 + 16 * uint64_t(chunks); // idx1
    return bytes;
}

} // namespace

AviStreamInfo MovieStreamInfo(int32_t rate) {
    AviStreamInfo info;
    info.fccType = kStreamTypeVideo;
    info.fccHandler = 0;
    info.dwScale = 1;
    info.dwRate = static_cast<uint32_t>(1 * rate);
    info.dwSuggestedBufferSize = kFrameBytes;
    return info;
}

BitmapInfoHeader CaptureHeader() {
    BitmapInfoHeader h;
    h.biSize = kBitmapInfoHeaderBytes;
    h.biWidth = kFrameWidth;
    h.biHeight = kFrameHeight; // positive: rows stored bottom-up
    h.biPlanes = 1;
    h.biBitCount = kFrameBitCount;
    h.biCompression = kBiRgb;
    h.biSizeImage = 0;
    return h;
}

BitmapInfoHeader StreamFormatHeader() {
    BitmapInfoHeader h = CaptureHeader();
    h.biSizeImage = kFrameBytes;
    return h;
}

std::vector<uint8_t> FormatBytes(BitmapInfoHeader header, const std::vector<uint8_t>& extra) {
    header.biSize = static_cast<uint32_t>(kBitmapInfoHeaderBytes + extra.size());
    Bytes b;
    b.u32(header.biSize);
    b.u32(static_cast<uint32_t>(header.biWidth));
    b.u32(static_cast<uint32_t>(header.biHeight));
    b.u16(header.biPlanes);
    b.u16(header.biBitCount);
    b.u32(header.biCompression);
    b.u32(header.biSizeImage);
    b.u32(static_cast<uint32_t>(header.biXPelsPerMeter));
    b.u32(static_cast<uint32_t>(header.biYPelsPerMeter));
    b.u32(header.biClrUsed);
    b.u32(header.biClrImportant);
    b.b.insert(b.b.end(), extra.begin(), extra.end());
    return b.b;
}

bool AviBegin(AviFile& avi) {
    if (!avi.device || !avi.device->isOpen()) return Fail(avi, "the movie file is not open");
    avi.riffCount = 0;
    avi.totalFrames = avi.firstRiffFrames = avi.maxChunkBytes = 0;
    avi.firstRiffChunks.clear();
    avi.superIndex.clear();

    Bytes b;
    const size_t riff = b.openList("RIFF", "AVI ");
    const size_t hdrl = b.openList("LIST", "hdrl");
    avi.avihPos = b.size();
    b.fourcc("avih");
    b.u32(kMainHeaderBytes);
    Bytes main = MainHeader(avi);
    b.b.insert(b.b.end(), main.b.begin(), main.b.end());

    const size_t strl = b.openList("LIST", "strl");
    avi.strhPos = b.size();
    b.fourcc("strh");
    b.u32(kStreamHeaderBytes);
    Bytes strh = StreamHeader(avi);
    b.b.insert(b.b.end(), strh.b.begin(), strh.b.end());
    b.fourcc("strf");
    b.u32(static_cast<uint32_t>(avi.format.size()));
    b.b.insert(b.b.end(), avi.format.begin(), avi.format.end());
    if (avi.format.size() & 1) b.u8(0);
    // Room for the OpenDML super index; stays JUNK for a plain AVI.
    avi.indxPos = b.size();
    b.fourcc("JUNK");
    b.u32(kSuperIndexBytes);
    b.zeros(kSuperIndexBytes);
    b.closeList(strl);

    const size_t odml = b.openList("LIST", "odml");
    avi.dmlhPos = b.size();
    b.fourcc("dmlh");
    b.u32(kDmlhBytes);
    b.zeros(kDmlhBytes);
    b.closeList(odml);
    b.closeList(hdrl);
    (void)riff; // its size is set when the part closes

    avi.riffStart = 0;
    avi.moviStart = b.size();
    b.openList("LIST", "movi");
    avi.riffChunks.clear();
    avi.riffCount = 1;
    if (avi.device->pos() != 0) return Fail(avi, "the movie file is not empty");
    return Put(avi, b);
}

bool AviWriteFrame(AviFile& avi, const uint8_t* data, uint32_t size, bool keyFrame) {
    if (!avi.error.empty()) return false;
    if (size > 0x7FFFFFFFu) return Fail(avi, "a frame is too large for an AVI chunk");
    const uint64_t chunkBytes = 8 + uint64_t(size) + (size & 1);
    const uint64_t pos = uint64_t(avi.device->pos());
    const uint64_t partEnd = pos + chunkBytes + IndexReserve(avi, avi.riffChunks.size() + 1);
    if (!avi.riffChunks.empty() && partEnd - avi.riffStart > avi.riffLimitBytes) {
        if (!CloseRiffPart(avi, true) || !OpenRiffPart(avi, "AVIX")) return false;
    }
    AviChunkRef ref;
    ref.offset = uint64_t(avi.device->pos());
    ref.size = size;
    ref.keyFrame = keyFrame;
    Bytes header;
    header.u32(avi.chunkId);
    header.u32(size);
    const uint8_t pad = 0;
    if (!Put(avi, header) || !Put(avi, data, size) || ((size & 1) && !Put(avi, &pad, 1)))
        return false;
    avi.riffChunks.push_back(ref);
    if (avi.riffCount == 1) avi.firstRiffChunks.push_back(ref);
    ++avi.totalFrames;
    avi.maxChunkBytes = std::max(avi.maxChunkBytes, size);
    return true;
}

bool AviFinish(AviFile& avi) {
    if (!avi.error.empty()) return false;
    const bool openDml = avi.riffCount > 1;
    if (!CloseRiffPart(avi, openDml)) return false;

    if (openDml) {
        Bytes indx;
        indx.fourcc("indx");
        indx.u32(kSuperIndexBytes);
        indx.u16(4);
        indx.u8(0);
        indx.u8(kAviIndexOfIndexes);
        indx.u32(static_cast<uint32_t>(avi.superIndex.size()));
        indx.u32(avi.chunkId);
        indx.zeros(12);
        for (const AviSuperIndexEntry& e : avi.superIndex) {
            indx.u64(e.offset);
            indx.u32(e.size);
            indx.u32(e.duration);
        }
        indx.zeros(16 * (kSuperIndexEntries - avi.superIndex.size()));
        if (!Patch(avi, avi.indxPos, indx)) return false;
    }
    Bytes dmlh;
    dmlh.u32(avi.totalFrames);
    if (!Patch(avi, avi.dmlhPos + 8, dmlh)) return false;
    if (!Patch(avi, avi.avihPos + 8, MainHeader(avi))) return false;
    return Patch(avi, avi.strhPos + 8, StreamHeader(avi));
}

} // namespace reelmaker
