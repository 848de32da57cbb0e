// SPDX-License-Identifier: GPL-3.0-or-later
// The window with its real widgets, offscreen; dialogs replaced through the seam.
#include "reelmaker/main_window.h"
#include "reelmaker/options_dialog.h"
#include "test_util.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMimeData>
#include <QPushButton>
#include <QSlider>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QWindow>

#include <gtest/gtest.h>

namespace reelmaker {
namespace {

// Keeps the process's current folder as the test found it.
struct CurrentFolderGuard {
    QString Saved = QDir::currentPath();
    ~CurrentFolderGuard() { QDir::setCurrent(Saved); }
};

struct Recorder {
    QStringList OpenAnswers;
    QString SaveAnswer;
    std::optional<CompressOptions> Options; // none: the user cancels
    QStringList Messages;
    int SaveAsked = 0;
    int OptionsAsked = 0;

    ReelDialogs Dialogs() {
        ReelDialogs d;
        d.OpenPicture = [this](QWidget*) {
            return OpenAnswers.isEmpty() ? QString() : OpenAnswers.takeFirst();
        };
        d.SaveMovie = [this](QWidget*) {
            ++SaveAsked;
            return SaveAnswer;
        };
        d.CompressOptions = [this](QWidget*, CompressOptions& o) {
            ++OptionsAsked;
            if (!Options) return false;
            o = *Options;
            return true;
        };
        d.Message = [this](const QString& text) { Messages << text; };
        return d;
    }
};

QStringList Entries(const MainWindow& w) {
    QStringList entries;
    for (int i = 0; i < w.PictureList()->count(); ++i)
        entries << w.PictureList()->item(i)->text();
    return entries;
}

int Selected(const MainWindow& w) {
    const auto items = w.PictureList()->selectedItems();
    return items.isEmpty() ? -1 : w.PictureList()->row(items.first());
}

QImage Fitted(const QString& path) {
    PreviewState s = MakePreviewState();
    ShowPicture(s, path);
    return s.Shown;
}

TEST(Window, ControlsFollowTheLayoutTable) {
    Recorder r;
    MainWindow w(r.Dialogs());
    EXPECT_EQ(w.windowTitle(), "Tarvo to AVI maker");
    EXPECT_EQ(w.size(), QSize(830, 410));
    EXPECT_TRUE(w.windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_TRUE(w.windowFlags() & Qt::WindowMinMaxButtonsHint);
    EXPECT_EQ(w.palette().color(QPalette::Window), QColor(139, 197, 197));
    EXPECT_EQ(w.font().pointSize(), 8);
    EXPECT_FALSE(w.windowIcon().pixmap(32, 32).isNull());
    EXPECT_FALSE(w.windowIcon().pixmap(16, 16).isNull());

    struct Row {
        int Id;
        const char* Text;
        QRect Geometry;
    };
    const Row rows[] = {
        {IdLoad, "&Load Picture", {5, 210, 75, 20}},
        {IdMakeAvi, "Make AVI", {92, 210, 75, 20}},
        {IdAddBmp, "Add all BMP files in folder", {5, 330, 135, 20}},
        {IdAddJpg, "Add all JPG files in folder", {5, 355, 135, 20}},
        {IdAddGif, "Add all GIF files in folder", {5, 380, 135, 20}},
        {IdStatus, "", {5, 236, 250, 45}},
        {IdDelete, "Delete Picture", {179, 210, 75, 20}},
        {IdList, nullptr, {5, 5, 250, 220}},
        {IdPreview, nullptr, {260, 5, 564, 400}},
        {IdFrameRate, "15", {5, 288, 30, 20}},
        {IdRateLabel, "Enter frame rate", {50, 292, 100, 20}},
    };
    QList<QWidget*> order;
    for (const Row& row : rows) {
        QWidget* c = w.Control(row.Id);
        ASSERT_TRUE(c) << row.Id;
        EXPECT_EQ(c->geometry(), row.Geometry) << row.Id;
        order << c;
        if (!row.Text) continue;
        QString text;
        if (auto* b = qobject_cast<QPushButton*>(c)) text = b->text();
        if (auto* l = qobject_cast<QLabel*>(c)) text = l->text();
        if (auto* e = qobject_cast<QLineEdit*>(c)) text = e->text();
        EXPECT_EQ(text, row.Text) << row.Id;
    }
    // Created in the table's order: the focus chain follows creation.
    QList<QWidget*> chain;
    for (QWidget* c = w.nextInFocusChain(); c != &w; c = c->nextInFocusChain())
        if (order.contains(c)) chain << c;
    EXPECT_EQ(chain, order);
    // Where the list's foot meets the buttons, the earlier-made buttons lie on top.
    EXPECT_EQ(w.childAt(40, 220), w.Control(IdLoad));
    const QPalette status = w.Control(IdStatus)->palette();
    EXPECT_EQ(status.color(QPalette::WindowText), QColor(0, 0, 255));
    EXPECT_EQ(status.color(QPalette::Window), QColor(255, 255, 223));
    // The preview starts as plain grey.
    EXPECT_EQ(w.Preview().Shown, SolidPicture(564, 400, PreviewBackground));
}

TEST(Window, ResizingKeepsControlPositions) {
    Recorder r;
    MainWindow w(r.Dialogs());
    w.show();
    w.resize(1000, 600);
    EXPECT_EQ(w.Control(IdPreview)->geometry(), QRect(260, 5, 564, 400));
    EXPECT_EQ(w.Control(IdAddGif)->geometry(), QRect(5, 380, 135, 20));
}

TEST(PictureList, FolderScansAppendBareNamesInNameOrderWithoutRegardToCase) {
    CurrentFolderGuard guard;
    QTemporaryDir dir;
    for (const char* name :
         {"b.bmp", "A.BMP", "c.Bmp", "x.jpg", "w.JPEG", "v.jpg", "g.gif", "notes.txt"})
        WriteFile(dir.filePath(name), "x");
    QDir(dir.path()).mkdir("folder.bmp");
    QDir::setCurrent(dir.path());
    Recorder r;
    MainWindow w(r.Dialogs());
    w.OnCommand(IdAddBmp, BnClicked);
    w.OnCommand(IdAddBmp, BnClicked);
    EXPECT_EQ(Entries(w), (QStringList{"A.BMP", "b.bmp", "c.Bmp", "A.BMP", "b.bmp", "c.Bmp"}));
    EXPECT_EQ(Selected(w), -1); // neither selection nor preview change
    w.PictureList()->clear();
    w.OnCommand(IdAddJpg, BnClicked);
    EXPECT_EQ(Entries(w), (QStringList{"v.jpg", "x.jpg", "w.JPEG"}));
    w.OnCommand(IdAddGif, BnClicked);
    EXPECT_EQ(Entries(w).last(), "g.gif");
    EXPECT_EQ(w.Preview().Shown, SolidPicture(564, 400, PreviewBackground));
}

TEST(PictureList, LoadThenScanListsThePictureTwiceAndTheFolderFollowsTheChoice) {
    CurrentFolderGuard guard;
    QTemporaryDir dir;
    QTemporaryDir elsewhere;
    QDir::setCurrent(elsewhere.path());
    const QString pic = dir.filePath("shot.bmp");
    ASSERT_TRUE(PatternPicture(560, 216, 3).save(pic));
    Recorder r;
    r.OpenAnswers = {pic};
    MainWindow w(r.Dialogs());
    w.OnCommand(IdLoad, BnClicked);
    EXPECT_EQ(QDir::currentPath(), QFileInfo(dir.path()).canonicalFilePath());
    EXPECT_EQ(Entries(w), QStringList{pic});
    EXPECT_EQ(Selected(w), 0);
    EXPECT_EQ(w.Preview().Shown, Fitted(pic));
    w.OnCommand(IdAddBmp, BnClicked);
    EXPECT_EQ(Entries(w), (QStringList{pic, "shot.bmp"}));
    EXPECT_EQ(Selected(w), 0);
    // A cancelled open dialog changes nothing.
    w.OnCommand(IdLoad, BnClicked);
    EXPECT_EQ(Entries(w).size(), 2);
}

class ThreePictures : public ::testing::Test {
  protected:
    void SetUp() override {
        for (int i = 0; i < 3; ++i) {
            paths_ << dir_.filePath(QString("p%1.png").arg(i));
            ASSERT_TRUE(PatternPicture(300 + 100 * i, 200, i).save(paths_.back()));
        }
        r_.OpenAnswers = paths_;
        window_ = std::make_unique<MainWindow>(r_.Dialogs());
        for (int i = 0; i < 3; ++i)
            window_->OnCommand(IdLoad, BnClicked);
    }
    CurrentFolderGuard guard_;
    QTemporaryDir dir_;
    QStringList paths_;
    Recorder r_;
    std::unique_ptr<MainWindow> window_;
};

TEST_F(ThreePictures, DeletingTheMiddleEntrySelectsAndShowsTheOneBefore) {
    MainWindow& w = *window_;
    w.PictureList()->setCurrentRow(1);
    EXPECT_EQ(w.Preview().Shown, Fitted(paths_[1]));
    w.OnCommand(IdDelete, BnClicked);
    EXPECT_EQ(Entries(w), (QStringList{paths_[0], paths_[2]}));
    EXPECT_EQ(Selected(w), 0);
    EXPECT_EQ(w.Preview().Shown, Fitted(paths_[0]));
    EXPECT_EQ(w.Preview().CurrentWidth, 300u);
}

TEST_F(ThreePictures, DeletingTheFirstEntryLeavesNoSelectionAndNoCurrentPicture) {
    MainWindow& w = *window_;
    w.PictureList()->setCurrentRow(0);
    w.OnCommand(IdDelete, BnClicked);
    EXPECT_EQ(Entries(w), (QStringList{paths_[1], paths_[2]}));
    EXPECT_EQ(Selected(w), -1);
    EXPECT_FALSE(w.Preview().Current.has_value());
    // The next repaint shows only the background; the frame image is kept.
    const QImage onScreen = w.grab().toImage();
    EXPECT_EQ(onScreen.pixel(260 + 282, 5 + 200), PreviewBackground);
    EXPECT_EQ(w.Preview().Shown, Fitted(paths_[0]));
    // Without a selection nothing is deleted.
    w.OnCommand(IdDelete, BnClicked);
    EXPECT_EQ(Entries(w).size(), 2);
    EXPECT_EQ(Selected(w), -1);
}

TEST_F(ThreePictures, KeyboardSelectionPreviewsLikeAClick) {
    MainWindow& w = *window_;
    w.show();
    w.PictureList()->setCurrentRow(0);
    w.PictureList()->setFocus();
    QTest::keyClick(w.PictureList(), Qt::Key_Down);
    EXPECT_EQ(Selected(w), 1);
    EXPECT_EQ(w.Preview().Shown, Fitted(paths_[1]));
    QTest::keyClick(w.PictureList(), Qt::Key_Up);
    EXPECT_EQ(w.Preview().Shown, Fitted(paths_[0]));
    const QRect third = w.PictureList()->visualItemRect(w.PictureList()->item(2));
    QTest::mouseClick(w.PictureList()->viewport(), Qt::LeftButton, {}, third.center());
    EXPECT_EQ(Selected(w), 2);
    EXPECT_EQ(w.Preview().Shown, Fitted(paths_[2]));
}

TEST_F(ThreePictures, DropOfThreeFilesAddsOnlyTheFirst) {
    MainWindow& w = *window_;
    QMimeData mime;
    mime.setUrls({QUrl::fromLocalFile(paths_[2]), QUrl::fromLocalFile(paths_[0]),
                  QUrl::fromLocalFile(paths_[1])});
    w.show();
    QDragEnterEvent enter(QPoint(400, 200), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&w, &enter);
    QDropEvent drop(QPointF(400, 200), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&w, &drop);
    EXPECT_EQ(Entries(w).size(), 4);
    EXPECT_EQ(Entries(w).last(), paths_[2]);
    EXPECT_EQ(Selected(w), 3);
    // A file that is no picture is listed all the same; the preview keeps its picture.
    const QString junk = dir_.filePath("junk.bmp");
    WriteFile(junk, "no picture");
    w.OnDropFiles({junk});
    EXPECT_EQ(Entries(w).last(), junk);
    EXPECT_EQ(w.Preview().Shown, Fitted(paths_[2]));
}

TEST(PictureList, BareNameAfterTheFolderChangedDoesNotLoad) {
    CurrentFolderGuard guard;
    QTemporaryDir first, second;
    ASSERT_TRUE(PatternPicture(100, 100, 1).save(first.filePath("only-here.bmp")));
    const QString other = second.filePath("other.bmp");
    ASSERT_TRUE(PatternPicture(200, 100, 2).save(other));
    QDir::setCurrent(first.path());
    Recorder r;
    r.OpenAnswers = {other};
    MainWindow w(r.Dialogs());
    w.OnCommand(IdAddBmp, BnClicked);
    w.PictureList()->setCurrentRow(0);
    EXPECT_EQ(w.Preview().Shown, Fitted(first.filePath("only-here.bmp")));
    w.OnCommand(IdLoad, BnClicked); // the folder becomes the second one
    w.PictureList()->setCurrentRow(0);
    EXPECT_FALSE(w.Preview().Current.has_value());
    EXPECT_EQ(w.Preview().Shown, Fitted(other));
}

TEST(Window, EscapeEndsTheWindow) {
    Recorder r;
    MainWindow w(r.Dialogs());
    w.show();
    ASSERT_TRUE(w.isVisible());
    QTest::keyClick(&w, Qt::Key_Escape);
    EXPECT_FALSE(w.isVisible());
    MainWindow v(r.Dialogs());
    v.show();
    v.close();
    EXPECT_FALSE(v.isVisible());
}

TEST_F(ThreePictures, MakeAviWritesEveryEntryInListOrderAndReportsProgress) {
    MainWindow& w = *window_;
    w.PictureList()->setCurrentRow(1); // the selection does not matter
    QTemporaryDir out;
    r_.SaveAnswer = out.filePath("movie.avi");
    CompressOptions options;
    options.FccHandler = FullFramesFourCC;
    options.DwQuality = 7550;
    options.DwFlags = CompressValid;
    r_.Options = options;
    static_cast<QLineEdit*>(w.Control(IdFrameRate))->setText("12.5");
    w.OnCommand(IdMakeAvi, BnClicked);
    EXPECT_TRUE(r_.Messages.isEmpty()) << r_.Messages.join('|').toStdString();
    EXPECT_EQ(w.StatusText(),
              "  Writing frame  3 of  3\r\n  Compression DIB \r\n  Compress quality  75.5%");
    EXPECT_EQ(QDir::currentPath(), QFileInfo(out.path()).canonicalFilePath());
    const ProbeResult p = Probe(r_.SaveAnswer);
    ASSERT_TRUE(p.Ok);
    EXPECT_EQ(p.Fields.at("r_frame_rate"), "12/1");
    const std::vector<QImage> frames = DecodeFrames(r_.SaveAnswer);
    ASSERT_EQ(frames.size(), 3u);
    for (int k = 0; k < 3; ++k)
        EXPECT_EQ(frames[k], Fitted(paths_[k])) << k;
    EXPECT_EQ(w.Preview().Shown, Fitted(paths_[2])); // the last entry is current
    EXPECT_EQ(Selected(w), 1);
}

TEST_F(ThreePictures, CancelledOptionsKeepTheRecordAndAZeroHandlerEndsTheStatus) {
    MainWindow& w = *window_;
    QTemporaryDir out;
    r_.SaveAnswer = out.filePath("m.avi");
    w.OnCommand(IdMakeAvi, BnClicked);
    EXPECT_EQ(r_.OptionsAsked, 1);
    EXPECT_EQ(w.Options().FccHandler, 0u);
    EXPECT_EQ(w.StatusText(), "  Writing frame  3 of  3\r\n  Compression ");
    EXPECT_EQ(DecodeFrames(r_.SaveAnswer).size(), 3u);
}

TEST_F(ThreePictures, UnusableFrameRateIsRefusedBeforeAnyDialog) {
    MainWindow& w = *window_;
    QTemporaryDir out;
    r_.SaveAnswer = out.filePath("m.avi");
    for (const char* text : {"abc", "0", "-5", ""}) {
        static_cast<QLineEdit*>(w.Control(IdFrameRate))->setText(text);
        w.OnCommand(IdMakeAvi, BnClicked);
    }
    EXPECT_EQ(r_.Messages.size(), 4);
    EXPECT_EQ(r_.SaveAsked, 0);
    EXPECT_FALSE(QFileInfo::exists(r_.SaveAnswer));
    EXPECT_TRUE(w.StatusText().isEmpty());
}

TEST_F(ThreePictures, BareNamesMissingFromTheMovieFolderRepeatThePreviousFrame) {
    MainWindow& w = *window_;
    // p0 by full path, then the bare names of the folder scan.
    w.OnCommand(IdAddBmp, BnClicked); // no BMP files: nothing
    ASSERT_TRUE(PatternPicture(640, 480, 9).save(dir_.filePath("late.jpg")));
    w.OnCommand(IdAddJpg, BnClicked);
    ASSERT_EQ(Entries(w).last(), "late.jpg");
    QTemporaryDir out;
    r_.SaveAnswer = out.filePath("m.avi"); // another folder: "late.jpg" will not load
    w.OnCommand(IdMakeAvi, BnClicked);
    const std::vector<QImage> frames = DecodeFrames(r_.SaveAnswer);
    ASSERT_EQ(frames.size(), 4u);
    EXPECT_EQ(frames[3], Fitted(paths_[2]));
}

TEST(Window, EmptyListStillWritesAMovieAndLeavesTheStatusAlone) {
    CurrentFolderGuard guard;
    QTemporaryDir out;
    Recorder r;
    r.SaveAnswer = out.filePath("empty.avi");
    MainWindow w(r.Dialogs());
    w.OnCommand(IdMakeAvi, BnClicked);
    EXPECT_EQ(r.OptionsAsked, 1);
    EXPECT_TRUE(w.StatusText().isEmpty());
    EXPECT_TRUE(Probe(r.SaveAnswer).Ok);
    // A cancelled save dialog ends the command quietly.
    r.SaveAnswer.clear();
    w.OnCommand(IdMakeAvi, BnClicked);
    EXPECT_EQ(r.OptionsAsked, 1);
    EXPECT_TRUE(r.Messages.isEmpty());
}

TEST(Window, UnknownCodecInTheRecordGivesTheCompressedStreamMessage) {
    CurrentFolderGuard guard;
    QTemporaryDir out;
    Recorder r;
    r.SaveAnswer = out.filePath("x.avi");
    CompressOptions bogus;
    bogus.FccHandler = MakeFourCC('Z', 'Z', 'Z', 'Z');
    r.Options = bogus;
    MainWindow w(r.Dialogs());
    w.OnCommand(IdMakeAvi, BnClicked);
    EXPECT_EQ(r.Messages, QStringList{"error creating compressed stream"});
    EXPECT_FALSE(QFileInfo::exists(r.SaveAnswer));
}

TEST(OptionsDialog, ShowsEveryCodecAndFillsTheRecordOnOk) {
    CompressOptions start;
    start.FccHandler = MakeFourCC('M', 'J', 'P', 'G');
    start.DwQuality = 7550;
    start.DwFlags = CompressValid;
    OptionsDialog d(start);
    EXPECT_EQ(size_t(d.CodecBox()->count()), AvailableCodecs().size());
    EXPECT_EQ(d.CodecBox()->itemText(0), "Full Frames (Uncompressed) (DIB)");
    EXPECT_EQ(d.CodecBox()->currentText(), "Motion JPEG (MJPG)");
    EXPECT_TRUE(d.QualitySlider()->isEnabled());
    EXPECT_EQ(d.Chosen().DwQuality, 7550u); // untouched: the fraction stays
    d.QualitySlider()->setValue(40);
    EXPECT_EQ(d.Chosen().DwQuality, 4000u);
    d.CodecBox()->setCurrentIndex(0);
    EXPECT_FALSE(d.QualitySlider()->isEnabled());
    EXPECT_FALSE(d.KeyFrameCheck()->isEnabled());
    const CompressOptions chosen = d.Chosen();
    EXPECT_EQ(chosen.FccHandler, FullFramesFourCC);
    EXPECT_EQ(chosen.FccType, StreamTypeVideo);
    EXPECT_TRUE(chosen.DwFlags & CompressValid);
}

TEST(OptionsDialog, CancelLeavesTheRecordAsItWas) {
    CompressOptions record;
    record.FccHandler = MakeFourCC('c', 'v', 'i', 'd');
    record.DwQuality = 1234;
    QTimer::singleShot(0, [] {
        if (QWidget* modal = QApplication::activeModalWidget())
            static_cast<QDialog*>(modal)->reject();
    });
    EXPECT_FALSE(RunOptionsDialog(nullptr, record));
    EXPECT_EQ(record.FccHandler, MakeFourCC('c', 'v', 'i', 'd'));
    EXPECT_EQ(record.DwQuality, 1234u);
    EXPECT_EQ(record.DwFlags, 0u);
}

TEST(Window, FileDialogFiltersKeepEveryPattern) {
    EXPECT_EQ(QtFileFilter(SaveFilter), "AVI files (*.avi);;All Files (*.*)");
    const QString open = QtFileFilter(OpenFilter);
    EXPECT_TRUE(open.startsWith("Images (*.BMP *.EXIF *.JPG *.JPEG .CUT *.DIB "));
    EXPECT_TRUE(open.endsWith("*.TIFF .WAL .PAL)"));
}

struct UnloadableCase {
    const char* Name;
    QByteArray Bytes; // empty: no file at all
    const char* Problem;
};

void PrintTo(const UnloadableCase& c, std::ostream* os) {
    *os << c.Name;
}

class Unloadable : public ::testing::TestWithParam<UnloadableCase> {};

// A BMP header that claims 8000 x 6000 pixels of 24 bits and holds none of them.
QByteArray HugeBmpHeader() {
    QByteArray b("BM");
    auto put = [&b](uint32_t v, int bytes) {
        for (int i = 0; i < bytes; ++i)
            b += char((v >> (8 * i)) & 0xFF);
    };
    const uint32_t pixelBytes = 8000u * 6000u * 3u;
    for (uint32_t v : {54 + pixelBytes, 0u, 54u, 40u, 8000u, 6000u})
        put(v, 4);
    put(1, 2);  // planes
    put(24, 2); // bits per pixel
    for (uint32_t v : {0u, pixelBytes, 0u, 0u, 0u, 0u})
        put(v, 4);
    return b;
}

TEST_P(Unloadable, PictureThatDoesNotLoadIsNamedInTheStatusBoxUntilOneLoads) {
    CurrentFolderGuard guard;
    QTemporaryDir dir;
    const QString good = dir.filePath("good.png");
    ASSERT_TRUE(PatternPicture(300, 200, 1).save(good));
    const QString bad = dir.filePath(GetParam().Name);
    if (!GetParam().Bytes.isEmpty()) WriteFile(bad, GetParam().Bytes);
    Recorder r;
    r.OpenAnswers = {good, bad};
    MainWindow w(r.Dialogs());
    w.OnCommand(IdLoad, BnClicked);
    EXPECT_TRUE(w.StatusText().isEmpty());
    w.OnCommand(IdLoad, BnClicked);
    EXPECT_EQ(w.StatusText(), QString("  Cannot load %1:\r\n  %2")
                                  .arg(GetParam().Name, QString::fromLatin1(GetParam().Problem)));
    EXPECT_EQ(w.Preview().Shown, Fitted(good)); // the preview keeps its picture
    w.PictureList()->setCurrentRow(0);
    EXPECT_TRUE(w.StatusText().isEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Window, Unloadable,
    ::testing::Values(UnloadableCase{"gone.bmp", {}, "there is no such file"},
                      UnloadableCase{"notes.jpg", "plain text",
                                     "not a picture format this program reads"},
                      UnloadableCase{"cut.png", QByteArray("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16),
                                     "the picture is damaged or incomplete"},
                      UnloadableCase{"huge.bmp", HugeBmpHeader(),
                                     "8000 x 6000 pixels is too large to load as BMP"}));

TEST_F(ThreePictures, MovieNamesThePicturesThatDidNotLoad) {
    MainWindow& w = *window_;
    const QString lost = dir_.filePath("lost.png");
    QFile::rename(paths_[1], lost);
    QTemporaryDir out;
    r_.SaveAnswer = out.filePath("m.avi");
    w.OnCommand(IdMakeAvi, BnClicked);
    ASSERT_EQ(r_.Messages.size(), 1);
    EXPECT_TRUE(r_.Messages[0].startsWith("1 of the 3 pictures could not be loaded"));
    EXPECT_TRUE(r_.Messages[0].endsWith("\np1.png: there is no such file"));
    // The last frame loaded: the status box holds the plain progress text again.
    EXPECT_EQ(w.StatusText(), "  Writing frame  3 of  3\r\n  Compression ");
    QFile::remove(paths_[2]);
    w.OnCommand(IdMakeAvi, BnClicked);
    EXPECT_EQ(w.StatusText(),
              "  Writing frame  3 of  3\r\n  Cannot load p2.png:\r\n  the previous frame repeats");
}

class WhileWriting : public ThreePictures, public ::testing::WithParamInterface<int> {};

TEST_P(WhileWriting, CommandsThatChangeTheListOrStartAMovieWait) {
    MainWindow& w = *window_;
    const int id = GetParam();
    QTemporaryDir out; // the movie's folder becomes the current one: a picture to scan
    ASSERT_TRUE(PatternPicture(50, 50, 7).save(out.filePath("extra.bmp")));
    r_.OpenAnswers = {out.filePath("extra.bmp")};
    w.PictureList()->setCurrentRow(2);
    r_.SaveAnswer = out.filePath("m.avi");
    auto* button = static_cast<QPushButton*>(w.Control(id));
    bool enabledWhileWriting = true;
    // Runs inside the first frame's event step.
    QTimer::singleShot(0, [&] {
        enabledWhileWriting = button->isEnabled();
        button->click();
        w.OnCommand(id, BnClicked);
    });
    w.OnCommand(IdMakeAvi, BnClicked);
    EXPECT_FALSE(enabledWhileWriting);
    EXPECT_EQ(r_.SaveAsked, 1);
    EXPECT_EQ(Entries(w), paths_);
    EXPECT_TRUE(button->isEnabled());
    EXPECT_FALSE(w.Writing());
    const std::vector<QImage> frames = DecodeFrames(r_.SaveAnswer);
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[2], Fitted(paths_[2]));
}

INSTANTIATE_TEST_SUITE_P(Window, WhileWriting,
                         ::testing::Values(IdMakeAvi, IdLoad, IdDelete, IdAddBmp));

TEST_F(ThreePictures, UncoveredPreviewIsDrawnAnewFromTheCurrentPicture) {
    MainWindow& w = *window_;
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    w.PictureList()->setCurrentRow(0);
    QCoreApplication::processEvents();
    const auto onScreen = [&w] {
        return w.screen()->grabWindow(w.winId()).toImage().pixel(260 + 282, 5 + 200);
    };
    const QRgb picture = Fitted(paths_[0]).pixel(282, 200);
    ASSERT_NE(picture | 0xFF000000u, PreviewBackground);
    ASSERT_EQ(onScreen() | 0xFF000000u, picture | 0xFF000000u);
    w.OnCommand(IdDelete, BnClicked); // no current picture: grey at the next repaint
    QCoreApplication::processEvents();
    QExposeEvent uncovered{QRegion(w.rect())};
    QCoreApplication::sendEvent(w.windowHandle(), &uncovered);
    QCoreApplication::processEvents();
    EXPECT_EQ(onScreen() | 0xFF000000u, PreviewBackground);
}

TEST(Window, SavedMovieNameAlwaysEndsInAvi) {
    CurrentFolderGuard guard;
    QTemporaryDir out;
    Recorder r;
    MainWindow w(r.Dialogs());
    const std::pair<const char*, const char*> names[] = {
        {"movie.mp4", "movie.mp4.avi"}, {"movie", "movie.avi"}, {"Movie.AVI", "Movie.AVI"}};
    for (const auto& [chosen, written] : names) {
        r.SaveAnswer = out.filePath(chosen);
        w.OnCommand(IdMakeAvi, BnClicked);
        EXPECT_TRUE(QFileInfo::exists(out.filePath(written))) << chosen;
    }
    EXPECT_EQ(QDir(out.path()).entryList(QDir::Files).size(), 3);
}

class Mnemonic : public ::testing::TestWithParam<Qt::Key> {};

TEST_P(Mnemonic, OptionsDialogLabelsTakeTheFocusToTheirControls) {
    CompressOptions start;
    start.FccHandler = MakeFourCC('M', 'J', 'P', 'G');
    start.DwFlags = CompressValid;
    OptionsDialog d(start);
    d.show();
    d.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&d));
    const bool codec = GetParam() == Qt::Key_C;
    QWidget* target = codec ? static_cast<QWidget*>(d.CodecBox()) : d.QualitySlider();
    QWidget* other = codec ? static_cast<QWidget*>(d.QualitySlider()) : d.CodecBox();
    other->setFocus();
    QTest::keyClick(&d, GetParam(), Qt::AltModifier);
    EXPECT_EQ(QApplication::focusWidget(), target);
}

// "&Compressor:" and "Compression &Quality:"
INSTANTIATE_TEST_SUITE_P(OptionsDialog, Mnemonic, ::testing::Values(Qt::Key_C, Qt::Key_Q));

TEST(Window, ScreenshotWithAPicturePreviewed) {
    const QByteArray target = qgetenv("REELMAKER_SCREENSHOT");
    if (target.isEmpty()) GTEST_SKIP() << "set REELMAKER_SCREENSHOT=path to save one";
    CurrentFolderGuard guard;
    QTemporaryDir dir;
    QStringList answers;
    for (int i = 0; i < 4; ++i) {
        answers << dir.filePath(QString("1234%1_Correlogram.bmp").arg(i));
        ASSERT_TRUE(PatternPicture(560, 216, i).save(answers.back()));
    }
    Recorder r;
    r.OpenAnswers = answers;
    MainWindow w(r.Dialogs());
    for (int i = 0; i < 4; ++i)
        w.OnCommand(IdLoad, BnClicked);
    r.SaveAnswer = dir.filePath("AVI_from_Tarvo.AVI");
    CompressOptions mjpeg;
    mjpeg.FccHandler = MakeFourCC('M', 'J', 'P', 'G');
    mjpeg.DwQuality = 7500;
    mjpeg.DwFlags = CompressValid;
    r.Options = mjpeg;
    w.OnCommand(IdMakeAvi, BnClicked);
    w.PictureList()->setCurrentRow(2);
    w.show();
    QCoreApplication::processEvents();
    ASSERT_TRUE(w.grab().save(QString::fromLocal8Bit(target)));
}

} // namespace
} // namespace reelmaker
