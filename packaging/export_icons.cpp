// SPDX-License-Identifier: GPL-3.0-or-later
// Writes the programs' own window icons as PNG files for the desktop's icon
// theme, so the menu shows the same picture as the window's title bar.
//   export_icons DIR  ->  DIR/{16x16,32x32}/apps/{propmon,reelmaker}.png
#include <QDir>
#include <QGuiApplication>
#include <QIcon>
#include <QImage>
#include <QPixmap>

#include <cstdio>

#include "receiver/ui/main_window.h"
#include "reelmaker/main_window.h"

namespace {

bool WriteIcon(const QIcon& icon, const QString& root, const QString& name, int size) {
    const QString folder = QStringLiteral("%1/%2x%2/apps").arg(root).arg(size);
    const QString path = folder + QLatin1Char('/') + name + QStringLiteral(".png");
    QImage image = icon.pixmap(size, size).toImage();
    if (image.width() != size || image.height() != size)
        image = image.scaled(size, size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    if (image.isNull() || !QDir().mkpath(folder) || !image.save(path, "PNG")) {
        std::fprintf(stderr, "export_icons: cannot write %s\n", qPrintable(path));
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: export_icons DIR\n");
        return 2;
    }
    QGuiApplication app(argc, argv);
    const QString root = QString::fromLocal8Bit(argv[1]);
    bool ok = true;
    for (int size : {16, 32}) {
        ok = WriteIcon(ui::MakeProgramIcon(), root, QStringLiteral("propmon"), size) && ok;
        ok = WriteIcon(reelmaker::MakeAppIcon(), root, QStringLiteral("reelmaker"), size) && ok;
    }
    return ok ? 0 : 1;
}
