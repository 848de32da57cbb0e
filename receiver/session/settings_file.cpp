// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/session/settings_file.h"

#include <cmath>

#include <QFile>
#include <QString>

#include "receiver/session/number_text.h"
#include "savefile/pending_file.h"

namespace session {

namespace {

// Moves `pos` over one line end (CR LF, CR or LF alone) if one is there.
void SkipLineEnd(std::string_view text, size_t& pos) {
    if (pos < text.size() && text[pos] == '\r') ++pos;
    if (pos < text.size() && text[pos] == '\n') ++pos;
}

// Splits the next field off `text` at `pos`.  A field starts after blanks and
// ends at a comma, a blank, a line end or the end of the text; tabs inside it
// are skipped.  CR LF, CR and LF alone all end a field, so files edited on any
// system read alike, and the LF of a CR LF pair never makes a field of its own.
// Blanks after a number at the end of its line belong to that line: the line
// end after them opens no empty field (a blank between two numbers on one line
// still separates two fields).
std::string NextField(std::string_view text, size_t& pos) {
    while (pos < text.size() && text[pos] == ' ')
        ++pos;
    std::string field;
    while (pos < text.size()) {
        const char c = text[pos++];
        if (c == ',' || c == '\n') break;
        if (c == '\r') {
            if (pos < text.size() && text[pos] == '\n') ++pos;
            break;
        }
        if (c == ' ') {
            size_t after = pos;
            while (after < text.size() && (text[after] == ' ' || text[after] == '\t'))
                ++after;
            if (after < text.size() && (text[after] == '\r' || text[after] == '\n')) {
                pos = after;
                SkipLineEnd(text, pos);
            }
            break;
        }
        if (c == '\t') continue;
        field += c;
    }
    return field;
}

} // namespace

dsp::Settings ParseSettings(std::string_view text) {
    size_t pos = 0;
    long double values[6] = {};
    for (long double& value : values) {
        if (pos >= text.size()) break; // the file ended early: the rest read 0
        value = LeadingNumber(NextField(text, pos));
    }
    dsp::Settings settings;
    settings.ClockOffset = ClampToFinite(values[0]);
    settings.ClockPpm = ClampToFinite(values[1]);
    float* gains[] = {&settings.InputGain, &settings.CorrGain, &settings.DopplerGain,
                      &settings.ScatterGain};
    for (int i = 0; i < 4; ++i) {
        const float gain = ClampToFloat(values[2 + i]);
        *gains[i] = gain <= 0.0f ? 1.0f : gain;
    }
    return settings;
}

std::string FormatSettings(const dsp::Settings& settings) {
    const char* const lines[] = {
        "",
        "NOTES:",
        "1st line is soundcard samplerate offset",
        "2nd line is soundcard samplerate offset in ppm for large soundcard errors",
        "3rd line is overall gain for all displays",
        // clang-format off
        "4th line is correlogram individual gain (edit as required - typically between 0.5 and 1.5 or so)",
        // clang-format on
        "5th line is dopplergram individual gain (ditto)",
        "6th line is scattergram individual gain (ditto)",
    };
    std::string out;
    out += GeneralNumber(settings.ClockOffset, 15) + "\r\n";
    out += GeneralNumber(settings.ClockPpm, 15) + "\r\n";
    for (float gain :
         {settings.InputGain, settings.CorrGain, settings.DopplerGain, settings.ScatterGain})
        out += GeneralNumber(gain, 7) + "\r\n";
    for (const char* line : lines)
        out += std::string(line) + "\r\n";
    return out;
}

void ReadSettings(dsp::Settings& settings, const std::string& path) {
    QFile file(QString::fromLocal8Bit(path.c_str()));
    QByteArray content;
    if (file.open(QIODevice::ReadOnly)) content = file.readAll();
    settings = ParseSettings(std::string_view(content.constData(), content.size()));
}

bool WriteSettings(const dsp::Settings& settings, const std::string& path, QString* error) {
    savefile::PendingFile file;
    std::string why;
    const bool written =
        file.Open(path, why) && (file.Write(FormatSettings(settings)), file.Commit(why));
    if (!written && error) *error = QString::fromLocal8Bit(file.Reason().c_str());
    return written;
}

} // namespace session
