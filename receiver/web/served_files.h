// SPDX-License-Identifier: GPL-3.0-or-later
// The served folders (snapshots, the live log) below /files/: which file or
// folder a URL names, folder listings, and files streamed as fast as the
// client reads them.  Nothing outside a served folder is ever reached: every
// path segment is decoded on its own and must be a plain name (no "..", no
// hidden names, no slashes hidden in escapes), and the canonical path, with
// every symbolic link resolved, must lie inside the folder's canonical path.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QFile>
#include <QObject>
#include <QPointer>
#include <QString>

#include <memory>
#include <optional>
#include <vector>

#include "receiver/web/web_view.h"

class QTcpSocket;

namespace web {

struct ServedPath {
    const ServedFolder* Folder = nullptr;
    QString Canonical;     // the file or folder itself
    QString UrlPath;       // "/files/Correlograms/2026-05-19/" as it is linked
    QString DisplayPath;   // "Correlograms/2026-05-19"
    bool IsFolder = false; // else a regular file
};

// The file or folder that `encodedPath` (the URL path after "/files/", still
// percent-encoded) names, or nothing.  A folder's URL ends in "/".
std::optional<ServedPath> ResolveServedPath(const std::vector<ServedFolder>& folders,
                                            const QByteArray& encodedPath);

// An HTML page listing a served folder: subfolders first, then files, each
// newest first, with sizes and modification times (UTC).
QByteArray FolderListing(const ServedPath& folder);
// The page at /files/: the served folders.
QByteArray FolderIndex(const std::vector<ServedFolder>& folders);

// Content type of a served file by its name's ending, and whether it is
// offered as a download (CSV and unknown kinds) rather than shown.
struct FileKind {
    QByteArray ContentType;
    bool Download = false;
};
FileKind KindOfFile(const QString& name);

// Sends `length` bytes of `file` on `socket` after a response head that has
// already been written, keeping at most 256 kB queued: a client that
// reads slowly is sent data slowly, and one that stops reading holds no more
// memory than that.  Closes the connection when done.  Lives as
// a child of the socket, so it ends with the connection.
class FileStream : public QObject {
  public:
    static void Start(QTcpSocket* socket, std::unique_ptr<QFile> file, qint64 length);

  private:
    FileStream(QTcpSocket* socket, std::unique_ptr<QFile> file, qint64 length);
    void Pump();

    QPointer<QTcpSocket> socket_;
    std::unique_ptr<QFile> file_;
    qint64 remaining_;
};

} // namespace web
