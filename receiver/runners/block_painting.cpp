// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/runners/block_painting.h"

#include <QGuiApplication>
#include <QString>

#include "receiver/display/display_state.h"
#include "receiver/display/painters.h"
#include "receiver/runners/block_run.h"

namespace runners {

namespace {

class Painting : public RunPainting {
  public:
    Painting(const BlockRunSettings& run, const dsp::Settings& settings,
             const dsp::ChainControls& controls, std::function<int64_t()> elapsedSeconds,
             dsp::DisplayHooks& hooks)
        : folder_(QString::fromStdString(run.Out)) {
        display_.SnapshotFolder = folder_;
        display_.AutoSaveCorrelogram = display::SwitchOn;
        display_.AutoSaveDopplergram = display::SwitchOn;
        display_.AutoSaveScattergram = display::SwitchOn;
        display_.Clock = [elapsed = std::move(elapsedSeconds), start = run.StartSeconds]() {
            const int64_t seconds = (start + elapsed()) % 86400;
            return display::TimeOfDay{int32_t(seconds / 3600), int32_t(seconds / 60 % 60),
                                      int32_t(seconds % 60)};
        };
        hooks = display::MakeDisplayHooks(display_, settings, controls);
    }
    bool WritePanels() override { return display::WritePanelPngs(display_, folder_); }
    int64_t SnapshotsWritten() const override { return display_.SnapshotsWritten; }
    int64_t SnapshotsFailed() const override { return display_.SnapshotsFailed; }

  private:
    QString folder_;
    display::DisplayState display_;
};

std::unique_ptr<RunPainting> MakePainting(const BlockRunSettings& run,
                                          const dsp::Settings& settings,
                                          const dsp::ChainControls& controls,
                                          std::function<int64_t()> elapsedSeconds,
                                          dsp::DisplayHooks& hooks) {
    return std::make_unique<Painting>(run, settings, controls, std::move(elapsedSeconds), hooks);
}

// Painting needs a GUI application; without a display, the offscreen platform.
std::unique_ptr<QCoreApplication> MakeGuiApplication(int& argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    return std::make_unique<QGuiApplication>(argc, argv);
}

} // namespace

void UsePainters() {
    SetPainters(MakePainting, MakeGuiApplication);
}

} // namespace runners
