// SPDX-License-Identifier: GPL-3.0-or-later
#include <sys/resource.h>

#include <clocale>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "receiver/session/number_text.h"
#include "receiver/session/settings_file.h"

namespace session {
namespace {

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<std::string> CrLfLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t at; (at = text.find("\r\n", start)) != std::string::npos; start = at + 2)
        lines.push_back(text.substr(start, at - start));
    EXPECT_EQ(start, text.size()) << "text after the last CR LF";
    return lines;
}

TEST(GeneralNumber, FollowsTheFiveRules) {
    EXPECT_EQ(GeneralNumber(0.0L, 15), "0");
    EXPECT_EQ(GeneralNumber(1.0L, 15), "1");
    EXPECT_EQ(GeneralNumber(1050.0L, 7), "1050");
    EXPECT_EQ(GeneralNumber(-3.0L, 15), "-3");
    EXPECT_EQ(GeneralNumber(0.5L, 7), ".5");
    EXPECT_EQ(GeneralNumber(0.000025L, 15), ".000025");
    EXPECT_EQ(GeneralNumber(1.5L, 7), "1.5");
    EXPECT_EQ(GeneralNumber(-0.25L, 7), "-.25");
    EXPECT_EQ(GeneralNumber(0.00000001L, 7), "1E-8");
    EXPECT_EQ(GeneralNumber(123456789.0L, 7), "1.234568E+8");
    EXPECT_EQ(GeneralNumber(1234567.0L, 7), "1234567");
    EXPECT_EQ(GeneralNumber(12345678.0L, 7), "1.234568E+7");
    EXPECT_EQ(GeneralNumber(0.1234567L, 7), ".1234567");
    EXPECT_EQ(GeneralNumber(0.00000012L, 7), "1.2E-7");
    EXPECT_EQ(GeneralNumber(100000000.0L, 7), "1E+8");
}

TEST(GeneralNumber, SinglePrecisionValuesShowTheirShortForm) {
    EXPECT_EQ(GeneralNumber(0.8f, 7), ".8");
    EXPECT_EQ(GeneralNumber(1.1f, 7), "1.1");
    EXPECT_EQ(GeneralNumber(20.0f, 7), "20");
}

TEST(GeneralNumber, PromptFormHasALeadingBlankForNonNegativeValues) {
    EXPECT_EQ(PromptNumber(1.0L, 15), " 1");
    EXPECT_EQ(PromptNumber(-3.0L, 15), "-3");
    EXPECT_EQ(PromptNumber(0.0L, 15), " 0");
    EXPECT_EQ(PromptNumber(0.8f, 7), " .8");
}

TEST(LeadingNumber, TakesTheNumberAtTheStart) {
    EXPECT_EQ(LeadingNumber("12abc"), 12.0L);
    EXPECT_EQ(LeadingNumber("  -2.5"), -2.5L);
    EXPECT_EQ(LeadingNumber(".5"), 0.5L);
    EXPECT_EQ(LeadingNumber("+7"), 7.0L);
    EXPECT_EQ(LeadingNumber("1.5E+3x"), 1500.0L);
    EXPECT_EQ(LeadingNumber("2e-2"), 0.02L);
    EXPECT_EQ(LeadingNumber("3e"), 3.0L);
    EXPECT_EQ(LeadingNumber("1.2.3"), 1.2L);
    EXPECT_EQ(LeadingNumber("abc"), 0.0L);
    EXPECT_EQ(LeadingNumber(""), 0.0L);
    EXPECT_EQ(LeadingNumber("-"), 0.0L);
    EXPECT_EQ(LeadingNumber("."), 0.0L);
    EXPECT_EQ(LeadingNumber("1e99999"), HUGE_VALL);
}

TEST(FixedNumber, FormatsWithAPointAndNoNegativeZero) {
    EXPECT_EQ(FixedNumber(0.0, 2), "0.00");
    EXPECT_EQ(FixedNumber(-50.0, 2), "-50.00");
    EXPECT_EQ(FixedNumber(3.0, 2), "3.00");
    EXPECT_EQ(FixedNumber(20.0, 1), "20.0");
    EXPECT_EQ(FixedNumber(-0.001, 2), "0.00");
    EXPECT_EQ(FixedNumber(0.25, 1), "0.3");
    EXPECT_EQ(FixedNumber(1.05, 1), "1.1");
}

TEST(ParseSettings, MissingOrEmptyFileGivesDefaults) {
    const dsp::Settings s = ParseSettings("");
    EXPECT_EQ(s.ClockOffset, 0.0L);
    EXPECT_EQ(s.ClockPpm, 0.0L);
    EXPECT_EQ(s.InputGain, 1.0f);
    EXPECT_EQ(s.CorrGain, 1.0f);
    EXPECT_EQ(s.DopplerGain, 1.0f);
    EXPECT_EQ(s.ScatterGain, 1.0f);
}

TEST(ParseSettings, GainsOfZeroOrLessBecomeOneOffsetsStayAsRead) {
    const dsp::Settings s = ParseSettings("-0.00001\r\n-3\r\n-2\r\n0\r\n.5\r\nabc\r\n");
    EXPECT_EQ(s.ClockOffset, -0.00001L);
    EXPECT_EQ(s.ClockPpm, -3.0L);
    EXPECT_EQ(s.InputGain, 1.0f);
    EXPECT_EQ(s.CorrGain, 1.0f);
    EXPECT_EQ(s.DopplerGain, 0.5f);
    EXPECT_EQ(s.ScatterGain, 1.0f);
}

TEST(ParseSettings, FieldSeparatorsAndLineEnds) {
    // Commas and blanks separate like lines; tabs inside a field are skipped.
    const dsp::Settings commas = ParseSettings("1,2 3,4\t5,6");
    EXPECT_EQ(commas.ClockOffset, 1.0L);
    EXPECT_EQ(commas.ClockPpm, 2.0L);
    EXPECT_EQ(commas.InputGain, 3.0f);
    EXPECT_EQ(commas.CorrGain, 45.0f);
    EXPECT_EQ(commas.DopplerGain, 6.0f);
    EXPECT_EQ(commas.ScatterGain, 1.0f);

    // LF-only and CR-only files read like the CR LF layout.
    for (const char* eol : {"\r\n", "\n", "\r"}) {
        std::string text;
        for (const char* v : {"0", "0", "1", "2", "3", "4"})
            text += std::string(v) + eol;
        const dsp::Settings s = ParseSettings(text);
        EXPECT_EQ(s.ClockOffset, 0.0L) << "line end " << int(eol[0]);
        EXPECT_EQ(s.InputGain, 1.0f);
        EXPECT_EQ(s.CorrGain, 2.0f);
        EXPECT_EQ(s.DopplerGain, 3.0f);
        EXPECT_EQ(s.ScatterGain, 4.0f);
    }
    // An empty line is an empty field, in either layout.
    EXPECT_EQ(ParseSettings("0\r\n\r\n5\r\n").InputGain, 5.0f);
    EXPECT_EQ(ParseSettings("0\n\n5\n").InputGain, 5.0f);
}

TEST(ParseSettings, TwoNumbersOnTheFirstLineShiftTheRest) {
    const dsp::Settings s = ParseSettings("0 7\r\n0\r\n2\r\n3\r\n4\r\n5\r\n");
    EXPECT_EQ(s.ClockOffset, 0.0L);
    EXPECT_EQ(s.ClockPpm, 7.0L);
    EXPECT_EQ(s.InputGain, 1.0f); // the old ClockPpm line, 0
    EXPECT_EQ(s.CorrGain, 2.0f);
    EXPECT_EQ(s.DopplerGain, 3.0f);
    EXPECT_EQ(s.ScatterGain, 4.0f);
}

TEST(ParseSettings, ABlankBeforeALineEndOpensNoFieldButOneBetweenNumbersDoes) {
    for (const char* first : {"0 \r\n", "0  \t\r\n", "0 \n", "0 \r"}) {
        const dsp::Settings s = ParseSettings(std::string(first) + "5\r\n2\r\n3\r\n4\r\n6\r\n");
        EXPECT_EQ(s.ClockPpm, 5.0L) << int(first[2]);
        EXPECT_EQ(s.InputGain, 2.0f);
        EXPECT_EQ(s.ScatterGain, 6.0f);
    }
    EXPECT_EQ(ParseSettings("0 5 \r\n2\r\n").InputGain, 2.0f); // two fields, then line 2
}

TEST(ParseSettings, NumbersBeyondTheirTypeAreClampedToItsLargestFiniteValue) {
    const float most = std::numeric_limits<float>::max();
    const dsp::Settings s = ParseSettings("1e5000\r\n-1e30\r\n1e50\r\n-1e50\r\n1e39\r\n3e38\r\n");
    EXPECT_EQ(s.ClockOffset, std::numeric_limits<long double>::max());
    EXPECT_EQ(s.ClockPpm, -1e30L);
    EXPECT_EQ(s.InputGain, most);
    EXPECT_EQ(s.CorrGain, 1.0f); // below 0
    EXPECT_EQ(s.DopplerGain, most);
    EXPECT_EQ(s.ScatterGain, 3e38f);
    EXPECT_EQ(ParseSettings("-1e5000").ClockOffset, -std::numeric_limits<long double>::max());
    // Written back as numbers that read again, never as an infinity.
    const std::string text = FormatSettings(s);
    EXPECT_EQ(text.substr(0, text.find('\r')), "1.18973149535723E+4932");
    const dsp::Settings again = ParseSettings(text);
    EXPECT_TRUE(std::isfinite(again.ClockOffset));
    EXPECT_EQ(again.DopplerGain, 3.402823e38f);
    // Labels keep their fixed-point form however large the value.
    EXPECT_EQ(FixedNumber(most, 1), "340282346638528859811704183484516925440.0");
    EXPECT_EQ(FixedNumber(-1e30f, 2), "-1000000015047466219876688855040.00");
}

class SettingsFileTest : public ::testing::Test {
  protected:
    QTemporaryDir dir_;
    std::string Path() const { return (dir_.path() + "/Stanag4285.set").toStdString(); }
};

TEST_F(SettingsFileTest, MissingFileReadsDefaultsAndIsWrittenWithFourteenLines) {
    dsp::Settings s;
    s.InputGain = 7.0f;
    ReadSettings(s, Path());
    EXPECT_EQ(s.InputGain, 1.0f);
    ASSERT_TRUE(WriteSettings(s, Path()));
    const std::vector<std::string> lines = CrLfLines(ReadAll(Path()));
    const std::vector<std::string> expected = {
        "0",
        "0",
        "1",
        "1",
        "1",
        "1",
        "",
        "NOTES:",
        "1st line is soundcard samplerate offset",
        "2nd line is soundcard samplerate offset in ppm for large soundcard errors",
        "3rd line is overall gain for all displays",
        "4th line is correlogram individual gain (edit as required - typically between 0.5 and "
        "1.5 or so)",
        "5th line is dopplergram individual gain (ditto)",
        "6th line is scattergram individual gain (ditto)"};
    EXPECT_EQ(lines, expected);
}

TEST_F(SettingsFileTest, ValuesRoundTripInTheirShortForms) {
    {
        std::ofstream out(Path(), std::ios::binary);
        out << "0.00002\r\n-4\r\n.8\r\n-2\r\n.5\r\n1.5\r\nNOTES:\r\nextra\r\nmore\r\n"
               "lines\r\nthan\r\nexpected\r\nin\r\nthis\r\nfile\r\n";
    }
    dsp::Settings s;
    ReadSettings(s, Path());
    EXPECT_EQ(s.InputGain, 0.8f);
    ASSERT_TRUE(WriteSettings(s, Path()));
    const std::vector<std::string> lines = CrLfLines(ReadAll(Path()));
    ASSERT_EQ(lines.size(), 14u);
    EXPECT_EQ(lines[0], ".00002");
    EXPECT_EQ(lines[1], "-4");
    EXPECT_EQ(lines[2], ".8");
    EXPECT_EQ(lines[3], "1");
    EXPECT_EQ(lines[4], ".5");
    EXPECT_EQ(lines[5], "1.5");
}

// Switches the C library to a locale with a decimal comma: an installed one,
// or one compiled into `dir` with localedef when none is installed.
bool UseCommaLocale(const QTemporaryDir& dir) {
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "nl_NL.UTF-8"})
        if (std::setlocale(LC_ALL, name)) return true;
    const std::string target = (dir.path() + "/locales").toStdString();
    std::filesystem::create_directories(target);
    const std::string command =
        "localedef -i de_DE -c -f UTF-8 '" + target + "/de_DE.UTF-8' >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) return false;
    setenv("LOCPATH", target.c_str(), 1);
    const bool ok = std::setlocale(LC_ALL, "de_DE.UTF-8") != nullptr;
    unsetenv("LOCPATH");
    return ok;
}

TEST_F(SettingsFileTest, CommaLocaleStillWritesAndReadsPoints) {
    const std::string old = std::setlocale(LC_ALL, nullptr);
    QTemporaryDir localeDir;
    if (!UseCommaLocale(localeDir)) GTEST_SKIP() << "no locale with a decimal comma available";
    ASSERT_STREQ(std::localeconv()->decimal_point, ",");
    dsp::Settings s;
    s.ClockOffset = 0.000025L;
    s.CorrGain = 1.25f;
    const bool written = WriteSettings(s, Path());
    dsp::Settings back;
    ReadSettings(back, Path());
    const std::string text = ReadAll(Path());
    std::setlocale(LC_ALL, old.c_str());
    ASSERT_TRUE(written);
    EXPECT_EQ(text.substr(0, 9), ".000025\r\n");
    EXPECT_NE(text.find("1.25\r\n"), std::string::npos);
    EXPECT_EQ(back.ClockOffset, 0.000025L);
    EXPECT_EQ(back.CorrGain, 1.25f);
}

TEST_F(SettingsFileTest, FailedWriteLeavesThePreviousFileWhole) {
    dsp::Settings s;
    s.CorrGain = 2.0f;
    ASSERT_TRUE(WriteSettings(s, Path()));
    const std::string before = ReadAll(Path());
    // A folder that does not exist cannot take the temporary file.
    EXPECT_FALSE(WriteSettings(s, (dir_.path() + "/missing/Stanag4285.set").toStdString()));
    EXPECT_EQ(ReadAll(Path()), before);
    // No temporary files are left next to the settings file.
    int entries = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir_.path().toStdString())) {
        (void)e;
        ++entries;
    }
    EXPECT_EQ(entries, 1);
}

TEST_F(SettingsFileTest, WriteCutShortByAFullDiskLeavesThePreviousFileWhole) {
    dsp::Settings s;
    s.CorrGain = 2.0f;
    ASSERT_TRUE(WriteSettings(s, Path()));
    const std::string before = ReadAll(Path());
    // Files may grow to 64 bytes only: the write stops part-way, as on a full disk.
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    rlimit capped = old;
    capped.rlim_cur = 64;
    setrlimit(RLIMIT_FSIZE, &capped);
    s.CorrGain = 3.0f;
    const bool written = WriteSettings(s, Path());
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, previous);
    EXPECT_FALSE(written);
    EXPECT_EQ(ReadAll(Path()), before);
}

} // namespace
} // namespace session
