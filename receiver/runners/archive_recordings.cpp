// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/runners/archive_recordings.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <map>
#include <set>
#include <thread>

#include <sched.h>

namespace runners {

namespace fs = std::filesystem;

namespace {

std::string Folded(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool Hidden(const fs::path& name) {
    return name.string().starts_with('.');
}

// A name for the recording's outputs: at level 0 its file name without the
// suffix; at level n the last n folders it lies in before that, joined by
// '_'; one level above all its folders, the suffix too.
std::string NameAtLevel(const fs::path& relative, size_t level) {
    std::vector<std::string> folders;
    for (const fs::path& part : relative.parent_path())
        folders.push_back(part.string());
    std::string name;
    for (size_t i = folders.size() - std::min(level, folders.size()); i < folders.size(); ++i)
        name += folders[i] + "_";
    return name + (level > folders.size() ? relative.filename() : relative.stem()).string();
}

size_t TopLevel(const fs::path& relative) {
    size_t folders = 0;
    for ([[maybe_unused]] const fs::path& part : relative.parent_path())
        ++folders;
    return folders + 1;
}

} // namespace

bool IsRecordingName(const fs::path& name) {
    const std::string suffix = Folded(name.extension().string());
    return suffix == ".wav" || suffix == ".flac" || suffix == ".sigmf-meta";
}

// The recordings below `folder`, sorted by their path below it, and the
// subfolders that cannot be read (as failed rows).  Hidden files and folders
// (.name: AppleDouble shadows "._x.wav" and the like) and links to folders
// are passed by.
void FindBelow(const fs::path& folder, std::vector<Recording>& found, size_t& failed) {
    std::vector<Recording> here;
    std::vector<fs::path> pending{fs::path()};
    const auto unreadable = [&](const fs::path& sub, const std::error_code& error) {
        Recording r;
        r.Path = (folder / sub).string();
        r.Relative = sub;
        r.Outcome = Outcome::Failed;
        r.Reason = "cannot read the folder " + r.Path + ": " + error.message();
        here.push_back(std::move(r));
        ++failed;
    };
    while (!pending.empty()) {
        const fs::path sub = pending.back();
        pending.pop_back();
        std::error_code error;
        fs::directory_iterator entry(folder / sub, error);
        for (; !error && entry != fs::directory_iterator(); entry.increment(error)) {
            const fs::path name = entry->path().filename();
            if (Hidden(name)) continue;
            std::error_code ignored;
            const bool folderEntry = entry->is_directory(ignored);
            if (folderEntry && !entry->is_symlink(ignored)) {
                pending.push_back(sub / name);
            } else if (!folderEntry && IsRecordingName(name)) {
                Recording r;
                r.Path = (folder / sub / name).string();
                r.Relative = sub / name;
                here.push_back(std::move(r));
            }
        }
        if (error) unreadable(sub, error);
    }
    std::sort(here.begin(), here.end(),
              [](const Recording& a, const Recording& b) { return a.Relative < b.Relative; });
    for (Recording& r : here)
        found.push_back(std::move(r));
}

// A file given by its path: its name with the folders of that path, without
// the root and without "." and "..".
fs::path RelativeOfFile(const fs::path& path) {
    fs::path relative;
    for (const fs::path& part : path.relative_path().lexically_normal())
        if (part != "." && part != ".." && !part.empty()) relative /= part;
    return relative.empty() ? path.filename() : relative;
}

// Names of the outputs: the file name without its suffix; where two would
// clash (whatever their case), as many of the folders it lies in as tell
// them apart, then the suffix too; what still clashes gets -2, -3 ... in the
// order of the recordings.  The same recordings always get the same names.
void NameOutputs(std::vector<Recording>& recordings) {
    std::vector<Recording*> named;
    for (Recording& r : recordings)
        if (r.Outcome == Outcome::Pending) named.push_back(&r);
    const auto candidate = [&](size_t i, const std::vector<size_t>& level) {
        return NameAtLevel(named[i]->Relative, level[i]);
    };
    std::vector<size_t> level(named.size(), 0);
    for (bool changed = true; changed;) {
        changed = false;
        std::map<std::string, int> uses;
        for (size_t i = 0; i < named.size(); ++i)
            ++uses[Folded(candidate(i, level))];
        std::vector<size_t> raised = level;
        for (size_t i = 0; i < named.size(); ++i) {
            if (level[i] < TopLevel(named[i]->Relative) && uses[Folded(candidate(i, level))] > 1) {
                ++raised[i];
                changed = true;
            }
        }
        level = raised;
    }
    // What DIR holds besides the recordings' outputs.
    std::set<std::string> taken{"summary", "summary.csv", "batch.log"};
    for (size_t i = 0; i < named.size(); ++i) {
        const std::string base = candidate(i, level);
        std::string name = base;
        for (int n = 2; taken.count(Folded(name)) > 0; ++n)
            name = base + "-" + std::to_string(n);
        taken.insert(Folded(name));
        named[i]->Name = name;
    }
}

// The cores this program may run on.
int CoresAvailable() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) return CPU_COUNT(&set);
    return std::max(1u, std::thread::hardware_concurrency());
}

// "4.2 s", "42 s", "3 min 05 s", "2 h 07 min".
std::string Duration(double seconds) {
    const auto s = static_cast<long long>(std::max(0.0, std::nearbyint(seconds)));
    char text[64];
    if (seconds < 9.95)
        std::snprintf(text, sizeof text, "%.1f s", std::max(0.0, seconds));
    else if (s < 60)
        std::snprintf(text, sizeof text, "%lld s", s);
    else if (s < 3600)
        std::snprintf(text, sizeof text, "%lld min %02lld s", s / 60, s % 60);
    else
        std::snprintf(text, sizeof text, "%lld h %02lld min", s / 3600, s / 60 % 60);
    return text;
}

// A cell of the summary, quoted where it holds a comma, a quote or a line end.
std::string Cell(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    return quoted + "\"";
}

std::vector<std::string> Split(const std::string& line, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t at; (at = line.find(separator, start)) != std::string::npos; start = at + 1)
        parts.push_back(line.substr(start, at - start));
    parts.push_back(line.substr(start));
    return parts;
}

} // namespace runners
