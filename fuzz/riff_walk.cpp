// SPDX-License-Identifier: GPL-3.0-or-later
#include "fuzz/riff_walk.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace fuzz {

namespace {

uint32_t Le32(const std::vector<uint8_t>& b, uint64_t at) {
    if (at + 4 > b.size()) return 0;
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
           uint32_t(b[at + 3]) << 24;
}
uint16_t Le16(const std::vector<uint8_t>& b, uint64_t at) {
    if (at + 2 > b.size()) return 0;
    return uint16_t(b[at] | b[at + 1] << 8);
}
uint64_t Le64(const std::vector<uint8_t>& b, uint64_t at) {
    return uint64_t(Le32(b, at)) | uint64_t(Le32(b, at + 4)) << 32;
}
std::string Code(const std::vector<uint8_t>& b, uint64_t at) {
    if (at + 4 > b.size()) return "????";
    return std::string(reinterpret_cast<const char*>(&b[at]), 4);
}
std::string Walk(const std::vector<uint8_t>& b, uint64_t start, uint64_t end, int depth,
                 std::vector<RiffChunk>& chunks) {
    uint64_t pos = start;
    while (pos < end) {
        if (pos + 8 > end)
            return "a chunk header crosses the end of its list at " + std::to_string(pos);
        RiffChunk c;
        c.id = Code(b, pos);
        c.size = Le32(b, pos + 4);
        c.offset = pos;
        c.depth = depth;
        const uint64_t payloadEnd = pos + 8 + uint64_t(c.size);
        if (payloadEnd > end)
            return "chunk " + c.id + " at " + std::to_string(pos) + " runs past its list";
        const bool list = c.id == "RIFF" || c.id == "LIST";
        if (depth == 0 && c.id != "RIFF") return "the file holds " + c.id + " outside a RIFF part";
        if (list) {
            if (c.size < 4) return c.id + " without a type at " + std::to_string(pos);
            c.listType = Code(b, pos + 8);
        }
        chunks.push_back(c);
        if (list) {
            const std::string why = Walk(b, pos + 12, payloadEnd, depth + 1, chunks);
            if (!why.empty()) return why;
        }
        pos = payloadEnd + (c.size & 1);
        if (pos > end && !(pos == end + 1 && depth == 0))
            return "the pad byte of " + c.id + " crosses the end of its list";
    }
    return {};
}

struct Part {
    const RiffChunk* riff = nullptr;
    const RiffChunk* movi = nullptr;
    std::vector<const RiffChunk*> data; // the frame chunks in its movi list
    const RiffChunk* ix = nullptr;
};

} // namespace

std::string WalkRiff(const std::vector<uint8_t>& file, std::vector<RiffChunk>& chunks) {
    chunks.clear();
    if (file.size() < 12) return "shorter than a RIFF header";
    return Walk(file, 0, file.size(), 0, chunks);
}

std::string CheckMovie(const std::vector<uint8_t>& b, const MovieExpectation& x) {
    std::vector<RiffChunk> chunks;
    std::string why = WalkRiff(b, chunks);
    if (!why.empty()) return why;

    // Split into parts; find the headers of the first.
    std::vector<Part> parts;
    const RiffChunk *avih = nullptr, *strh = nullptr, *strf = nullptr, *indx = nullptr,
                    *dmlh = nullptr, *idx1 = nullptr;
    const RiffChunk* list = nullptr; // the LIST at depth 1 we are in
    for (const RiffChunk& c : chunks) {
        if (c.depth == 0) {
            parts.push_back(Part{&c, nullptr, {}, nullptr});
            const std::string want = parts.size() == 1 ? "AVI " : "AVIX";
            if (c.listType != want)
                return "RIFF part " + c.listType + " where " + want + " belongs";
            continue;
        }
        if (c.depth == 1) list = c.id == "LIST" ? &c : nullptr;
        Part& part = parts.back();
        if (c.id == "LIST" && c.listType == "movi") {
            if (part.movi) return "two movi lists in one part";
            part.movi = &c;
            continue;
        }
        const bool inMovi = list && list->listType == "movi" && c.depth == 2;
        if (inMovi) {
            if (Le32(b, c.offset) == x.chunkId) {
                part.data.push_back(&c);
            } else if (c.id == "ix00") {
                part.ix = &c;
            } else {
                return "chunk " + c.id + " in the movi list";
            }
            continue;
        }
        if (parts.size() > 1) {
            if (c.depth != 1 || c.id != "LIST") return "chunk " + c.id + " in an AVIX part";
            continue;
        }
        if (c.id == "avih") avih = &c;
        if (c.id == "strh") strh = &c;
        if (c.id == "strf") strf = &c;
        if (c.id == "indx") indx = &c;
        if (c.id == "dmlh") dmlh = &c;
        if (c.id == "idx1") {
            if (c.depth != 1) return "idx1 inside a list";
            idx1 = &c;
        }
    }
    if (!avih || !strh || !strf || !dmlh) return "a header chunk is missing";
    if (avih->size != 56 || strh->size != 56 || dmlh->size < 4)
        return "a header has the wrong size";
    uint32_t total = 0;
    for (const Part& p : parts) {
        if (!p.movi) return "a part without a movi list";
        total += uint32_t(p.data.size());
    }
    if (total != x.frames)
        return "the movie holds " + std::to_string(total) + " frames, not " +
               std::to_string(x.frames);

    // Main header, stream header, format, OpenDML header.
    const uint64_t a = avih->offset + 8;
    const uint32_t usPerFrame = x.rate ? uint32_t(std::lround(1e6 / x.rate)) : 0;
    if (Le32(b, a) != usPerFrame) return "avih frame period is wrong";
    if (Le32(b, a + 16) != uint32_t(parts[0].data.size()))
        return "avih counts " + std::to_string(Le32(b, a + 16)) + " frames in the first part";
    if (Le32(b, a + 24) != 1) return "avih does not count one stream";
    if (Le32(b, a + 32) != x.width || Le32(b, a + 36) != x.height) return "avih frame size";
    const uint64_t s = strh->offset + 8;
    if (Code(b, s) != "vids") return "the stream is not video";
    if (Le32(b, s + 20) != 1 || Le32(b, s + 24) != x.rate) return "strh rate is wrong";
    if (Le32(b, s + 32) != x.frames) return "strh length is not the frame count";
    uint32_t largest = 0;
    for (const Part& p : parts)
        for (const RiffChunk* c : p.data)
            largest = std::max(largest, c->size);
    if (Le32(b, s + 36) < largest) return "strh buffer size below the largest frame";
    const uint64_t f = strf->offset + 8;
    if (strf->size < 40 || Le32(b, f) != strf->size) return "strf size and biSize differ";
    if (Le32(b, f + 4) != x.width || Le32(b, f + 8) != x.height) return "strf frame size";
    if (Le32(b, dmlh->offset + 8) != x.frames) return "dmlh does not count every frame";

    // idx1: one entry per frame chunk of the first part, offsets from "movi".
    if (!idx1) return "no idx1";
    const Part& first = parts[0];
    if (idx1->size != 16 * first.data.size()) return "idx1 does not list the first part's frames";
    const uint64_t base = first.movi->offset + 8;
    for (size_t i = 0; i < first.data.size(); ++i) {
        const uint64_t e = idx1->offset + 8 + 16 * i;
        if (Le32(b, e) != x.chunkId) return "idx1 entry with another chunk id";
        if (base + Le32(b, e + 8) != first.data[i]->offset)
            return "idx1 entry " + std::to_string(i) + " points elsewhere";
        if (Le32(b, e + 12) != first.data[i]->size) return "idx1 entry with the wrong size";
    }

    // OpenDML: the super index lists one ix00 per part, each listing its frames.
    if (parts.size() > 1) {
        if (!indx) return "a movie in parts without indx";
        const uint64_t i0 = indx->offset + 8;
        if (Le32(b, i0 + 4) != parts.size()) return "indx does not count every part";
        if (Le32(b, i0 + 8) != x.chunkId) return "indx names another chunk id";
        for (size_t p = 0; p < parts.size(); ++p) {
            const uint64_t e = i0 + 24 + 16 * p;
            const RiffChunk* ix = parts[p].ix;
            if (!ix) return "a part without ix00";
            if (Le64(b, e) != ix->offset) return "indx entry points away from its ix00";
            if (Le32(b, e + 8) != ix->size + 8) return "indx entry with the wrong ix00 size";
            if (Le32(b, e + 12) != parts[p].data.size()) return "indx entry duration";
            const uint64_t q = ix->offset + 8;
            if (Le16(b, q) != 2 || b[q + 3] != 1) return "ix00 is not a standard index";
            if (Le32(b, q + 4) != parts[p].data.size()) return "ix00 entry count";
            const uint64_t ixBase = Le64(b, q + 12);
            for (size_t k = 0; k < parts[p].data.size(); ++k) {
                const uint64_t ee = q + 24 + 8 * k;
                if (ixBase + Le32(b, ee) != parts[p].data[k]->offset + 8)
                    return "ix00 entry points elsewhere";
                if ((Le32(b, ee + 4) & 0x7FFFFFFFu) != parts[p].data[k]->size)
                    return "ix00 entry with the wrong size";
            }
        }
    } else if (indx) {
        return "indx in a movie of one part";
    }
    return {};
}

std::vector<std::vector<uint8_t>> MovieFrames(const std::vector<uint8_t>& file) {
    std::vector<RiffChunk> chunks;
    std::vector<std::vector<uint8_t>> frames;
    if (!WalkRiff(file, chunks).empty()) return frames;
    for (const RiffChunk& c : chunks) {
        if (c.depth == 2 && (c.id == "00db" || c.id == "00dc")) {
            const auto begin = file.begin() + std::ptrdiff_t(c.offset + 8);
            frames.emplace_back(begin, begin + c.size);
        }
    }
    return frames;
}

} // namespace fuzz
