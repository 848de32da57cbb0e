// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QMouseEvent>
#include <QWidget>

#include "receiver/display/window_layout.h"
#include "receiver/ui/main_window.h"
#include "receiver/ui/window_ids.h"

namespace ui {

// The client area under the menu bar: its coordinates are the ones the
// control positions and the pointer handlers use.
class ClientArea : public QWidget {
  public:
    ClientArea(MainWindow& window, QWidget* parent) : QWidget(parent), window_(window) {
        setFixedSize(display::ClientWidth, display::ClientHeight);
        setMouseTracking(true);
    }

  protected:
    void mouseMoveEvent(QMouseEvent* event) override {
        const QPoint at = event->position().toPoint();
        window_.OnMouseMove(at.x(), at.y());
    }
    void mouseReleaseEvent(QMouseEvent* event) override {
        if (event->button() != Qt::LeftButton) return;
        const QPoint at = event->position().toPoint();
        window_.OnLButtonUp(at.x(), at.y());
    }

  private:
    MainWindow& window_;
};

} // namespace ui
