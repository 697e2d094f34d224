// The main window's effect controls on the preview: what the boxes and sliders attach and hand
// the preview's chain, their hints, the effects a newly opened song keeps, and the fade-in that
// Play after Stop really plays.

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>
#include <complex>
#include <numbers>

#include "application.h"
#include "fixtures.h"
#include "mainwindow.h"
#include "window_testing.h"

using namespace chime;

namespace {

// A steady 440 Hz tone at 0.3 of full scale on every channel.
constexpr int kToneLevel = 9830;
QString Tone(int rate, int channels, double seconds) {
    std::string graph = "aevalsrc=";
    for (int c = 0; c < channels; ++c)
        graph += (c ? "|" : "") + std::string("0.3*sin(2*PI*440*t)");
    const std::string name = "fxw-" + std::to_string(rate) + "-" + std::to_string(channels) + "-" +
                             std::to_string(static_cast<int>(seconds * 10)) + ".wav";
    return QString::fromStdString(
        test::Made(name, "-f lavfi -i \"" + graph + ":s=" + std::to_string(rate) +
                             ":d=" + std::to_string(seconds) + "\" -c:a pcm_s16le -f wav"));
}

const EffectKind kSwitched[] = {EffectKind::Gain, EffectKind::HighPass, EffectKind::LowPass};

// The level of a tone at hz through the filter at a setting, relative to the tone: the
// Chamberlin form's transfer function at 44.1 kHz.
double FilterGain(EffectKind kind, int setting, double hz) {
    const double f = FilterCoefficients::For(44100, setting, 16).f;
    const std::complex<double> zi = std::polar(1.0, -2 * std::numbers::pi * hz / 44100);
    const std::complex<double> u = 1.0 - zi;
    const std::complex<double> d = u * u + f * zi * u + f * f * zi;
    return std::abs((kind == EffectKind::LowPass ? f * f * zi : u * u) / d);
}

}  // namespace

class EffectsWindowTest : public QObject {
    Q_OBJECT

  private:
    std::unique_ptr<Tfrmmain> w;
    QString next;

    void Open(const QString& file) {
        next = file;
        w->btnselectClick();
        QVERIFY(w->WaitForOpening());
    }
    QCheckBox* Box(EffectKind kind) {
        return kind == EffectKind::Gain       ? w->checkgain
               : kind == EffectKind::HighPass ? w->chighpass
                                              : w->clowpass;
    }
    QSlider* Slider(EffectKind kind) {
        return kind == EffectKind::Gain       ? w->gaintrack
               : kind == EffectKind::HighPass ? w->barhighcut
                                              : w->barlowcut;
    }
    // Whether the routine runs on the stream now.
    bool Runs(HSTREAM stream, HDSP dsp) { return BASS_ChannelGetDSPStart(stream, dsp) >= 0; }

  private slots:
    void init() {
        Shell shell;
        shell.chooseAudioFile = [this] { return next; };
        shell.openUrl = [](const QUrl&) {};
        shell.startSystemMove = [] { return true; };
        shell.showFatalError = [](const QString&) {};
        shell.showError = [](const QString& t) { QFAIL(qPrintable(t)); };
        w = std::make_unique<Tfrmmain>(shell);
        QVERIFY(w->FormCreate());
    }
    void cleanup() { w.reset(); }

    void withoutAFileNothingAttachesAndTheHintFollows_data() {
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("position");
        QTest::addColumn<QString>("hint");
        QTest::newRow("gain") << static_cast<int>(EffectKind::Gain) << -6 << "-6 db";
        QTest::newRow("high-pass") << static_cast<int>(EffectKind::HighPass) << 2000 << "2000 Hz";
        QTest::newRow("low-pass") << static_cast<int>(EffectKind::LowPass) << 300 << "300 Hz";
    }
    void withoutAFileNothingAttachesAndTheHintFollows() {
        QFETCH(int, kind);
        QFETCH(int, position);
        QFETCH(QString, hint);
        const auto k = static_cast<EffectKind>(kind);
        Box(k)->click();
        QVERIFY(Box(k)->isChecked());
        Slider(k)->setValue(position);
        QCOMPARE(Slider(k)->toolTip(), hint);
        for (EffectKind any : kSwitched)
            QCOMPARE(w->PreviewEffects.Routine(any), 0u);
    }

    void theGainSliderSetsTheFactor_data() {
        QTest::addColumn<int>("position");
        QTest::addColumn<float>("factor");
        QTest::newRow("6") << 6 << 1.9952623f;
        QTest::newRow("-12") << -12 << 0.25118864f;
        QTest::newRow("12") << 12 << 3.9810717f;
        QTest::newRow("0") << 0 << 1.0f;
    }
    void theGainSliderSetsTheFactor() {
        QFETCH(int, position);
        QFETCH(float, factor);
        Open(Tone(44100, 2, 2));
        w->checkgain->click();
        QVERIFY(w->PreviewEffects.Routine(EffectKind::Gain) != 0);
        w->gaintrack->setValue(position);
        QCOMPARE(w->PreviewEffects.GainFactor(), factor);
        if (position != 0) QCOMPARE(w->gaintrack->toolTip(), QString::number(position) + " db");
    }

    // Moving a slider hands the running routine its value; it is not attached anew.
    void slidersReachTheRunningRoutines() {
        Open(Tone(44100, 2, 2));
        HDSP before[3];
        for (int i = 0; i < 3; ++i) {
            Box(kSwitched[i])->click();
            before[i] = w->PreviewEffects.Routine(kSwitched[i]);
            QVERIFY(Runs(w->PreviewStream, before[i]));
        }
        for (int step = 1; step <= 3; ++step) {
            w->gaintrack->setValue(-step);
            w->barhighcut->setValue(100 * step);
            w->barlowcut->setValue(5000 + 100 * step);
        }
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(w->PreviewEffects.Routine(kSwitched[i]), before[i]);
            QVERIFY(Runs(w->PreviewStream, before[i]));
        }
        const EffectSettings s = w->PreviewEffects.Settings();
        QCOMPARE(s.highCut, 300);
        QCOMPARE(s.lowCut, 5300);
        QCOMPARE(w->PreviewEffects.GainFactor(), GainFactorOf(-3));
        QCOMPARE(w->barlowcut->toolTip(), QString("5300 Hz"));
        // Unticked: the routine goes.
        for (int i = 0; i < 3; ++i) {
            Box(kSwitched[i])->click();
            QCOMPARE(w->PreviewEffects.Routine(kSwitched[i]), 0u);
            QVERIFY(!Runs(w->PreviewStream, before[i]));
        }
    }

    // A song opened with effects ticked plays with them, whether or not its rate moves a
    // slider; the chain takes the song's format.
    void aNewSongKeepsTheTickedEffects_data() {
        QTest::addColumn<int>("rate");
        QTest::addColumn<int>("channels");
        QTest::newRow("same rate") << 44100 << 2;
        QTest::newRow("mono 22050") << 22050 << 1;
        QTest::newRow("48000") << 48000 << 2;
    }
    void aNewSongKeepsTheTickedEffects() {
        QFETCH(int, rate);
        QFETCH(int, channels);
        Open(Tone(44100, 2, 2));
        for (EffectKind k : kSwitched)
            Box(k)->click();
        const HSTREAM first = w->PreviewStream;
        Open(Tone(rate, channels, 1.5));
        QVERIFY(w->PreviewStream != first);
        for (EffectKind k : kSwitched)
            QVERIFY2(Runs(w->PreviewStream, w->PreviewEffects.Routine(k)), "not on the new song");
        const EffectFormat f = w->PreviewEffects.Format();
        QCOMPARE(f.Bits, 16);
        QCOMPARE(f.Rate, rate);
        QCOMPARE(f.Channels, channels);
        QCOMPARE(w->PreviewEffects.Settings().lowCut, rate / 2);
    }

    // Each control is heard: once the position heard has passed what was decoded ahead at the
    // change, the level is the tone's through the effect; unticked, the tone comes back whole.
    void eachEffectIsHeard_data() {
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("position");
        QTest::addColumn<double>("ratio");
        const auto gain = static_cast<int>(EffectKind::Gain);
        const auto low = static_cast<int>(EffectKind::LowPass);
        const auto high = static_cast<int>(EffectKind::HighPass);
        QTest::newRow("gain -12") << gain << -12 << 0.25118864;
        QTest::newRow("gain 6") << gain << 6 << 1.9952623;
        QTest::newRow("low-pass 100") << low << 100 << FilterGain(EffectKind::LowPass, 100, 440);
        QTest::newRow("high-pass 2000")
            << high << 2000 << FilterGain(EffectKind::HighPass, 2000, 440);
    }
    void eachEffectIsHeard() {
        QFETCH(int, kind);
        QFETCH(int, position);
        QFETCH(double, ratio);
        const auto k = static_cast<EffectKind>(kind);
        w->fadeincheck->setChecked(false);
        Open(Tone(44100, 2, 6));
        const HSTREAM h = w->PreviewStream;
        auto levelAfterWhatWasAhead = [h] {
            // The engine decodes a quarter of a second ahead of what is heard.
            return test::Advance(400) ? static_cast<double>(BASS_ChannelGetLevel(h) & 0xFFFF)
                                      : -1.0;
        };
        Box(k)->click();
        Slider(k)->setValue(position);
        const double through = levelAfterWhatWasAhead();
        QVERIFY2(std::abs(through / kToneLevel - ratio) < 0.03 * ratio,
                 qPrintable(QString("level %1, expected %2").arg(through).arg(ratio * kToneLevel)));
        Box(k)->click();
        const double whole = levelAfterWhatWasAhead();
        QVERIFY2(std::abs(whole - kToneLevel) < 0.02 * kToneLevel,
                 qPrintable(QString::number(whole)));
    }

    // Play after Stop starts again with a fade-in of the set length: the level heard rises
    // with the position heard, along the ramp.
    void playAfterStopFadesIn_data() {
        QTest::addColumn<bool>("ticked");
        QTest::addColumn<int>("seconds");
        QTest::newRow("1 s") << true << 1;
        QTest::newRow("2 s") << true << 2;
        QTest::newRow("unticked") << false << 1;
    }
    void playAfterStopFadesIn() {
        QFETCH(bool, ticked);
        QFETCH(int, seconds);
        // Set before the opening, whose own fade-in would otherwise go on running.
        w->fadeincheck->setChecked(ticked);
        w->spinfadein->setValue(seconds);
        Open(Tone(44100, 2, 4));
        QVERIFY(test::Advance(300));
        w->btnstopClick();
        w->btnplayClick();
        const HSTREAM h = w->PreviewStream;
        int onTheRamp = 0;
        int afterIt = 0;
        double at = 0;
        while (at < seconds + 0.4) {
            const DWORD level = BASS_ChannelGetLevel(h);
            at = BASS_ChannelBytes2Seconds(h, BASS_ChannelGetPosition(h, BASS_POS_BYTE));
            const double heard = static_cast<double>(level & 0xFFFF);
            // The level is the peak of the last 20 ms heard.
            if (at > 0.05 && at < seconds - 0.05) {
                const double expected = ticked ? kToneLevel * at / seconds : kToneLevel;
                QVERIFY2(std::abs(heard - expected) < 0.04 * kToneLevel,
                         qPrintable(QString("level %1 at %2 s, the ramp gives %3")
                                        .arg(heard)
                                        .arg(at)
                                        .arg(expected)));
                ++onTheRamp;
            } else if (at > seconds + 0.05) {
                QVERIFY(std::abs(heard - kToneLevel) < 0.02 * kToneLevel);
                ++afterIt;
            }
            QVERIFY(test::Advance(10));
        }
        QVERIFY(onTheRamp >= 10);
        QVERIFY(afterIt >= 1);
    }
};

int main(int argc, char** argv) {
    // The test device: playing songs move on only when a test moves its clock.
    return RunWindowTests<EffectsWindowTest>(argc, argv, "manual");
}

#include "effects_window_test.moc"
