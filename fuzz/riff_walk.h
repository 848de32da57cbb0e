// SPDX-License-Identifier: GPL-3.0-or-later
// A small RIFF reader for checking the AVI files reelmaker writes: every chunk
// in file order, and the promises of our AVI layout (headers, data chunks,
// idx1, and the OpenDML indexes of a movie in several parts).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace fuzz {

struct RiffChunk {
    std::string id;       // "RIFF", "LIST", "avih", "00db", ...
    std::string listType; // "AVI ", "movi", ... for RIFF and LIST chunks
    uint64_t offset = 0;  // of the chunk header
    uint32_t size = 0;    // payload bytes (for lists: type code and children)
    int depth = 0;        // 0 for the RIFF parts
};

// Every chunk of the file; an empty result text when the sizes nest exactly,
// else what is wrong.
std::string WalkRiff(const std::vector<uint8_t>& file, std::vector<RiffChunk>& chunks);

struct MovieExpectation {
    uint32_t frames = 0;  // data chunks in the whole movie
    uint32_t chunkId = 0; // '00db' or '00dc'
    uint32_t rate = 0;    // frames per second
    uint32_t width = 564;
    uint32_t height = 400;
};

// Empty when the file is a well-formed movie of our layout with the expected
// frames, else the first thing that is wrong.
std::string CheckMovie(const std::vector<uint8_t>& file, const MovieExpectation& expected);

// The payloads of the data chunks in order (for comparing frames).
std::vector<std::vector<uint8_t>> MovieFrames(const std::vector<uint8_t>& file);

} // namespace fuzz
