// SPDX-License-Identifier: GPL-3.0-or-later
// The installed tree: `cmake --install` into a temporary prefix, then check
// that a desktop finds what it needs there, and that the desktop launcher
// starts propmon in the user's documents folder.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Result {
    int Status = -1;
    std::string Out;
    std::string Err;
};

std::string Quote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    return quoted + "'";
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteFile(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

// Runs a shell command line with stdout and stderr caught in files.
Result RunShell(const std::string& command, const fs::path& scratch) {
    const fs::path out = scratch / "run.out";
    const fs::path err = scratch / "run.err";
    const int raw =
        std::system(("( " + command + " ) >" + Quote(out) + " 2>" + Quote(err)).c_str());
    Result r;
    r.Status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.Out = ReadFile(out);
    r.Err = ReadFile(err);
    return r;
}

bool IsExecutableFile(const fs::path& path) {
    return fs::is_regular_file(path) && ::access(path.c_str(), X_OK) == 0;
}

bool HaveTool(const std::string& name) {
    return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

// Width and height from a PNG file's IHDR chunk; {0, 0} when it is no PNG.
std::pair<int, int> PngSize(const fs::path& path) {
    const std::string data = ReadFile(path);
    if (data.size() < 24 || data.compare(0, 8, "\x89PNG\r\n\x1a\n") != 0 ||
        data.compare(12, 4, "IHDR") != 0)
        return {0, 0};
    const auto be32 = [&](size_t at) {
        int v = 0;
        for (size_t i = 0; i < 4; ++i)
            v = (v << 8) | static_cast<unsigned char>(data[at + i]);
        return v;
    };
    return {be32(16), be32(20)};
}

// key=value lines of the [Desktop Entry] group.
std::map<std::string, std::string> DesktopEntry(const fs::path& path) {
    std::map<std::string, std::string> entry;
    std::istringstream lines(ReadFile(path));
    std::string line;
    bool inGroup = false;
    while (std::getline(lines, line)) {
        if (!line.empty() && line[0] == '[') {
            inGroup = line == "[Desktop Entry]";
        } else if (inGroup) {
            const auto eq = line.find('=');
            if (eq != std::string::npos) entry[line.substr(0, eq)] = line.substr(eq + 1);
        }
    }
    return entry;
}

// Long options named in a program's usage text.
std::set<std::string> LongOptions(const std::string& usage) {
    std::set<std::string> options;
    const std::regex option("--[a-z][a-z-]*");
    for (auto it = std::sregex_iterator(usage.begin(), usage.end(), option);
         it != std::sregex_iterator(); ++it)
        options.insert(it->str());
    return options;
}

class InstalledTree : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        char pattern[] = "/tmp/propmon-install-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        Root = new fs::path(pattern);
        const fs::path prefix = *Root / "prefix";
        const Result r = RunShell(Quote(INSTALL_CMAKE) + " --install " + Quote(INSTALL_BUILD_DIR) +
                                      " --prefix " + Quote(prefix.string()),
                                  *Root);
        Installed = r.Status == 0;
        InstallLog = new std::string(r.Out + r.Err);
    }
    static void TearDownTestSuite() {
        std::error_code ignored;
        fs::remove_all(*Root, ignored);
        delete Root;
        delete InstallLog;
    }
    void SetUp() override {
        ASSERT_TRUE(Installed) << "cmake --install failed:\n" << *InstallLog;
        scratch_ = *Root / ::testing::UnitTest::GetInstance()->current_test_info()->name();
        fs::create_directories(scratch_);
    }

    static fs::path Prefix() { return *Root / "prefix"; }
    static fs::path Bin(const std::string& name) { return Prefix() / "bin" / name; }
    static fs::path ManPage(const std::string& name) {
        return Prefix() / "share/man/man1" / (name + ".1.gz");
    }
    static fs::path HelpPage() { return Prefix() / "share/doc/propmon/Stanag Help.htm"; }

    Result Sh(const std::string& command) const { return RunShell(command, scratch_); }

    // A stand-in for propmon that notes its folder and arguments.
    static void WriteFakePropmon(const fs::path& path, const fs::path& note) {
        WriteFile(path, "#!/bin/sh\npwd > " + Quote(note.string()) +
                            "\nfor a in \"$@\"; do echo \"$a\" >> " + Quote(note.string()) +
                            "; done\n");
        fs::permissions(path, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                  fs::perms::others_read | fs::perms::others_exec);
    }

    // The launcher as installed, next to a fake propmon and the help page, in a
    // copy of the tree's layout.
    fs::path LauncherBesideFake(const fs::path& note) const {
        const fs::path tree = scratch_ / "tree";
        fs::create_directories(tree / "bin");
        fs::copy_file(Bin("propmon-desktop"), tree / "bin/propmon-desktop");
        WriteFakePropmon(tree / "bin/propmon", note);
        fs::create_directories(tree / "share/doc/propmon");
        fs::copy_file(HelpPage(), tree / "share/doc/propmon/Stanag Help.htm");
        return tree / "bin/propmon-desktop";
    }

    // Runs the launcher with a clean environment and the given home folder
    // (and `environment`, NAME=value words).
    Result Launch(const fs::path& launcher, const fs::path& home, const std::string& args = "",
                  const std::string& path = "/usr/bin:/bin",
                  const std::string& environment = "") const {
        return Sh("env -i HOME=" + Quote(home.string()) + " PATH=" + Quote(path) + " " +
                  environment + " " + Quote(launcher.string()) + " " + args);
    }

    static fs::path* Root;
    static bool Installed;
    static std::string* InstallLog;
    fs::path scratch_;
};

fs::path* InstalledTree::Root = nullptr;
bool InstalledTree::Installed = false;
std::string* InstalledTree::InstallLog = nullptr;

TEST_F(InstalledTree, ProgramsAreExecutableAndRunFromThePrefix) {
    for (const char* name : {"propmon", "reelmaker", "s4285sim", "s4285iq", "propmon-desktop"})
        EXPECT_TRUE(IsExecutableFile(Bin(name))) << name;
    for (const char* name : {"propmon", "reelmaker", "s4285sim", "s4285iq"}) {
        const Result r = Sh(Quote(Bin(name).string()) + " --version");
        EXPECT_EQ(r.Status, 0) << name << ": " << r.Err;
        EXPECT_EQ(r.Out.rfind(std::string(name) + " ", 0), 0u) << r.Out;
        // Nothing in an installed program may point back into the build tree.
        const Result dyn = Sh("readelf -d " + Quote(Bin(name).string()));
        EXPECT_EQ(dyn.Out.find(INSTALL_BUILD_DIR), std::string::npos) << name << dyn.Out;
    }
}

// propmon runs table-only batches itself, linked to none of the window's,
// painting or network libraries; everything else it hands to propmon-receiver
// beside it, and alone it still runs the tables and names what is missing.
TEST_F(InstalledTree, TablesRunWithoutTheReceiverProgramAndTheRestNeedsIt) {
    EXPECT_TRUE(IsExecutableFile(Bin("propmon-receiver")));
    const Result dyn = Sh("readelf -d " + Quote(Bin("propmon").string()));
    ASSERT_EQ(dyn.Status, 0) << dyn.Err;
    EXPECT_NE(dyn.Out.find("libQt6Core"), std::string::npos) << dyn.Out;
    for (const char* library : {"libQt6Gui", "libQt6Widgets", "libQt6Network", "libQt6Multimedia",
                                "libQt6HttpServer", "libpulse"})
        EXPECT_EQ(dyn.Out.find(library), std::string::npos) << library;

    fs::create_directories(scratch_ / "alone");
    const fs::path alone = scratch_ / "alone/propmon";
    fs::copy_file(Bin("propmon"), alone);
    const std::string recording = (scratch_ / "signal.wav").string();
    ASSERT_EQ(
        Sh(Quote(Bin("s4285sim").string()) + " -o " + Quote(recording) + " --seconds 4").Status, 0);
    const Result tables = Sh(Quote(alone.string()) + " --batch " + Quote(recording) + " --csv " +
                             Quote((scratch_ / "blocks.csv").string()));
    EXPECT_EQ(tables.Status, 0) << tables.Err;
    const std::string table = ReadFile(scratch_ / "blocks.csv");
    EXPECT_GE(std::count(table.begin(), table.end(), '\n'), 30) << table;
    const std::string missing =
        "propmon: cannot start " + (scratch_ / "alone/propmon-receiver").string() + ": ";
    for (const std::string& rest :
         {std::string(" --version"),
          " --batch " + Quote(recording) + " --out " + Quote((scratch_ / "pictures").string())}) {
        const Result r = Sh(Quote(alone.string()) + rest);
        EXPECT_EQ(r.Status, 1) << rest;
        EXPECT_EQ(r.Err.rfind(missing, 0), 0u) << r.Err;
    }
    EXPECT_FALSE(fs::exists(scratch_ / "pictures"));
}

TEST_F(InstalledTree, ManPagesFormatWithoutWarnings) {
    for (const char* name : {"propmon", "reelmaker", "s4285sim", "s4285iq", "propmon-desktop"}) {
        ASSERT_TRUE(fs::exists(ManPage(name))) << ManPage(name);
        const Result check = Sh("LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z " +
                                Quote(ManPage(name).string()) + " >/dev/null");
        EXPECT_EQ(check.Status, 0) << name;
        EXPECT_EQ(check.Err, "") << name;
        const Result page = Sh("MANWIDTH=80 man -l " + Quote(ManPage(name).string()));
        EXPECT_NE(page.Out.find("NAME"), std::string::npos) << name;
        EXPECT_NE(page.Out.find(name), std::string::npos) << name;
    }
}

TEST_F(InstalledTree, ManPagesDescribeEveryOptionOfTheHelpText) {
    struct Usage {
        const char* Page;
        std::string Command;
    };
    const std::vector<Usage> usages = {
        {"propmon", Quote(Bin("propmon").string()) + " --help"},
        {"propmon", Quote(Bin("propmon").string()) + " --batch --help 2>&1; true"},
        {"reelmaker", Quote(Bin("reelmaker").string()) + " --help"},
        {"s4285sim", Quote(Bin("s4285sim").string()) + " --help"},
        {"s4285iq", Quote(Bin("s4285iq").string()) + " --help"},
    };
    for (const Usage& u : usages) {
        const Result help = Sh(u.Command);
        const std::set<std::string> options = LongOptions(help.Out);
        EXPECT_GT(options.size(), 2u) << u.Command;
        // Rendered without hyphenation so that every option stays in one piece.
        const Result page =
            Sh("MANWIDTH=200 MAN_KEEP_FORMATTING= man -l " + Quote(ManPage(u.Page).string()));
        for (const std::string& option : options)
            EXPECT_NE(page.Out.find(option), std::string::npos)
                << u.Page << ".1 does not mention " << option;
    }
}

TEST_F(InstalledTree, DesktopEntriesAreValidAndNameInstalledProgramsAndIcons) {
    const fs::path apps = Prefix() / "share/applications";
    for (const char* name : {"propmon", "reelmaker"}) {
        const fs::path file = apps / (std::string(name) + ".desktop");
        ASSERT_TRUE(fs::exists(file)) << file;
        if (HaveTool("desktop-file-validate")) {
            const Result r = Sh("desktop-file-validate " + Quote(file.string()));
            EXPECT_EQ(r.Status, 0) << r.Out << r.Err;
            EXPECT_EQ(r.Out + r.Err, "") << name;
        }
        const auto entry = DesktopEntry(file);
        EXPECT_EQ(entry.at("Type"), "Application");
        EXPECT_EQ(entry.at("Terminal"), "false");
        const std::string exec = entry.at("Exec").substr(0, entry.at("Exec").find(' '));
        EXPECT_TRUE(IsExecutableFile(Bin(exec))) << exec;
        EXPECT_EQ(entry.at("Icon"), name);
    }
    // From the menu propmon starts through the launcher, so its folder is sensible.
    EXPECT_EQ(DesktopEntry(apps / "propmon.desktop").at("Exec"), "propmon-desktop");
}

TEST_F(InstalledTree, IconsArePngsOfTheirThemeSize) {
    for (const char* name : {"propmon", "reelmaker"}) {
        for (int size : {16, 32}) {
            const std::string dir = std::to_string(size) + "x" + std::to_string(size);
            const fs::path icon =
                Prefix() / "share/icons/hicolor" / dir / "apps" / (std::string(name) + ".png");
            EXPECT_EQ(PngSize(icon), std::make_pair(size, size)) << icon;
        }
    }
}

TEST_F(InstalledTree, HelpPageIsInstalled) {
    ASSERT_TRUE(fs::is_regular_file(HelpPage()));
    EXPECT_NE(ReadFile(HelpPage()).find("<html"), std::string::npos);
}

TEST_F(InstalledTree, LauncherStartsPropmonInTheConfiguredDocumentsFolder) {
    const fs::path note = scratch_ / "note";
    const fs::path launcher = LauncherBesideFake(note);
    const fs::path home = scratch_ / "home";
    WriteFile(home / ".config/user-dirs.dirs", "XDG_DOCUMENTS_DIR=\"$HOME/My Papers\"\n");
    const Result r = Launch(launcher, home, "--simulate --autosave");
    ASSERT_EQ(r.Status, 0) << r.Err;
    const fs::path folder = home / "My Papers/propmon";
    EXPECT_TRUE(fs::is_directory(folder));
    EXPECT_EQ(ReadFile(note), folder.string() + "\n--simulate\n--autosave\n");
    EXPECT_TRUE(ReadFile(folder / "Stanag Help.htm") == ReadFile(HelpPage()))
        << "the help page is missing or differs from the installed one";
    EXPECT_FALSE(fs::exists(folder / "Stanag Help.htm.part"));
}

// The station's user unit runs the headless receiver through the launcher, in
// the folder PROPMON_FOLDER of ~/.config/propmon/station.env names.
TEST_F(InstalledTree, StationUnitRunsTheHeadlessReceiverThroughTheLauncher) {
    const fs::path unit = Prefix() / "lib/systemd/user/propmon.service";
    ASSERT_TRUE(fs::is_regular_file(unit));
    const std::string text = ReadFile(unit);
    for (const std::string& line : {"ExecStart=" + Bin("propmon-desktop").string() +
                                        " --headless --autosave --log logs $PROPMON_OPTIONS",
                                    std::string("EnvironmentFile=-%E/propmon/station.env"),
                                    std::string("WantedBy=default.target")})
        EXPECT_NE(text.find("\n" + line + "\n"), std::string::npos) << line;
    if (HaveTool("systemd-analyze")) {
        // A short runtime folder: other users' units put sockets there.
        char pattern[] = "/tmp/pmrt-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        const Result verify = Sh(std::string("XDG_RUNTIME_DIR=") + pattern +
                                 " systemd-analyze verify --user --man=no " + Quote(unit.string()));
        fs::remove_all(pattern);
        EXPECT_EQ(verify.Status, 0) << verify.Err;
        // Complaints about units of other packages are not ours.
        EXPECT_EQ(verify.Err.find("propmon"), std::string::npos) << verify.Err;
    }

    const fs::path note = scratch_ / "note";
    const fs::path launcher = LauncherBesideFake(note);
    const fs::path home = scratch_ / "home";
    const fs::path folder = scratch_ / "station folder";
    const Result r = Launch(launcher, home, "--headless --autosave --log logs", "/usr/bin:/bin",
                            "PROPMON_FOLDER=" + Quote(folder.string()));
    ASSERT_EQ(r.Status, 0) << r.Err;
    EXPECT_EQ(ReadFile(note), folder.string() + "\n--headless\n--autosave\n--log\nlogs\n");
    EXPECT_FALSE(fs::exists(home / "Documents"));
}

TEST_F(InstalledTree, LauncherFallsBackToDocumentsInHomeWhenNoneIsConfigured) {
    const fs::path note = scratch_ / "note";
    const fs::path launcher = LauncherBesideFake(note);
    const fs::path home = scratch_ / "home";
    fs::create_directories(home);
    const Result r = Launch(launcher, home);
    ASSERT_EQ(r.Status, 0) << r.Err;
    EXPECT_EQ(ReadFile(note), (home / "Documents/propmon").string() + "\n");
}

TEST_F(InstalledTree, LauncherKeepsTheUsersOwnHelpPageAndSettings) {
    const fs::path note = scratch_ / "note";
    const fs::path launcher = LauncherBesideFake(note);
    const fs::path home = scratch_ / "home";
    const fs::path folder = home / "Documents/propmon";
    WriteFile(folder / "Stanag Help.htm", "my notes");
    WriteFile(folder / "Stanag4285.set", "0.00001\n");
    ASSERT_EQ(Launch(launcher, home).Status, 0);
    EXPECT_EQ(ReadFile(folder / "Stanag Help.htm"), "my notes");
    EXPECT_EQ(ReadFile(folder / "Stanag4285.set"), "0.00001\n");
}

TEST_F(InstalledTree, LauncherFindsPropmonOnThePathWhenNotBesideIt) {
    const fs::path note = scratch_ / "note";
    const fs::path alone = scratch_ / "alone/propmon-desktop";
    fs::create_directories(alone.parent_path());
    fs::copy_file(Bin("propmon-desktop"), alone);
    WriteFakePropmon(scratch_ / "path/propmon", note);
    const fs::path home = scratch_ / "home";
    const Result r =
        Launch(alone, home, "--replay 'a b.wav'", (scratch_ / "path").string() + ":/usr/bin:/bin");
    ASSERT_EQ(r.Status, 0) << r.Err;
    EXPECT_EQ(ReadFile(note), (home / "Documents/propmon").string() + "\n--replay\na b.wav\n");
    // No help page to copy from here: carries on without one.
    EXPECT_FALSE(fs::exists(home / "Documents/propmon/Stanag Help.htm"));
}

TEST_F(InstalledTree, LauncherRefusesWhenTheFolderCannotBeMade) {
    const fs::path note = scratch_ / "note";
    const fs::path launcher = LauncherBesideFake(note);
    const fs::path home = scratch_ / "home";
    WriteFile(home / "Documents", "a file where the folder should be");
    const Result r = Launch(launcher, home);
    EXPECT_EQ(r.Status, 1);
    EXPECT_NE(r.Err.find("Documents/propmon"), std::string::npos) << r.Err;
    EXPECT_FALSE(fs::exists(note)) << "propmon must not start in some other folder";
    EXPECT_EQ(ReadFile(home / "Documents"), "a file where the folder should be");
}

TEST_F(InstalledTree, LauncherSaysSoWhenPropmonIsNowhere) {
    const fs::path alone = scratch_ / "alone/propmon-desktop";
    fs::create_directories(alone.parent_path());
    fs::copy_file(Bin("propmon-desktop"), alone);
    if (Sh("PATH=/nonexistent:/bin command -v propmon").Status == 0)
        GTEST_SKIP() << "a propmon is installed in /bin";
    const Result r = Launch(alone, scratch_ / "home", "", "/nonexistent:/bin");
    EXPECT_EQ(r.Status, 127);
    EXPECT_NE(r.Err.find("propmon is not installed"), std::string::npos) << r.Err;
}

} // namespace

TEST(DebianPackage, DependsOnWhatTheProgramsLinkAndLoadAndHoldsTheTree) {
    if (!HaveTool("dpkg-shlibdeps") || !HaveTool("dpkg-deb"))
        GTEST_SKIP() << "needs dpkg-dev for the library dependencies";
    char pattern[] = "/tmp/propmon-deb-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const fs::path dir(pattern);
    const fs::path cpack = fs::path(INSTALL_CMAKE).parent_path() / "cpack";
    const Result made = RunShell(Quote(cpack.string()) + " -G DEB --config " +
                                     Quote(std::string(INSTALL_BUILD_DIR) + "/CPackConfig.cmake") +
                                     " -B " + Quote(dir.string()),
                                 dir);
    ASSERT_EQ(made.Status, 0) << made.Out << made.Err;
    fs::path deb;
    for (const auto& entry : fs::directory_iterator(dir))
        if (entry.path().extension() == ".deb") deb = entry.path();
    ASSERT_FALSE(deb.empty()) << made.Out;

    const std::string depends =
        RunShell("dpkg-deb -f " + Quote(deb.string()) + " Depends", dir).Out;
    // Linked libraries, found by dpkg-shlibdeps ...
    for (const char* package : {"libqt6widgets6", "libqt6multimedia6", "libsndfile1", "libsoxr0",
                                "libavcodec", "libswscale"})
        EXPECT_NE(depends.find(package), std::string::npos) << package << " in " << depends;
    // ... and what is only loaded or called at run time.
    for (const char* package : {"qt6-qpa-plugins", "qt6-image-formats-plugins", "fonts-urw-base35",
                                "fonts-liberation", "xdg-user-dirs"})
        EXPECT_NE(depends.find(package), std::string::npos) << package << " in " << depends;

    const std::string files = RunShell("dpkg-deb -c " + Quote(deb.string()), dir).Out;
    for (const char* path :
         {"./usr/bin/propmon", "./usr/bin/propmon-desktop", "./usr/bin/reelmaker",
          "./usr/bin/s4285sim", "./usr/bin/s4285iq", "./usr/share/applications/propmon.desktop",
          "./usr/share/applications/reelmaker.desktop",
          "./usr/share/icons/hicolor/32x32/apps/propmon.png", "./usr/share/man/man1/propmon.1.gz",
          "./usr/share/doc/propmon/Stanag Help.htm", "./usr/share/doc/propmon/changelog.gz",
          "./usr/lib/systemd/user/propmon.service", "./usr/share/doc/propmon/copyright"})
        EXPECT_NE(files.find(path), std::string::npos) << path;
    // No test programs, benchmarks or build helpers in the package.
    for (const char* stray : {"_test", "bench", "export_icons", "propmon_screenshot"})
        EXPECT_EQ(files.find(stray), std::string::npos) << stray;
    // Debian's own checker, at its strictest: no errors or warnings.
    if (HaveTool("lintian")) {
        const Result lint = RunShell("lintian --pedantic " + Quote(deb.string()), dir);
        for (const char* level : {"\nE: ", "\nW: "})
            EXPECT_EQ(("\n" + lint.Out).find(level), std::string::npos) << lint.Out;
    }
    std::error_code ignored;
    fs::remove_all(dir, ignored);
}
