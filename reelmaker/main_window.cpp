// SPDX-License-Identifier: GPL-3.0-or-later
#include "reelmaker/main_window.h"

#include "reelmaker/movie.h"
#include "reelmaker/options_dialog.h"

#include <QApplication>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QMimeData>
#include <QPainter>
#include <QPushButton>
#include <QScopeGuard>
#include <QScreen>
#include <QWindow>

#include <algorithm>
#include <iterator>

namespace reelmaker {

namespace {

const QColor WindowColour(139, 197, 197);
const QColor StatusBackgroundColour(255, 255, 223);
const QColor StatusTextColour(0, 0, 255);
constexpr int RowHeight = 24;
constexpr int ClientWidth = 830; // the window's inside, where the controls sit
constexpr int ClientHeight = 410;
constexpr int PreviewX = 260;
constexpr int PreviewY = 5;
// Pictures that did not load, listed by name after a movie; more are counted.
constexpr int UnloadedListed = 10;

// "  Cannot load NAME" and why, as the status box shows it.
QString LoadNote(const QString& path, const QString& problem) {
    return QStringLiteral("  Cannot load %1:\r\n  %2").arg(QFileInfo(path).fileName(), problem);
}

QString ChooseFile(QWidget* owner, const QString& caption, const QString& initialName,
                   const char* filter, const QString& defaultSuffix, bool save) {
    QFileDialog dialog(owner, caption, QDir::currentPath(), QtFileFilter(filter));
    dialog.setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dialog.setFileMode(save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    dialog.setDefaultSuffix(defaultSuffix);
    if (save) dialog.setOption(QFileDialog::DontConfirmOverwrite);
    if (!initialName.isEmpty()) dialog.selectFile(initialName);
    if (dialog.exec() != QDialog::Accepted) return {};
    return dialog.selectedFiles().value(0);
}

} // namespace

QFont WindowFont() {
    // Liberation Sans keeps the metrics the control sizes were made for.
    QFont font(QStringLiteral("Liberation Sans"), 8);
    font.setStyleHint(QFont::SansSerif);
    return font;
}

QString QtFileFilter(const QString& barFilter) {
    const QStringList parts = barFilter.split('|');
    QStringList filters;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        if (parts[i].isEmpty()) continue;
        filters << QStringLiteral("%1 (%2)").arg(parts[i], parts[i + 1].split(';').join(' '));
    }
    return filters.join(QStringLiteral(";;"));
}

QString WithAviSuffix(const QString& chosen) {
    if (chosen.endsWith(QStringLiteral(".avi"), Qt::CaseInsensitive)) return chosen;
    return chosen + QStringLiteral(".avi");
}

void ShowMessage(const QString& text) {
    QMessageBox box(QMessageBox::NoIcon, QString::fromLatin1(MessageCaption), text,
                    QMessageBox::Ok);
    box.setWindowModality(Qt::ApplicationModal);
    box.setWindowFlag(Qt::WindowStaysOnTopHint);
    box.exec();
}

ReelDialogs RealDialogs() {
    ReelDialogs d;
    d.OpenPicture = [](QWidget* owner) {
        return ChooseFile(owner, QStringLiteral("Select an image to insert"), QString(), OpenFilter,
                          QStringLiteral("JPG"), false);
    };
    d.SaveMovie = [](QWidget* owner) {
        return ChooseFile(owner, QStringLiteral("Save File"), QStringLiteral("AVI_from_Tarvo.AVI"),
                          SaveFilter, QStringLiteral("avi"), true);
    };
    d.CompressOptions = [](QWidget* owner, CompressOptions& options) {
        return RunOptionsDialog(owner, options);
    };
    d.Message = ShowMessage;
    return d;
}

PreviewWidget::PreviewWidget(const PreviewState& state, QWidget* parent)
    : QWidget(parent), state_(state) {
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void PreviewWidget::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    // A repaint draws the current picture again; with none (a failed load, the
    // first entry deleted) only the background shows.  Movie frames keep
    // taking the last drawn image, so a picture that does not load still
    // repeats the previous frame.
    if (state_.Current)
        painter.drawImage(QPoint(0, 0), state_.Shown);
    else
        painter.fillRect(rect(), QColor::fromRgba(state_.Background));
}

QIcon MakeAppIcon() {
    QIcon icon;
    for (int size : {32, 16}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter p(&pixmap);
        const qreal u = size / 16.0;
        // A strip of film with two frames of a grey-scale gram.
        p.fillRect(QRectF(0, 2 * u, 16 * u, 12 * u), QColor(40, 40, 40));
        for (int i = 0; i < 4; ++i) {
            p.fillRect(QRectF((1 + 4 * i) * u, 3 * u, 2 * u, 1 * u), Qt::white);
            p.fillRect(QRectF((1 + 4 * i) * u, 12 * u, 2 * u, 1 * u), Qt::white);
        }
        QLinearGradient gram(0, 5 * u, 0, 11 * u);
        gram.setColorAt(0, QColor(139, 197, 197));
        gram.setColorAt(1, QColor(20, 60, 60));
        p.fillRect(QRectF(1 * u, 5 * u, 6.5 * u, 6 * u), gram);
        p.fillRect(QRectF(8.5 * u, 5 * u, 6.5 * u, 6 * u), gram);
        p.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

MainWindow::MainWindow(ReelDialogs dialogs, QWidget* parent)
    : QDialog(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint |
                          Qt::WindowStaysOnTopHint),
      dialogs_(std::move(dialogs)), preview_(MakePreviewState()) {
    setObjectName(QStringLiteral("icon1"));
    setWindowTitle(QString::fromLatin1(WindowCaption));
    setWindowIcon(MakeAppIcon());
    setFont(WindowFont());
    QPalette pal = palette();
    pal.setColor(QPalette::Window, WindowColour);
    setPalette(pal);
    setAutoFillBackground(true);
    setSizeGripEnabled(false);
    resize(ClientWidth, ClientHeight);
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect work = screen->availableGeometry();
        move(work.center() - QPoint(ClientWidth / 2, ClientHeight / 2));
    }

    CreateControls();

    for (auto& [id, widget] : controls_)
        widget->setProperty("controlId", id);
    // Earlier controls lie on top of later ones where they overlap: the buttons stay
    // clickable where they cover the foot of the list.
    const QObjectList created = children();
    for (auto it = created.rbegin(); it != created.rend(); ++it)
        if (auto* w = qobject_cast<QWidget*>(*it)) w->raise();
    setAcceptDrops(true);
    // The preview background colour is set when the window initialises.
    preview_.Background = PreviewBackground;
}

// The controls, made in the window's tab order: the focus chain follows creation.
void MainWindow::CreateControls() {
    auto button = [this](int id, const char* text, int x, int y, int w, int h) {
        auto* b = new QPushButton(QString::fromLatin1(text), this);
        b->setGeometry(x, y, w, h);
        b->setAutoDefault(false);
        b->setDefault(false);
        connect(b, &QPushButton::clicked, this, [this, id] { OnCommand(id, BnClicked); });
        controls_[id] = b;
    };
    button(IdLoad, "&Load Picture", 5, 210, 75, 20);
    button(IdMakeAvi, "Make AVI", 92, 210, 75, 20);
    button(IdAddBmp, "Add all BMP files in folder", 5, 330, 135, 20);
    button(IdAddJpg, "Add all JPG files in folder", 5, 355, 135, 20);
    button(IdAddGif, "Add all GIF files in folder", 5, 380, 135, 20);

    status_ = new QLabel(this);
    status_->setGeometry(5, 236, 250, 45);
    status_->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    status_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    status_->setWordWrap(true);
    status_->setAutoFillBackground(true);
    QPalette statusPal = status_->palette();
    statusPal.setColor(QPalette::Window, StatusBackgroundColour);
    statusPal.setColor(QPalette::WindowText, StatusTextColour);
    status_->setPalette(statusPal);
    controls_[IdStatus] = status_;

    button(IdDelete, "Delete Picture", 179, 210, 75, 20);

    list_ = new QListWidget(this);
    list_->setGeometry(5, 5, 250, 220);
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->setSortingEnabled(false);
    list_->setUniformItemSizes(true);
    list_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    connect(list_, &QListWidget::itemSelectionChanged, this, [this] {
        if (!selecting_) OnCommand(IdList, LbnSelChange);
    });
    controls_[IdList] = list_;

    previewWidget_ = new PreviewWidget(preview_, this);
    previewWidget_->setGeometry(PreviewX, PreviewY, BoxWidth, BoxHeight);
    previewWidget_->setFocusPolicy(Qt::TabFocus);
    controls_[IdPreview] = previewWidget_;

    frameRate_ = new QLineEdit(QStringLiteral("15"), this);
    frameRate_->setGeometry(5, 288, 30, 20);
    controls_[IdFrameRate] = frameRate_;

    auto* label = new QLabel(QStringLiteral("Enter frame rate"), this);
    label->setGeometry(50, 292, 100, 20);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    controls_[IdRateLabel] = label;
}

QWidget* MainWindow::Control(int id) const {
    const auto it = controls_.find(id);
    return it == controls_.end() ? nullptr : it->second;
}

void MainWindow::OnCommand(int id, int notification) {
    // While a movie is written its loop lets events through; a command that changes the
    // list or starts another movie must wait until it is done.
    if (writing_ &&
        std::find(std::begin(WritingLocks), std::end(WritingLocks), id) != std::end(WritingLocks))
        return;
    switch (id) {
    case IdCancel:
        if (notification == BnClicked) done(0);
        break;
    case IdLoad: {
        const QString path = dialogs_.OpenPicture ? dialogs_.OpenPicture(this) : QString();
        if (path.isEmpty()) break;
        // The chosen file's folder becomes the current folder.
        QDir::setCurrent(QFileInfo(path).absolutePath());
        AddPicture(path, path);
        break;
    }
    case IdAddBmp:
        ScanFolder(QStringLiteral("*.bmp"));
        break;
    case IdAddJpg:
        ScanFolder(QStringLiteral("*.jpg"));
        ScanFolder(QStringLiteral("*.jpeg"));
        break;
    case IdAddGif:
        ScanFolder(QStringLiteral("*.gif"));
        break;
    case IdList:
        if (notification == LbnSelChange) {
            const int s = SelectedIndex();
            ShowInPreview(s >= 0 ? list_->item(s)->text() : QString());
        }
        break;
    case IdDelete:
        DeletePicture();
        break;
    case IdMakeAvi:
        MakeMovie();
        break;
    default:
        break;
    }
}

void MainWindow::reject() {
    OnCommand(IdCancel, BnClicked);
}

void MainWindow::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    // Expose events come to the native window, not to the widgets.
    if (QWindow* handle = windowHandle()) handle->installEventFilter(this);
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
    // Uncovered parts are otherwise copied from the last drawn pixels, so a picture that
    // was deleted or failed to load would stay; the preview is drawn anew from its state.
    if (event->type() == QEvent::Expose && watched == windowHandle()) previewWidget_->update();
    return QDialog::eventFilter(watched, event);
}

void MainWindow::dragEnterEvent(QDragEnterEvent* event) {
    if (event->mimeData()->hasUrls()) event->acceptProposedAction();
}

void MainWindow::dropEvent(QDropEvent* event) {
    QStringList paths;
    for (const QUrl& url : event->mimeData()->urls())
        paths << (url.isLocalFile() ? url.toLocalFile() : url.toString());
    event->acceptProposedAction();
    OnDropFiles(paths);
}

void MainWindow::OnDropFiles(const QStringList& paths) {
    if (paths.isEmpty() || writing_) return;
    AddPicture(paths.first(), paths.first()); // only the first dropped item counts
}

void MainWindow::AddPicture(const QString& entry, const QString& path) {
    ShowInPreview(path);
    auto* item = new QListWidgetItem(entry);
    item->setSizeHint(QSize(0, RowHeight));
    list_->addItem(item);
    Select(list_->count() - 1);
}

void MainWindow::ScanFolder(const QString& pattern) {
    const QStringList names = QDir::current().entryList(
        {pattern}, QDir::Files | QDir::Readable | QDir::Writable, QDir::Name | QDir::IgnoreCase);
    for (const QString& name : names) {
        auto* item = new QListWidgetItem(name);
        item->setSizeHint(QSize(0, RowHeight));
        list_->addItem(item);
    }
}

void MainWindow::DeletePicture() {
    const int s = SelectedIndex();
    if (s >= 0 && s < list_->count()) {
        selecting_ = true;
        delete list_->takeItem(s);
        selecting_ = false;
    }
    Select(s - 1);
    const QListWidgetItem* before = s - 1 >= 0 ? list_->item(s - 1) : nullptr;
    ShowInPreview(before ? before->text() : QString());
}

int MainWindow::SelectedIndex() const {
    const QList<QListWidgetItem*> selected = list_->selectedItems();
    return selected.isEmpty() ? -1 : list_->row(selected.first());
}

void MainWindow::Select(int row) {
    selecting_ = true;
    if (row >= 0 && row < list_->count()) {
        list_->setCurrentRow(row, QItemSelectionModel::ClearAndSelect);
    } else {
        list_->clearSelection();
        list_->setCurrentRow(-1);
    }
    selecting_ = false;
}

bool MainWindow::ShowInPreview(const QString& path) {
    const bool loaded = ShowPicture(preview_, path);
    if (loaded) previewWidget_->update();
    if (writing_) return loaded; // the movie's progress text names it
    if (!loaded && !preview_.Problem.isEmpty()) {
        if (!loadNoteShown_) textBeforeNote_ = statusText_;
        SetStatus(LoadNote(path, preview_.Problem));
        loadNoteShown_ = true;
    } else if (loadNoteShown_) {
        SetStatus(textBeforeNote_);
        loadNoteShown_ = false;
    }
    return loaded;
}

void MainWindow::SetWriting(bool writing) {
    writing_ = writing;
    for (int id : WritingLocks)
        controls_[id]->setEnabled(!writing);
}

void MainWindow::SetStatus(const QString& text) {
    statusText_ = text;
    QString shown = text;
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    status_->setText(shown);
}

void MainWindow::Tell(const QString& text) {
    if (dialogs_.Message) dialogs_.Message(text);
}

// The movie's file, stream, codec (the user's choice) and format; false,
// told, where one of them fails.
bool MainWindow::OpenMovie(MovieWriter& movie, const QString& path, int32_t rate) {
    if (!MovieOpen(movie, path, rate)) {
        Tell(QStringLiteral("Cannot write the movie: %1").arg(QString::fromStdString(movie.Error)));
        return false;
    }
    if (!MovieCreateStream(movie, rate)) {
        Tell(QStringLiteral("error creating uncompressed stream"));
        return false;
    }
    if (dialogs_.CompressOptions) dialogs_.CompressOptions(this, options_); // Cancel: as it was
    if (!MovieSetCodec(movie, options_)) {
        Tell(QStringLiteral("error creating compressed stream"));
        return false;
    }
    if (!MovieSetFormat(movie)) {
        Tell(QStringLiteral("error setting stream format"));
        return false;
    }
    return true;
}

// Which pictures could not be loaded (each repeats the frame before it).
void MainWindow::TellUnloaded(const QStringList& unloaded, int count) {
    QString list = unloaded.mid(0, UnloadedListed).join('\n');
    if (unloaded.size() > UnloadedListed)
        list += QStringLiteral("\n... and %1 more").arg(unloaded.size() - UnloadedListed);
    Tell(QStringLiteral("%1 of the %2 pictures could not be loaded; in the movie each "
                        "repeats the frame before it:\n%3")
             .arg(unloaded.size())
             .arg(count)
             .arg(list));
}

void MainWindow::MakeMovie() {
    // A rate of 0 or below would give a file no player opens: refuse before anything.
    const QString rateText = frameRate_->text();
    const QString problem = FrameRateProblem(rateText);
    if (!problem.isEmpty()) {
        Tell(problem);
        return;
    }
    const int32_t rate = *ReadFrameRate(rateText);
    SetWriting(true);
    const auto done = qScopeGuard([this] { SetWriting(false); });

    const QString chosen = dialogs_.SaveMovie ? dialogs_.SaveMovie(this) : QString();
    if (chosen.isEmpty()) return;
    // The file is RIFF AVI whatever the name says; the name says so too.
    const QString path = WithAviSuffix(chosen);
    QDir::setCurrent(QFileInfo(path).absolutePath());

    // On every way out before MovieFinish the writer drops its temporary file.
    MovieWriter movie;
    if (!OpenMovie(movie, path, rate)) return;
    const uint32_t handler = options_.FccHandler;
    const uint32_t quality = options_.DwQuality;

    QStringList unloaded;
    const int count = list_->count();
    for (int k = 0; k < count; ++k) {
        const QListWidgetItem* entry = list_->item(k);
        const QString name = entry ? entry->text() : QString();
        const bool loaded = ShowInPreview(name);
        // The frame is the image the preview shows, never pixels read from the screen.
        const QImage frame = preview_.Shown;
        QCoreApplication::processEvents(); // keeps the window responding
        QString progress =
            QString::fromStdString(ProgressText(k + 1, list_->count(), handler, quality));
        if (!loaded) {
            // The frame repeats the one before; say which picture is missing.
            const QString why =
                preview_.Problem.isEmpty() ? QStringLiteral("no picture") : preview_.Problem;
            unloaded << QStringLiteral("%1: %2").arg(QFileInfo(name).fileName(), why);
            progress = progress.section(QStringLiteral("\r\n"), 0, 0) + QStringLiteral("\r\n") +
                       LoadNote(name, QStringLiteral("the previous frame repeats"));
        }
        SetStatus(progress);
        loadNoteShown_ = false; // the progress text has taken the status box
        const FrameResult result = MovieWriteFrame(movie, frame);
        if (result == FrameResult::Skipped) Tell(QStringLiteral("error writing frame"));
        if (result == FrameResult::Failed) {
            Tell(QStringLiteral("error writing frame"));
            Tell(QStringLiteral("The movie was not written: %1. Nothing was replaced.")
                     .arg(QString::fromStdString(movie.Error)));
            return;
        }
    }
    if (!MovieFinish(movie)) {
        Tell(QStringLiteral("The movie was not written: %1. Nothing was replaced.")
                 .arg(QString::fromStdString(movie.Error)));
        return;
    }
    if (!unloaded.isEmpty()) TellUnloaded(unloaded, count);
}

} // namespace reelmaker
