// SPDX-License-Identifier: GPL-3.0-or-later
// The reelmaker window: picture list, preview, frame rate, status and commands.
#pragma once

#include "reelmaker/codecs.h"
#include "reelmaker/movie.h"
#include "reelmaker/picture.h"

#include <QDialog>
#include <QString>
#include <QStringList>

#include <functional>
#include <map>

class QLabel;
class QLineEdit;
class QListWidget;

namespace reelmaker {

// Control and command ids of the window.
enum ControlId : int {
    IdCancel = 2, // Esc and the close box
    IdPreview = 199,
    IdStatus = 3072,
    IdList = 3073,
    IdLoad = 3074,
    IdMakeAvi = 3075,
    IdDelete = 3077,
    IdFrameRate = 3079,
    IdAddBmp = 3081,
    IdAddJpg = 3082,
    IdAddGif = 3083,
    IdRateLabel = -1,
};
inline constexpr int BnClicked = 0;
inline constexpr int LbnSelChange = 1;

inline constexpr char WindowCaption[] = "Tarvo to AVI maker";
inline constexpr char MessageCaption[] = "Tarvo to AVI maker";
// The pictures the open dialog offers; formats no reader here decodes (metafiles, PCX,
// PIC) are left out.
inline constexpr char OpenFilter[] =
    "Images|*.BMP;*.EXIF;*.JPG;*.JPEG;.CUT;*.DIB;.DCX;.DDS;*.GIF;*.ICO;.LBM;"
    ".LIF;.MDL;.OIL;.PCD;*.PNG;.PNM;.RAW;.SGI;*.TGA;*.TIF;*.TIFF;.WAL;.PAL|";
inline constexpr char SaveFilter[] = "AVI files|*.avi|All Files|*.*|";

// "name|pat;pat|name|pat|" as a Qt file-dialog filter.
QString QtFileFilter(const QString& barFilter);
// The movie's file name: the chosen one, with ".avi" appended unless it ends so already.
QString WithAviSuffix(const QString& chosen);

// The dialogs the window asks; tests replace them.
struct ReelDialogs {
    std::function<QString(QWidget* owner)> OpenPicture; // empty when cancelled
    std::function<QString(QWidget* owner)> SaveMovie;   // empty when cancelled
    std::function<bool(QWidget* owner, CompressOptions& options)> CompressOptions;
    std::function<void(const QString& text)> Message;
};
ReelDialogs RealDialogs();
// The program's message box: OK only, above the topmost window, one caption.
void ShowMessage(const QString& text);

class PreviewWidget : public QWidget {
    Q_OBJECT
  public:
    PreviewWidget(const PreviewState& state, QWidget* parent);

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    const PreviewState& state_;
};

class MainWindow : public QDialog {
    Q_OBJECT
  public:
    explicit MainWindow(ReelDialogs dialogs = RealDialogs(), QWidget* parent = nullptr);

    // Handlers, one per message kind.
    void OnCommand(int id, int notification);
    void OnDropFiles(const QStringList& paths);

    void AddPicture(const QString& entry, const QString& path);
    void MakeMovie();

    QWidget* Control(int id) const;
    QListWidget* PictureList() const { return list_; }
    const PreviewState& Preview() const { return preview_; }
    // The status box text exactly as written (lines end in CR LF).
    const QString& StatusText() const { return statusText_; }
    CompressOptions& Options() { return options_; }
    bool Writing() const { return writing_; }

  protected:
    void reject() override;
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

  private:
    void CreateControls();
    void Tell(const QString& text);
    bool OpenMovie(MovieWriter& movie, const QString& path, int32_t rate);
    void TellUnloaded(const QStringList& unloaded, int count);
    void ScanFolder(const QString& pattern);
    void DeletePicture();
    void Select(int row);
    int SelectedIndex() const;
    bool ShowInPreview(const QString& path);
    void SetStatus(const QString& text);
    void SetWriting(bool writing);

    // Commands that change the list or start a movie; none of them runs while one is written.
    static constexpr int WritingLocks[] = {IdLoad,   IdMakeAvi, IdDelete,
                                           IdAddBmp, IdAddJpg,  IdAddGif};

    ReelDialogs dialogs_;
    PreviewState preview_;
    CompressOptions options_; // kept for the whole run, as the options dialog left it
    QString statusText_;
    // A failed load is named in the status box; the text it covered returns once a
    // picture loads again.
    bool loadNoteShown_ = false;
    QString textBeforeNote_;
    bool writing_ = false;   // a movie is being written
    bool selecting_ = false; // a selection made by the program is no user's choice
    std::map<int, QWidget*> controls_;
    QListWidget* list_ = nullptr;
    PreviewWidget* previewWidget_ = nullptr;
    QLabel* status_ = nullptr;
    QLineEdit* frameRate_ = nullptr;
};

// The 8-point sans font of the window and every control.
QFont WindowFont();
// The window's own icon, 32 x 32 and 16 x 16.
QIcon MakeAppIcon();

} // namespace reelmaker
