#include "receiver/app/receiver_state.h"

namespace propmon {

namespace {

QFont TimesRoman(int pixels) {
    QFont font;
    // "Times Roman" itself is rarely installed; these are its metric twins.
    font.setFamilies({QStringLiteral("Times Roman"), QStringLiteral("Times"),
                      QStringLiteral("Nimbus Roman"), QStringLiteral("Liberation Serif")});
    font.setPixelSize(pixels); // points at 96 pixels per inch
    font.setWeight(QFont::Normal);
    return font;
}

QFont SansSerif(int pixels) {
    QFont font;
    font.setFamilies({QStringLiteral("MS Sans Serif"), QStringLiteral("Liberation Sans"),
                      QStringLiteral("Arial"), QStringLiteral("Nimbus Sans")});
    font.setPixelSize(pixels);
    return font;
}

} // namespace

WindowFonts MakeWindowFonts() {
    return {TimesRoman(12), TimesRoman(8), SansSerif(11)};
}

void PrepareReceiver(ReceiverState& state) {
    ReadSettings(state.Settings, state.SettingsPath);
    rx::SetSignalParameters(*state.Chain, state.Controls, state.Settings);
    state.Display.CorrelogramScroll = 0;
    state.Display.ScatterBlack = rx::SwitchOff;
    state.Display.AutoSaveCorrelogram = rx::SwitchOff;
    state.Display.AutoSaveDopplergram = rx::SwitchOff;
    state.Display.AutoSaveScattergram = rx::SwitchOff;
    state.Capture.DeviceId = 0;
}

} // namespace propmon
