// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/web/served_files.h"

#include <QDir>
#include <QFileInfo>
#include <QTcpSocket>
#include <QUrl>

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "receiver/web/guarded_tcp_server.h"

namespace web {

namespace {

constexpr qsizetype MaxListedEntries = 5000;

bool Inside(const QString& canonical, const QString& root) {
    if (canonical == root) return true;
    const QString prefix = root.endsWith(u'/') ? root : root + u'/';
    return canonical.startsWith(prefix);
}

// A plain file or folder name from one percent-encoded URL segment, or an
// empty string when the segment is anything else.
QString PlainName(const QByteArray& segment) {
    const QByteArray raw = QByteArray::fromPercentEncoding(segment);
    if (raw.isEmpty() || raw.startsWith('.') || raw.contains('/') || raw.contains('\\') ||
        raw.contains('\0'))
        return {};
    const QString name = QString::fromUtf8(raw);
    if (name.toUtf8() != raw) return {}; // not UTF-8
    return name;
}

QString Escaped(const QString& text) {
    return text.toHtmlEscaped();
}

QString SizeText(qint64 bytes) {
    if (bytes < 1000) return QString::number(bytes) + QStringLiteral(" B");
    if (bytes < 1000 * 1000) return QString::number(bytes / 1000.0, 'f', 1) + QStringLiteral(" kB");
    if (bytes < 1000LL * 1000 * 1000)
        return QString::number(bytes / 1.0e6, 'f', 1) + QStringLiteral(" MB");
    return QString::number(bytes / 1.0e9, 'f', 2) + QStringLiteral(" GB");
}

QString TimeText(const QDateTime& time) {
    return time.toUTC().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) + QStringLiteral(" UTC");
}

QByteArray PageHead(const QString& title) {
    return (QStringLiteral("<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
                           "<meta name=\"viewport\" content=\"width=device-width\">"
                           "<title>") +
            Escaped(title) +
            QStringLiteral("</title><link rel=\"stylesheet\" href=\"/page.css\"></head>\n"
                           "<body class=\"files\">\n"))
        .toUtf8();
}

} // namespace

std::optional<ServedPath> ResolveServedPath(const std::vector<ServedFolder>& folders,
                                            const QByteArray& encodedPath) {
    QList<QByteArray> segments = encodedPath.split('/');
    const bool slash = segments.size() > 1 && segments.back().isEmpty();
    if (slash) segments.removeLast();
    QStringList names;
    for (const QByteArray& segment : segments) {
        const QString name = PlainName(segment);
        if (name.isEmpty()) return std::nullopt;
        names << name;
    }
    if (names.isEmpty()) return std::nullopt;
    const auto folder = std::find_if(folders.begin(), folders.end(), [&](const ServedFolder& f) {
        return f.Name == names.front();
    });
    if (folder == folders.end()) return std::nullopt;

    ServedPath served;
    served.Folder = &*folder;
    served.DisplayPath = names.join(u'/');
    QString url = QStringLiteral("/files");
    for (const QString& name : names)
        url += u'/' + QString::fromLatin1(QUrl::toPercentEncoding(name));
    const QString root = QFileInfo(folder->Path).canonicalFilePath();
    if (root.isEmpty()) {
        // Not made yet (no snapshot saved so far): an empty folder.
        if (names.size() > 1) return std::nullopt;
        served.IsFolder = true;
        served.UrlPath = url + u'/';
        return served;
    }
    const QString canonical = QFileInfo(root + u'/' + names.mid(1).join(u'/')).canonicalFilePath();
    if (canonical.isEmpty() || !Inside(canonical, root)) return std::nullopt;
    std::error_code error;
    const auto type = std::filesystem::status(canonical.toStdString(), error).type();
    if (error) return std::nullopt;
    if (type == std::filesystem::file_type::directory)
        served.IsFolder = true;
    else if (type != std::filesystem::file_type::regular)
        return std::nullopt; // FIFOs, devices and sockets are never opened
    served.Canonical = canonical;
    served.UrlPath = url + (served.IsFolder ? QStringLiteral("/") : QString());
    return served;
}

QByteArray FolderListing(const ServedPath& folder) {
    struct Entry {
        QString Name;
        bool IsFolder;
        qint64 Bytes;
        QDateTime Modified;
    };
    std::vector<Entry> entries;
    qsizetype skipped = 0;
    if (!folder.Canonical.isEmpty()) {
        const QString root = QFileInfo(folder.Folder->Path).canonicalFilePath();
        const QFileInfoList infos =
            QDir(folder.Canonical).entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot);
        for (const QFileInfo& info : infos) {
            // Links are listed only where they lead to something served.
            if (info.isSymLink() && !Inside(info.canonicalFilePath(), root)) continue;
            if (!info.isDir() && !info.isFile()) continue;
            entries.push_back({info.fileName(), info.isDir(), info.isDir() ? 0 : info.size(),
                               info.lastModified()});
        }
        std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
            if (a.IsFolder != b.IsFolder) return a.IsFolder;
            if (a.Modified != b.Modified) return a.Modified > b.Modified;
            return a.Name > b.Name;
        });
        if (static_cast<qsizetype>(entries.size()) > MaxListedEntries) {
            skipped = static_cast<qsizetype>(entries.size()) - MaxListedEntries;
            entries.resize(MaxListedEntries);
        }
    }

    QString html = QStringLiteral("<h1>") + Escaped(folder.DisplayPath) +
                   QStringLiteral("</h1>\n<p><a href=\"../\">Up</a> &middot; "
                                  "<a href=\"/\">Receiver</a></p>\n");
    if (entries.empty()) {
        html += QStringLiteral("<p>Nothing here yet.</p>\n");
    } else {
        html += QStringLiteral("<table class=\"listing\">\n<tr><th>Name</th><th>Size</th>"
                               "<th>Modified</th></tr>\n");
        for (const Entry& entry : entries) {
            const QString href = QString::fromLatin1(QUrl::toPercentEncoding(entry.Name)) +
                                 (entry.IsFolder ? QStringLiteral("/") : QString());
            html += QStringLiteral("<tr><td><a href=\"") + href + QStringLiteral("\">") +
                    Escaped(entry.Name) + (entry.IsFolder ? QStringLiteral("/") : QString()) +
                    QStringLiteral("</a></td><td class=\"size\">") +
                    (entry.IsFolder ? QString() : SizeText(entry.Bytes)) +
                    QStringLiteral("</td><td>") + TimeText(entry.Modified) +
                    QStringLiteral("</td></tr>\n");
        }
        html += QStringLiteral("</table>\n");
        if (skipped > 0)
            html += QStringLiteral("<p>") + QString::number(skipped) +
                    QStringLiteral(" older entries not shown.</p>\n");
    }
    html += QStringLiteral("</body></html>\n");
    return PageHead(folder.DisplayPath + QStringLiteral(" - propmon")) + html.toUtf8();
}

QByteArray FolderIndex(const std::vector<ServedFolder>& folders) {
    QString html = QStringLiteral("<h1>Files</h1>\n<p><a href=\"/\">Receiver</a></p>\n<ul>\n");
    for (const ServedFolder& folder : folders)
        html += QStringLiteral("<li><a href=\"") +
                QString::fromLatin1(QUrl::toPercentEncoding(folder.Name)) + QStringLiteral("/\">") +
                Escaped(folder.Name) + QStringLiteral("/</a></li>\n");
    html += QStringLiteral("</ul>\n</body></html>\n");
    return PageHead(QStringLiteral("Files - propmon")) + html.toUtf8();
}

FileKind KindOfFile(const QString& name) {
    const QString suffix = QFileInfo(name).suffix().toLower();
    if (suffix == u"bmp") return {"image/bmp", false};
    if (suffix == u"png") return {"image/png", false};
    if (suffix == u"jpg" || suffix == u"jpeg") return {"image/jpeg", false};
    if (suffix == u"csv") return {"text/csv; charset=utf-8", true};
    if (suffix == u"txt" || suffix == u"log" || suffix == u"set")
        return {"text/plain; charset=utf-8", false};
    return {"application/octet-stream", true};
}

FileStream::FileStream(QTcpSocket* socket, std::unique_ptr<QFile> file, qint64 length)
    : QObject(socket), socket_(socket), file_(std::move(file)), remaining_(length) {}

void FileStream::Start(QTcpSocket* socket, std::unique_ptr<QFile> file, qint64 length) {
    auto* stream = new FileStream(socket, std::move(file), length);
    MarkClosing(socket);
    connect(socket, &QTcpSocket::bytesWritten, stream, &FileStream::Pump);
    stream->Pump();
}

void FileStream::Pump() {
    constexpr qint64 highWaterBytes = 256 * 1024;
    constexpr qint64 chunkBytes = 64 * 1024;
    if (!socket_ || !file_) return;
    while (remaining_ > 0 && socket_->bytesToWrite() < highWaterBytes) {
        const QByteArray data = file_->read(std::min(chunkBytes, remaining_));
        if (data.isEmpty()) {
            // Cut short while it was sent: the client must not take the part
            // for the whole.
            file_.reset();
            socket_->abort();
            return;
        }
        socket_->write(data);
        remaining_ -= data.size();
    }
    if (remaining_ == 0) {
        file_.reset();
        socket_->disconnectFromHost();
    }
}

} // namespace web
