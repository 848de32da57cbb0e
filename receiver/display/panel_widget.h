// SPDX-License-Identifier: GPL-3.0-or-later
// A picture panel on the main window: shows one PanelImage, optionally inside
// a thin sunken one-pixel border.  Pointer moves and clicks pass through to
// the main window, which owns the readouts and the click handling.
#pragma once

#include <QWidget>

#include "receiver/display/panel_image.h"

namespace display {

class PanelWidget : public QWidget {
    Q_OBJECT
  public:
    // The widget is sized to the image plus the border; it shows `image`
    // until it is destroyed and repaints whenever the image is refreshed.
    PanelWidget(PanelImage& image, bool border, QWidget* parent = nullptr);
    ~PanelWidget() override;

    bool HasBorder() const { return border_; }
    const PanelImage& Image() const { return image_; }

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    PanelImage& image_;
    bool border_;
};

} // namespace display
