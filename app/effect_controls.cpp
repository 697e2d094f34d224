// The main window's effect controls, bound to the preview's effect chain. UI thread.
//
// The chain takes the controls' values as atomics; the check boxes attach and remove the gain
// and filter routines. A slider's move only hands the chain its new value: the routine that
// runs goes on with it, and a filter keeps its state (attaching it anew would restart it from
// zero, a click). The fade controls have no handlers of their own: the chain keeps copies of
// them for the fade set-ups that run on the playback thread.

#include "mainwindow.h"

namespace chime {

namespace {

// A box's handler: with a stream, its routine runs while the box is ticked.
void SwitchEffect(Tfrmmain& w, EffectKind kind, const QCheckBox* box) {
    w.PreviewEffects.SetSettings(w.EffectControls());
    if (w.PreviewStream == 0) return;
    w.PreviewEffects.SetEffect(w.PreviewStream, kind, box->isChecked());
}

}  // namespace

EffectSettings Tfrmmain::EffectControls() const {
    EffectSettings s;
    s.gainOn = checkgain->isChecked();
    s.gainDb = gaintrack->value();
    s.highPassOn = chighpass->isChecked();
    s.highCut = barhighcut->value();
    s.lowPassOn = clowpass->isChecked();
    s.lowCut = barlowcut->value();
    s.fadeInOn = fadeincheck->isChecked();
    s.fadeInSeconds = spinfadein->value();
    s.fadeOutOn = fadeoutcheck->isChecked();
    s.fadeOutSeconds = spinfadeout->value();
    return s;
}

void Tfrmmain::checkgainClick() {
    SwitchEffect(*this, EffectKind::Gain, checkgain);
}

void Tfrmmain::chighpassClick() {
    SwitchEffect(*this, EffectKind::HighPass, chighpass);
}

void Tfrmmain::clowpassClick() {
    SwitchEffect(*this, EffectKind::LowPass, clowpass);
}

void Tfrmmain::gaintrackChange() {
    checkgainClick();
    gaintrack->setToolTip(QString::number(gaintrack->value()) + " db");
}

void Tfrmmain::barhighcutChange() {
    chighpassClick();
    barhighcut->setToolTip(QString::number(barhighcut->value()) + " Hz");
}

void Tfrmmain::barlowcutChange() {
    clowpassClick();
    barlowcut->setToolTip(QString::number(barlowcut->value()) + " Hz");
}

void Tfrmmain::ApplyEffectControls() {
    // A new stream starts with the effects that are ticked, whether or not the opening moved a
    // slider.
    checkgainClick();
    chighpassClick();
    clowpassClick();
}

void Tfrmmain::BindEffectControls() {
    connect(checkgain, &QCheckBox::clicked, this, [this] { checkgainClick(); });
    connect(chighpass, &QCheckBox::clicked, this, [this] { chighpassClick(); });
    connect(clowpass, &QCheckBox::clicked, this, [this] { clowpassClick(); });
    connect(gaintrack, &QSlider::valueChanged, this, [this] { gaintrackChange(); });
    connect(barhighcut, &QSlider::valueChanged, this, [this] { barhighcutChange(); });
    connect(barlowcut, &QSlider::valueChanged, this, [this] { barlowcutChange(); });
    auto publish = [this] { PreviewEffects.SetSettings(EffectControls()); };
    connect(fadeincheck, &QCheckBox::toggled, this, publish);
    connect(fadeoutcheck, &QCheckBox::toggled, this, publish);
    connect(spinfadein, &QSpinBox::valueChanged, this, publish);
    connect(spinfadeout, &QSpinBox::valueChanged, this, publish);
    publish();
}

}  // namespace chime
