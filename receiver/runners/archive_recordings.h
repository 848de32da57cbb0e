// SPDX-License-Identifier: GPL-3.0-or-later
// The recordings of an archive run: found below folders, named for their
// outputs, and the small text helpers its summary and log are written with.
#pragma once

#include "receiver/runners/archive_iq.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "savefile/pending_file.h"

namespace runners {

// Recordings and how their runs went.
enum class Outcome { Pending, Running, Ok, NoSignal, Failed };

struct Recording {
    std::string Path; // as it is read: the argument, or the folder given and below
    std::filesystem::path
        Relative;               // below the folder given; a file given: its path, folders and all
    std::string Name;           // of its table or folder in DIR
    double HeaderSeconds = 0.0; // as its header says; 0 when it cannot be read

    runners::Outcome Outcome = Outcome::Pending;
    std::string Reason;              // of a failure
    std::vector<std::string> Values; // the summary's numbers and words, as the run told them
    int64_t BlocksDone = 0;          // so far, or in all
    double SecondsDone = 0.0;        // of the recording read so far
    std::string Out;                 // standard output not yet taken apart
    std::string Told;                // what the run said on stderr
    bool Iq = false;                 // a recording of a band: a row per carrier
    std::vector<CarrierRow> Carriers;
};

// Whether a file name is that of a recording (.wav, .flac, whatever the case).
bool IsRecordingName(const std::filesystem::path& name);

// The recordings below `folder`, sorted by their path below it, and the
// subfolders that cannot be read (counted in `failed`, added as failed rows).
void FindBelow(const std::filesystem::path& folder, std::vector<Recording>& found, size_t& failed);

// A file given by its path: its name with the folders of that path.
std::filesystem::path RelativeOfFile(const std::filesystem::path& path);

// Names of the outputs, unique whatever their case, the same for the same recordings.
void NameOutputs(std::vector<Recording>& recordings);

// The cores this program may run on.
int CoresAvailable();

// "4.2 s", "42 s", "3 min 05 s", "2 h 07 min".
std::string Duration(double seconds);

// A cell of the summary, quoted where it holds a comma, a quote or a line end.
std::string Cell(const std::string& text);

std::vector<std::string> Split(const std::string& line, char separator);

// Writes `text` to `path` under a temporary name and renames it into place
// (savefile::WriteWholeFile: the old file stays on any failure).
inline bool WriteWhole(const std::filesystem::path& path, const std::string& text,
                       std::string& error) {
    return savefile::WriteWholeFile(path, text, error);
}

} // namespace runners
