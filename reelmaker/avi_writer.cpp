// SPDX-License-Identifier: GPL-3.0-or-later
#include "reelmaker/avi_writer.h"

#include <algorithm>
#include <cmath>

namespace reelmaker {

namespace {

constexpr uint32_t AvifHasIndex = 0x10;
constexpr uint32_t AvifIsInterleaved = 0x100;
constexpr uint8_t AviIndexOfIndexes = 0x00;
constexpr uint8_t AviIndexOfChunks = 0x01;
constexpr uint32_t MainHeaderBytes = 56;
constexpr uint32_t StreamHeaderBytes = 56;
constexpr uint32_t DmlhBytes = 248;
constexpr uint32_t SuperIndexBytes = 24 + 16 * SuperIndexEntries;

// Little-endian byte assembly.
struct Bytes {
    std::vector<uint8_t> B;
    void U8(uint8_t v) { B.push_back(v); }
    void U16(uint16_t v) {
        U8(static_cast<uint8_t>(v));
        U8(static_cast<uint8_t>(v >> 8));
    }
    void U32(uint32_t v) {
        U16(static_cast<uint16_t>(v));
        U16(static_cast<uint16_t>(v >> 16));
    }
    void U64(uint64_t v) {
        U32(static_cast<uint32_t>(v));
        U32(static_cast<uint32_t>(v >> 32));
    }
    void Fourcc(const char* s) { U32(MakeFourCC(s[0], s[1], s[2], s[3])); }
    void Zeros(size_t n) { B.insert(B.end(), n, 0); }
    size_t Size() const { return B.size(); }
    // Opens a LIST/RIFF: returns where its size goes.
    size_t OpenList(const char* kind, const char* type) {
        Fourcc(kind);
        const size_t at = Size();
        U32(0);
        Fourcc(type);
        return at;
    }
    void CloseList(size_t sizeAt) { Put32(sizeAt, static_cast<uint32_t>(Size() - sizeAt - 4)); }
    void Put32(size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i)
            B[at + i] = static_cast<uint8_t>(v >> (8 * i));
    }
};

uint32_t Clamp32(uint64_t v) {
    return v > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(v);
}

Bytes MainHeader(const AviFile& avi) {
    const uint32_t rate = avi.Info.dwScale ? avi.Info.dwRate / avi.Info.dwScale : 0;
    const int32_t signedRate = static_cast<int32_t>(rate);
    Bytes h;
    h.U32(signedRate > 0 ? static_cast<uint32_t>(std::lround(1e6 / signedRate)) : 0);
    h.U32(signedRate > 0 ? Clamp32(uint64_t{avi.MaxChunkBytes} * rate) : 0);
    h.U32(0); // padding granularity
    h.U32(AvifHasIndex | AvifIsInterleaved);
    h.U32(avi.RiffCount > 1 ? avi.FirstRiffFrames : avi.TotalFrames);
    h.U32(0); // initial frames
    h.U32(1); // streams
    h.U32(std::max(avi.Info.dwSuggestedBufferSize, avi.MaxChunkBytes));
    h.U32(avi.FrameWidth);
    h.U32(avi.FrameHeight);
    h.Zeros(16);
    return h;
}

Bytes StreamHeader(const AviFile& avi) {
    const AviStreamInfo& s = avi.Info;
    Bytes h;
    h.U32(s.fccType);
    h.U32(s.fccHandler);
    h.U32(s.dwFlags);
    h.U16(s.wPriority);
    h.U16(s.wLanguage);
    h.U32(s.dwInitialFrames);
    h.U32(s.dwScale);
    h.U32(s.dwRate);
    h.U32(s.dwStart);
    h.U32(avi.TotalFrames);
    // A compressed frame larger than a full frame must not be hidden from players.
    h.U32(std::max(s.dwSuggestedBufferSize, avi.MaxChunkBytes));
    h.U32(s.dwQuality);
    h.U32(s.dwSampleSize);
    h.U16(static_cast<uint16_t>(s.rcFrame.left));
    h.U16(static_cast<uint16_t>(s.rcFrame.top));
    h.U16(static_cast<uint16_t>(s.rcFrame.right));
    h.U16(static_cast<uint16_t>(s.rcFrame.bottom));
    return h;
}

bool Fail(AviFile& avi, const std::string& why) {
    if (avi.Error.empty()) avi.Error = why;
    return false;
}

bool Put(AviFile& avi, const void* data, uint64_t size) {
    if (!avi.Error.empty()) return false;
    if (size == 0) return true;
    const qint64 written = avi.Device->write(static_cast<const char*>(data), qint64(size));
    if (written < 0) return Fail(avi, avi.Device->errorString().toStdString());
    if (written != qint64(size)) {
        // A full disk or a size limit cuts a write short without an error of its own.
        return Fail(avi, "only " + std::to_string(written) + " of " + std::to_string(size) +
                             " bytes could be written (is the disk full?)");
    }
    return true;
}

bool Put(AviFile& avi, const Bytes& bytes) {
    return Put(avi, bytes.B.data(), bytes.Size());
}

// Overwrites bytes at `pos` and returns to the end of the file.
bool Patch(AviFile& avi, uint64_t pos, const Bytes& bytes) {
    if (!avi.Error.empty()) return false;
    const qint64 end = avi.Device->pos();
    if (!avi.Device->seek(qint64(pos)) || !Put(avi, bytes) || !avi.Device->seek(end))
        return Fail(avi,
                    "cannot update the AVI headers: " + avi.Device->errorString().toStdString());
    return true;
}

bool PatchSize(AviFile& avi, uint64_t listPos) {
    const uint64_t end = uint64_t(avi.Device->pos());
    Bytes b;
    b.U32(Clamp32(end - listPos - 8));
    return Patch(avi, listPos + 4, b);
}

bool OpenRiffPart(AviFile& avi, const char* type) {
    Bytes b;
    avi.RiffStart = uint64_t(avi.Device->pos());
    b.OpenList("RIFF", type);
    avi.MoviStart = avi.RiffStart + b.Size();
    b.OpenList("LIST", "movi");
    avi.RiffChunks.clear();
    ++avi.RiffCount;
    return Put(avi, b);
}

bool WriteIdx1(AviFile& avi) {
    Bytes b;
    b.Fourcc("idx1");
    b.U32(static_cast<uint32_t>(16 * avi.FirstRiffChunks.size()));
    const uint64_t base = avi.MoviStart + 8; // the "movi" type code
    for (const AviChunkRef& c : avi.FirstRiffChunks) {
        b.U32(avi.ChunkId);
        b.U32(c.KeyFrame ? AviIfKeyFrame : 0);
        b.U32(static_cast<uint32_t>(c.Offset - base));
        b.U32(c.Size);
    }
    return Put(avi, b);
}

// The standard index of the current part, written inside its movi list.
bool WriteIx(AviFile& avi) {
    if (avi.SuperIndex.size() >= size_t(SuperIndexEntries))
        return Fail(avi, "the movie is too large for its index");
    const uint64_t base = avi.MoviStart + 8;
    Bytes b;
    b.Fourcc("ix00");
    b.U32(static_cast<uint32_t>(24 + 8 * avi.RiffChunks.size()));
    b.U16(2);
    b.U8(0);
    b.U8(AviIndexOfChunks);
    b.U32(static_cast<uint32_t>(avi.RiffChunks.size()));
    b.U32(avi.ChunkId);
    b.U64(base);
    b.U32(0);
    for (const AviChunkRef& c : avi.RiffChunks) {
        b.U32(static_cast<uint32_t>(c.Offset + 8 - base));
        b.U32((c.Size & 0x7FFFFFFFu) | (c.KeyFrame ? 0u : 0x80000000u));
    }
    AviSuperIndexEntry entry;
    entry.Offset = uint64_t(avi.Device->pos());
    entry.Size = static_cast<uint32_t>(b.Size());
    entry.Duration = static_cast<uint32_t>(avi.RiffChunks.size());
    avi.SuperIndex.push_back(entry);
    return Put(avi, b);
}

// Closes the current part; the first one also gets the idx1 that plain players read.
bool CloseRiffPart(AviFile& avi, bool withIx) {
    if (withIx && !WriteIx(avi)) return false;
    if (!PatchSize(avi, avi.MoviStart)) return false;
    if (avi.RiffCount == 1) {
        avi.FirstRiffFrames = static_cast<uint32_t>(avi.FirstRiffChunks.size());
        if (!WriteIdx1(avi)) return false;
    }
    return PatchSize(avi, avi.RiffStart);
}

uint64_t IndexReserve(const AviFile& avi, size_t chunks) {
    uint64_t bytes = 32 + 8 * uint64_t(chunks);                 // ix00
    if (avi.RiffCount == 1) bytes += 8 + 16 * uint64_t(chunks); // idx1
    return bytes;
}

} // namespace

AviStreamInfo MovieStreamInfo(int32_t rate) {
    AviStreamInfo info;
    info.fccType = StreamTypeVideo;
    info.fccHandler = 0;
    info.dwScale = 1;
    info.dwRate = static_cast<uint32_t>(1 * rate);
    info.dwSuggestedBufferSize = FrameBytes;
    return info;
}

BitmapInfoHeader CaptureHeader() {
    BitmapInfoHeader h;
    h.biSize = BitmapInfoHeaderBytes;
    h.biWidth = FrameWidth;
    h.biHeight = FrameHeight; // positive: rows stored bottom-up
    h.biPlanes = 1;
    h.biBitCount = FrameBitCount;
    h.biCompression = BiRgb;
    h.biSizeImage = 0;
    return h;
}

BitmapInfoHeader StreamFormatHeader() {
    BitmapInfoHeader h = CaptureHeader();
    h.biSizeImage = FrameBytes;
    return h;
}

std::vector<uint8_t> FormatBytes(BitmapInfoHeader header, const std::vector<uint8_t>& extra) {
    header.biSize = static_cast<uint32_t>(BitmapInfoHeaderBytes + extra.size());
    Bytes b;
    b.U32(header.biSize);
    b.U32(static_cast<uint32_t>(header.biWidth));
    b.U32(static_cast<uint32_t>(header.biHeight));
    b.U16(header.biPlanes);
    b.U16(header.biBitCount);
    b.U32(header.biCompression);
    b.U32(header.biSizeImage);
    b.U32(static_cast<uint32_t>(header.biXPelsPerMeter));
    b.U32(static_cast<uint32_t>(header.biYPelsPerMeter));
    b.U32(header.biClrUsed);
    b.U32(header.biClrImportant);
    b.B.insert(b.B.end(), extra.begin(), extra.end());
    return b.B;
}

bool AviBegin(AviFile& avi) {
    if (!avi.Device || !avi.Device->isOpen()) return Fail(avi, "the movie file is not open");
    avi.RiffCount = 0;
    avi.TotalFrames = avi.FirstRiffFrames = avi.MaxChunkBytes = 0;
    avi.FirstRiffChunks.clear();
    avi.SuperIndex.clear();

    Bytes b;
    const size_t riff = b.OpenList("RIFF", "AVI ");
    const size_t hdrl = b.OpenList("LIST", "hdrl");
    avi.AvihPos = b.Size();
    b.Fourcc("avih");
    b.U32(MainHeaderBytes);
    Bytes main = MainHeader(avi);
    b.B.insert(b.B.end(), main.B.begin(), main.B.end());

    const size_t strl = b.OpenList("LIST", "strl");
    avi.StrhPos = b.Size();
    b.Fourcc("strh");
    b.U32(StreamHeaderBytes);
    Bytes strh = StreamHeader(avi);
    b.B.insert(b.B.end(), strh.B.begin(), strh.B.end());
    b.Fourcc("strf");
    b.U32(static_cast<uint32_t>(avi.Format.size()));
    b.B.insert(b.B.end(), avi.Format.begin(), avi.Format.end());
    if (avi.Format.size() & 1) b.U8(0);
    // Room for the OpenDML super index; stays JUNK for a plain AVI.
    avi.IndxPos = b.Size();
    b.Fourcc("JUNK");
    b.U32(SuperIndexBytes);
    b.Zeros(SuperIndexBytes);
    b.CloseList(strl);

    const size_t odml = b.OpenList("LIST", "odml");
    avi.DmlhPos = b.Size();
    b.Fourcc("dmlh");
    b.U32(DmlhBytes);
    b.Zeros(DmlhBytes);
    b.CloseList(odml);
    b.CloseList(hdrl);
    (void)riff; // its size is set when the part closes

    avi.RiffStart = 0;
    avi.MoviStart = b.Size();
    b.OpenList("LIST", "movi");
    avi.RiffChunks.clear();
    avi.RiffCount = 1;
    if (avi.Device->pos() != 0) return Fail(avi, "the movie file is not empty");
    return Put(avi, b);
}

bool AviWriteFrame(AviFile& avi, const uint8_t* data, uint32_t size, bool keyFrame) {
    if (!avi.Error.empty()) return false;
    if (size > 0x7FFFFFFFu) return Fail(avi, "a frame is too large for an AVI chunk");
    const uint64_t chunkBytes = 8 + uint64_t(size) + (size & 1);
    const uint64_t pos = uint64_t(avi.Device->pos());
    const uint64_t partEnd = pos + chunkBytes + IndexReserve(avi, avi.RiffChunks.size() + 1);
    if (!avi.RiffChunks.empty() && partEnd - avi.RiffStart > avi.RiffLimitBytes) {
        if (!CloseRiffPart(avi, true) || !OpenRiffPart(avi, "AVIX")) return false;
    }
    AviChunkRef ref;
    ref.Offset = uint64_t(avi.Device->pos());
    ref.Size = size;
    ref.KeyFrame = keyFrame;
    Bytes header;
    header.U32(avi.ChunkId);
    header.U32(size);
    const uint8_t pad = 0;
    if (!Put(avi, header) || !Put(avi, data, size) || ((size & 1) && !Put(avi, &pad, 1)))
        return false;
    avi.RiffChunks.push_back(ref);
    if (avi.RiffCount == 1) avi.FirstRiffChunks.push_back(ref);
    ++avi.TotalFrames;
    avi.MaxChunkBytes = std::max(avi.MaxChunkBytes, size);
    return true;
}

bool AviFinish(AviFile& avi) {
    if (!avi.Error.empty()) return false;
    const bool openDml = avi.RiffCount > 1;
    if (!CloseRiffPart(avi, openDml)) return false;

    if (openDml) {
        Bytes indx;
        indx.Fourcc("indx");
        indx.U32(SuperIndexBytes);
        indx.U16(4);
        indx.U8(0);
        indx.U8(AviIndexOfIndexes);
        indx.U32(static_cast<uint32_t>(avi.SuperIndex.size()));
        indx.U32(avi.ChunkId);
        indx.Zeros(12);
        for (const AviSuperIndexEntry& e : avi.SuperIndex) {
            indx.U64(e.Offset);
            indx.U32(e.Size);
            indx.U32(e.Duration);
        }
        indx.Zeros(16 * (SuperIndexEntries - avi.SuperIndex.size()));
        if (!Patch(avi, avi.IndxPos, indx)) return false;
    }
    Bytes dmlh;
    dmlh.U32(avi.TotalFrames);
    if (!Patch(avi, avi.DmlhPos + 8, dmlh)) return false;
    if (!Patch(avi, avi.AvihPos + 8, MainHeader(avi))) return false;
    return Patch(avi, avi.StrhPos + 8, StreamHeader(avi));
}

} // namespace reelmaker
