#include "mainwindow.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QGraphicsDropShadowEffect>
#include <QKeyEvent>
#include <QMessageBox>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QShortcut>
#include <QWindow>
#include <cmath>

#include "about_info.h"
#include "aboutwindow.h"
#include "application.h"
#include "folders.h"
#include "formats.h"
#include "placement.h"

namespace chime {

namespace {

// The open dialog's filter in the form Qt's dialog reads: "Name (*.a *.b)".
QString QtFilter(const char* filter) {
    const QString text = QString::fromUtf8(filter);
    const qsizetype bar = text.indexOf('|');
    return text.left(bar) + " (" + text.mid(bar + 1).replace(';', ' ') + ")";
}

QCheckBox* PlaceCheck(QWidget* parent, const char* name, const QString& text, int x, int y,
                      bool checked) {
    auto* box = new QCheckBox(text, parent);
    box->setObjectName(name);
    box->setChecked(checked);
    box->move(x, y);
    box->adjustSize();
    return box;
}

StepSpinBox* PlaceSpin(QWidget* parent, const char* name, int x, int y, int w, int h, int min,
                       int max, int value) {
    auto* spin = Place(new StepSpinBox(parent), name, x, y, w, h);
    spin->setRange(min, max);
    spin->setValue(value);
    return spin;
}

QSlider* PlaceSlider(QWidget* parent, const char* name, int x, int y, int min, int max, int value) {
    auto* slider = Place(new QSlider(Qt::Horizontal, parent), name, x, y, 120, 23);
    slider->setRange(min, max);
    slider->setValue(value);
    slider->setTickPosition(QSlider::NoTicks);
    return slider;
}

QLineEdit* PlaceEdit(QWidget* parent, const char* name, int x, int y, int w, int h, bool readOnly) {
    auto* edit = Place(new QLineEdit(parent), name, x, y, w, h);
    edit->setReadOnly(readOnly);
    return edit;
}

QToolButton* PlacePictureButton(QWidget* parent, const char* name, int x, int y, int w, int h,
                                const QIcon& icon, const QString& hint) {
    auto* button = Place(new QToolButton(parent), name, x, y, w, h);
    button->setIcon(icon);
    button->setIconSize(QSize(32, 32));
    button->setToolTip(hint);
    button->setAutoRaise(false);
    return button;
}

}  // namespace

StepSpinBox::StepSpinBox(QWidget* parent) : QSpinBox(parent) {
    lineEdit()->setReadOnly(true);
    setContextMenuPolicy(Qt::NoContextMenu);
}

void StepSpinBox::stepBy(int steps) {
    if (!onStep) {
        QSpinBox::stepBy(steps);
        return;
    }
    // One whole step per action, whatever the keyboard or wheel asked for.
    if (steps != 0) onStep(steps > 0 ? 1 : -1);
}

QAbstractSpinBox::StepEnabled StepSpinBox::stepEnabled() const {
    // The handlers decide what a step does; the arrows stay live at the ends of the range.
    if (onStep) return StepUpEnabled | StepDownEnabled;
    return QSpinBox::stepEnabled();
}

Tfrmmain::Tfrmmain(Shell shell) : shell_(std::move(shell)) {
    if (!shell_.chooseAudioFile) {
        shell_.chooseAudioFile = [this] {
            return QFileDialog::getOpenFileName(this, "Select a file to play", QString(),
                                                QtFilter(kOpenDialogFilter));
        };
    }
    if (!shell_.openUrl) shell_.openUrl = [](const QUrl& url) { QDesktopServices::openUrl(url); };
    if (!shell_.startSystemMove) {
        shell_.startSystemMove = [this] {
            return windowHandle() != nullptr && windowHandle()->startSystemMove();
        };
    }
    if (!shell_.chooseOutputFile) {
        shell_.chooseOutputFile = [this] {
            // No question before an existing file is replaced: the user chose it.
            return QFileDialog::getSaveFileName(this, "Set ringtong filename", outedit->text(),
                                                "iPhone Ringtong file (*.m4r)", nullptr,
                                                QFileDialog::DontConfirmOverwrite);
        };
    }
    if (!shell_.showError) {
        shell_.showError = [this](const QString& text) {
            QMessageBox box(QMessageBox::Critical, Application::kTitle, text, QMessageBox::Ok,
                            this);
            box.exec();
        };
    }
    if (!shell_.showFatalError) {
        shell_.showFatalError = [](const QString& text) {
            QMessageBox box(QMessageBox::Critical, QString(), text, QMessageBox::Ok);
            box.exec();
        };
    }

    setObjectName("frmmain");
    setWindowTitle("Vantor Chimewright");
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    setFixedSize(537, 447);
    setAttribute(Qt::WA_StyledBackground);

    sAlphaImageList1[0] = QIcon(":/export.png");
    sAlphaImageList1[1] = QIcon(":/play.png");
    sAlphaImageList1[2] = QIcon(":/pause.png");
    sAlphaImageList1[3] = QIcon(":/stop.png");

    sLabel1 = PlaceLabel(this, "sLabel1", "Input File:", 16, 16);
    sEdit1 = PlaceEdit(this, "sEdit1", 71, 13, 362, 21, true);
    sEdit1->setAcceptDrops(true);
    sEdit1->installEventFilter(this);
    btnselect = Place(new QPushButton("Select File", this), "btnselect", 439, 13, 89, 22);
    sLabelFX1 = Place(new QLabel("Left Click:Set Start time;Right Click:Set End time;Middle "
                                 "Click:Set Position",
                                 this),
                      "sLabelFX1", 3, 40, 530, 27);
    {
        // Its size and weight come from the skin; the red shadow from here.
        auto* shadow = new QGraphicsDropShadowEffect(sLabelFX1);
        shadow->setColor(QColor(255, 0, 0));
        shadow->setOffset(1, 1);
        shadow->setBlurRadius(0);
        sLabelFX1->setGraphicsEffect(shadow);
    }
    PB = Place(new WaveformBox(this, BytesPerColumn), "PB", 8, 70, 520, 148);
    PB->setEnabled(false);
    btnplay = PlacePictureButton(this, "btnplay", 7, 229, 33, 33, sAlphaImageList1[1], "Play");
    btnpause = PlacePictureButton(this, "btnpause", 46, 229, 33, 33, sAlphaImageList1[2], "Pause");
    btnstop = PlacePictureButton(this, "btnstop", 85, 229, 33, 33, sAlphaImageList1[3], "Stop");

    sGroupBox1 = Place(new QGroupBox(this), "sGroupBox1", 127, 223, 402, 39);
    sLabel6 = PlaceLabel(sGroupBox1, "sLabel6", "Start time:", 17, 16);
    sedit = PlaceSpin(sGroupBox1, "sedit", 74, 13, 50, 21, 0, 0, 0);
    sLabel7 = PlaceLabel(sGroupBox1, "sLabel7", "End time:", 143, 16);
    eedit = PlaceSpin(sGroupBox1, "eedit", 197, 13, 50, 21, 0, 0, 0);
    sLabel8 = PlaceLabel(sGroupBox1, "sLabel8", "Select Lenth:", 265, 16);
    lengthedit = PlaceEdit(sGroupBox1, "lengthedit", 334, 13, 50, 21, true);
    lengthedit->setText("0 sec");

    loopcheck = PlaceCheck(this, "loopcheck", "Loop play select part", 7, 267, false);
    checkgain = PlaceCheck(this, "checkgain", "Gain", 154, 267, false);
    gaintrack = PlaceSlider(this, "gaintrack", 230, 264, -12, 12, 0);
    fadeincheck = PlaceCheck(this, "fadeincheck", "Fade In", 8, 293, true);
    spinfadein = PlaceSpin(this, "spinfadein", 91, 293, 30, 21, 1, 10, 5);
    sLabel2 = PlaceLabel(this, "sLabel2", "Sec", 127, 296);
    fadeoutcheck = PlaceCheck(this, "fadeoutcheck", "Fade Out", 8, 320, false);
    spinfadeout = PlaceSpin(this, "spinfadeout", 91, 320, 30, 21, 1, 10, 5);
    sLabel3 = PlaceLabel(this, "sLabel3", "Sec", 127, 323);
    chighpass = PlaceCheck(this, "chighpass", "High Pass", 154, 293, false);
    barhighcut = PlaceSlider(this, "barhighcut", 230, 293, 0, 10000, 5000);
    clowpass = PlaceCheck(this, "clowpass", "Low Pass", 154, 320, false);
    barlowcut = PlaceSlider(this, "barlowcut", 230, 320, 0, 10000, 5000);
    BindEffectControls();

    sLabel9 = PlaceLabel(this, "sLabel9", "OutFile:", 11, 344);
    outedit = PlaceEdit(this, "outedit", 8, 360, 233, 21, true);
    sButton1 = Place(new QPushButton("Set Outfile Name", this), "sButton1", 252, 358, 89, 25);

    sGroupBox2 = Place(new QGroupBox(this), "sGroupBox2", 356, 263, 173, 149);
    tagcheck = PlaceCheck(sGroupBox2, "tagcheck", "Write Tag Information", 4, 1, false);
    struct TagRow {
        QLabel** label;
        const char* labelName;
        const char* caption;
        QLineEdit** edit;
        const char* editName;
        int y;
    };
    const TagRow tags[] = {
        {&sLabel4, "sLabel4", "Title:", &titedit, "titedit", 23},
        {&sLabel5, "sLabel5", "Artist:", &artedit, "artedit", 47},
        {&sLabel10, "sLabel10", "Album:", &albedit, "albedit", 72},
        {&sLabel11, "sLabel11", "Genre:", &genedit, "genedit", 97},
        {&sLabel12, "sLabel12", "Year:", &yearedit, "yearedit", 122},
    };
    for (const TagRow& t : tags) {
        *t.label = PlaceLabel(sGroupBox2, t.labelName, t.caption, 8, t.y + 3);
        *t.edit = PlaceEdit(sGroupBox2, t.editName, 46, t.y, 120, 21, false);
        (*t.edit)->setEnabled(false);
    }

    onebar = Place(new QProgressBar(this), "onebar", 8, 388, 233, 25);
    onebar->setRange(0, 100);
    onebar->setValue(0);
    onebar->setFormat("%p%");
    onebar->setAlignment(Qt::AlignCenter);
    btnconvert = PlacePictureButton(this, "btnconvert", 253, 390, 89, 49, sAlphaImageList1[0], "");
    btnconvert->setText("Get\nRingtone");
    btnconvert->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    btnconvert->setIconSize(QSize(28, 28));  // room for the caption beside it
    btnconvert->setEnabled(false);
    autocheck = PlaceCheck(this, "autocheck", "Automatically open output folder", 8, 419, false);
    btnhelp = Place(new QPushButton("Help", this), "btnhelp", 355, 414, 55, 25);
    btnabout = Place(new QPushButton("About", this), "btnabout", 474, 414, 55, 25);

    Timer1 = new QTimer(this);
    Timer1->setObjectName("Timer1");
    openingTimer_ = new QTimer(this);
    openingTimer_->setInterval(5);
    connect(openingTimer_, &QTimer::timeout, this, [this] { FinishOpening(); });

    connect(btnselect, &QPushButton::clicked, this, [this] { btnselectClick(); });
    connect(btnabout, &QPushButton::clicked, this, [this] { btnaboutClick(); });
    connect(btnhelp, &QPushButton::clicked, this, [this] { btnhelpClick(); });
    connect(Timer1, &QTimer::timeout, this, [this] { Timer1Timer(); });
    connect(btnplay, &QToolButton::clicked, this, [this] { btnplayClick(); });
    connect(btnpause, &QToolButton::clicked, this, [this] { btnpauseClick(); });
    connect(btnstop, &QToolButton::clicked, this, [this] { btnstopClick(); });
    connect(btnconvert, &QToolButton::clicked, this, [this] { btnconvertClick(); });
    connect(sButton1, &QPushButton::clicked, this, [this] { sButton1Click(); });
    connect(tagcheck, &QCheckBox::clicked, this, [this] { tagcheckClick(); });
    PB->onPress = [this](QMouseEvent* e) {
        PBMouseDown(e->button(), static_cast<int>(e->position().x()));
    };
    PB->onMove = [this](QMouseEvent* e) { PBMouseMove(static_cast<int>(e->position().x())); };
    PB->onRelease = [this](QMouseEvent*) { PBMouseUp(); };
    sedit->onStep = [this](int d) { d > 0 ? seditUpClick() : seditDownClick(); };
    eedit->onStep = [this](int d) { d > 0 ? eeditUpClick() : eeditDownClick(); };
    // The playback thread reads copies of these controls, never the controls.
    connect(loopcheck, &QCheckBox::toggled, this,
            [this](bool on) { selection.loopChecked.store(on, std::memory_order_relaxed); });
    selection.fadeOutSeconds = spinfadeout->value();
    connect(spinfadeout, &QSpinBox::valueChanged, this,
            [this](int seconds) { selection.fadeOutSeconds = seconds; });
    selection.attachPreviewFade = [this](HSTREAM channel, Fade fade) {
        AttachPreviewFade(PreviewEffects, channel, fade == Fade::In);
    };
    auto* space = new QShortcut(QKeySequence(Qt::Key_Space), this);
    space->setContext(Qt::WindowShortcut);
    connect(space, &QShortcut::activated, this, [this] { PlayOrPause(); });
    for (QWidget* child : findChildren<QWidget*>()) {
        // A click on a check box leaves the focus where it was, so the space bar keeps
        // playing and pausing; a box reached with Tab takes the space bar for itself.
        if (qobject_cast<QCheckBox*>(child) != nullptr) child->setFocusPolicy(Qt::TabFocus);
        // Buttons keep the pointer's events even while disabled; the filter lets a drag
        // over a disabled one through to the window, as over the disabled waveform box.
        if (child != sEdit1) child->installEventFilter(this);
    }

    // Centred on the screen.
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        move(screen->availableGeometry().center() - rect().center());
    }
}

Tfrmmain::~Tfrmmain() {
    FormDestroy();
}

bool Tfrmmain::FormCreate(DWORD version) {
    ExeFolder = AdjustTrailingBackslash(QCoreApplication::applicationDirPath().toStdString(), true);
    DataFolder = GetDocumentsFolder() + "/Corvane/Chimewright/";
    OutputFolder = DataFolder + "output/";
    ForceFolders(OutputFolder);
    const QString defaultOutput = QString::fromStdString(OutputFolder + "Vantor.m4r");
    outedit->setText(defaultOutput);
    outedit->setToolTip(defaultOutput);

    if ((version >> 16) != BASSVERSION) {
        shell_.showFatalError("An incorrect version of BASS.DLL was loaded");
        return false;
    }

    const QString back = QString::fromStdString(ExeFolder + "back.bmp");
    if (!PB->LoadBackground(back)) qWarning("%s", qPrintable(PB->missingNote));
    selection.Clear();
    BASS_Init(-1, 44100, 0, nullptr, nullptr);
    Timer1->setInterval(33);
    created_ = true;
    return true;
}

void Tfrmmain::FormDestroy() {
    if (!created_ || destroyed_) return;
    destroyed_ = true;
    Timer1->stop();
    // An export still under way goes first: nothing of it is left behind.
    if (exportJob_) exportJob_->Cancel();
    opener_.Stop();
    openingTimer_->stop();
    openingTicket_ = 0;
    BytesPerColumn = 0;
    scan_.Stop();  // joined while the engine that its stream belongs to is still there
    BASS_Free();
}

void Tfrmmain::btnselectClick() {
    const QString name = shell_.chooseAudioFile();
    if (name.isEmpty()) return;
    OpenNamed(name);
}

void Tfrmmain::audiodropDrop(const QStringList& names) {
    if (names.isEmpty()) return;
    // Only the first name counts; a later one is never tried.
    const QString& first = names.front();
    if (!AcceptedByDrop(ExtensionOf(first.toStdString()))) return;
    OpenNamed(first);
}

void Tfrmmain::OpenNamed(const QString& name) {
    ResetForNewFile(name);
    const std::string path = name.toStdString();
    openingTicket_ = opener_.Start(path, PreviewCreateFor(ExtensionOf(path)));
    previewOpen_ = false;
    // The window looks for the song's arrival every few milliseconds meanwhile.
    openingTimer_->start();
}

void Tfrmmain::FinishOpening() {
    if (!previewOpen_) {
        const std::optional<OpenedStream> preview = opener_.TakePreview(openingTicket_);
        if (!preview) return;
        if (!OpenSource(preview->handle)) {
            FailOpening(preview->error);
            return;
        }
        previewOpen_ = true;  // it plays: the waveform's stream follows
        PB->setEnabled(true);
        Timer1->start();
    }
    const std::optional<OpenedStream> scan = opener_.TakeScan(openingTicket_);
    if (!scan) return;
    openingTimer_->stop();
    openingTicket_ = 0;
    if (scan->handle == 0) {
        FailOpening(scan->error);  // nothing of the song goes on playing
        return;
    }
    StartWaveform(scan->handle);
}

void Tfrmmain::FailOpening(int engineError) {
    openingTimer_->stop();
    openingTicket_ = 0;
    // Nothing of it stays: the window has no song, and says why.
    const QString name = sEdit1->text();
    ResetForNewFile(QString());
    PB->setEnabled(false);
    Timer1->stop();
    shell_.showError(
        QString("Cannot open \"%1\": %2.")
            .arg(name, QString::fromStdString(OpenFailureReason(name.toStdString(), engineError))));
}

bool Tfrmmain::WaitForOpening(int ms) {
    QElapsedTimer clock;
    clock.start();
    while (openingTicket_ != 0 && clock.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
    return openingTicket_ == 0 && PreviewStream != 0;
}

void Tfrmmain::ResetForNewFile(const QString& name) {
    if (PreviewStream != 0) {
        BASS_ChannelStop(PreviewStream);
        BASS_StreamFree(PreviewStream);
        PreviewStream = 0;
        PB->PlayColumn = 0;
    }
    StopWaveform();
    // Points set while no stream was open (after a failed opening) must not carry over.
    selection.Clear();
    selection.SetStream(0);
    sEdit1->setText(name);
    onebar->setValue(0);
    btnconvert->setEnabled(false);
    sedit->setMaximum(0);
    sedit->setValue(0);
    eedit->setMaximum(0);
    eedit->setValue(0);
    ShowLength("0 Sec");
}

bool Tfrmmain::OpenSource(HSTREAM preview) {
    PreviewStream = preview;
    if (PreviewStream == 0) return false;
    selection.SetStream(PreviewStream);
    BASS_CHANNELINFO info{};
    BASS_ChannelGetInfo(PreviewStream, &info);
    const int rate = static_cast<int>(info.freq);
    PreviewEffects.SetFormat({16, rate, static_cast<int>(info.chans)});
    barhighcut->setMaximum(rate / 2);
    barhighcut->setValue(barhighcut->maximum() / 2);
    barlowcut->setMaximum(barhighcut->maximum());
    barlowcut->setValue(barlowcut->maximum());
    ApplyEffectControls();

    const QWORD length = BASS_ChannelGetLength(PreviewStream, BASS_POS_BYTE);
    const int seconds =
        static_cast<int>(std::trunc(BASS_ChannelBytes2Seconds(PreviewStream, length)));
    sedit->setMaximum(seconds);
    eedit->setMaximum(seconds);

    // One column of the waveform box covers at least 0.02 s.
    const int64_t perColumn = length / kColumns;
    const int64_t floor = BASS_ChannelSeconds2Bytes(PreviewStream, 0.02);
    BytesPerColumn = static_cast<uint32_t>(perColumn < floor ? floor : perColumn);

    // With looping on and a start set, the end of the file goes back to the start too.
    BASS_ChannelSetSync(PreviewStream, BASS_SYNC_MIXTIME | BASS_SYNC_END, 0,
                        Selection::LoopSyncProc, &selection);
    AttachPreviewFade(PreviewEffects, PreviewStream, true);
    BASS_ChannelPlay(PreviewStream, FALSE);

    return true;
}

void Tfrmmain::ShowStartSeconds(int seconds) {
    sedit->setValue(seconds);
}
void Tfrmmain::ShowEndSeconds(int seconds) {
    eedit->setValue(seconds);
}

void Tfrmmain::EnableExport(bool enabled) {
    btnconvert->setEnabled(enabled);
}

void Tfrmmain::btnplayClick() {
    // A song being opened plays as soon as it is open.
    if (Opening()) return;
    // With no song open (none chosen yet, or the last one would not open) Play asks for one.
    if (sEdit1->text().isEmpty() || PreviewStream == 0) {
        btnselectClick();
        return;
    }
    // A stopped stream starts with a new fade-in; a paused one goes on without one.
    if (BASS_ChannelIsActive(PreviewStream) == BASS_ACTIVE_STOPPED) {
        AttachPreviewFade(PreviewEffects, PreviewStream, true);
    }
    BASS_ChannelPlay(PreviewStream, FALSE);
}

void Tfrmmain::btnpauseClick() {
    BASS_ChannelPause(PreviewStream);
}

void Tfrmmain::btnstopClick() {
    if (PreviewStream == 0) return;
    BASS_ChannelStop(PreviewStream);
    BASS_ChannelSetPosition(PreviewStream, 0, BASS_POS_BYTE);
    PB->PlayColumn = 0;
}

void Tfrmmain::PlayOrPause() {
    if (PreviewStream != 0 && BASS_ChannelIsActive(PreviewStream) == BASS_ACTIVE_PLAYING) {
        btnpauseClick();
    } else {
        btnplayClick();
    }
}

void Tfrmmain::PBMouseDown(Qt::MouseButton button, int x) {
    const DragModes mode = button == Qt::LeftButton     ? DragModes::Start
                           : button == Qt::RightButton  ? DragModes::End
                           : button == Qt::MiddleButton ? DragModes::Play
                                                        : DragModes::None;
    if (mode == DragModes::None) return;
    pointer.MouseDown(mode, x, BytesPerColumn);
}

void Tfrmmain::PBMouseMove(int x) {
    pointer.MouseMove(x, BytesPerColumn);
}

void Tfrmmain::PBMouseUp() {
    pointer.MouseUp();
}

// The steps start from the whole seconds the box shows.
void Tfrmmain::StepPoint(QSpinBox* box, int direction, bool start) {
    const int64_t to = StepTarget(PreviewStream, box->value(), box->maximum(), direction);
    if (to < 0) return;
    if (start) {
        selection.SetSelectionStart(to);
    } else {
        selection.SetSelectionEnd(to);
    }
}
void Tfrmmain::seditUpClick() {
    StepPoint(sedit, 1, true);
}
void Tfrmmain::seditDownClick() {
    StepPoint(sedit, -1, true);
}
void Tfrmmain::eeditUpClick() {
    StepPoint(eedit, 1, false);
}
void Tfrmmain::eeditDownClick() {
    StepPoint(eedit, -1, false);
}

void Tfrmmain::btnaboutClick() {
    Tfrmabout about(this, shell_.openUrl);
    about.exec();
}

void Tfrmmain::btnhelpClick() {
    shell_.openUrl(QUrl::fromLocalFile(QString::fromStdString(ExeFolder + kHelpPageFile)));
}

void Tfrmmain::mouseMoveEvent(QMouseEvent* event) {
    FormMouseMove(event);
}

void Tfrmmain::mousePressEvent(QMouseEvent* event) {
    moveStarted_ = false;
    QWidget::mousePressEvent(event);
}

void Tfrmmain::FormMouseMove(QMouseEvent* event) {
    if (!(event->buttons() & Qt::LeftButton)) {
        moveStarted_ = false;
        return;
    }
    // Once per press: the window system follows the pointer from then on, and a second start
    // would leave the window stuck to it after the button is let go.
    if (moveStarted_) return;
    // Only the free surface moves the window. A disabled control lets the pointer through
    // to what holds it, so a disabled one inside an enabled group moves nothing.
    QWidget* under = childAt(event->position().toPoint());
    while (under != nullptr && under != this && !under->isEnabled())
        under = under->parentWidget();
    if (under != nullptr && under != this) return;
    moveStarted_ = shell_.startSystemMove();
}

bool Tfrmmain::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::MouseButtonPress) moveStarted_ = false;
    if (watched != sEdit1) {
        auto* widget = qobject_cast<QWidget*>(watched);
        if (event->type() == QEvent::MouseMove && widget != nullptr && !widget->isEnabled()) {
            auto* move = static_cast<QMouseEvent*>(event);
            const QPointF here = widget->mapTo(this, move->position());
            QMouseEvent onForm(QEvent::MouseMove, here, move->globalPosition(), move->button(),
                               move->buttons(), move->modifiers());
            FormMouseMove(&onForm);
            return true;
        }
        if (event->type() == QEvent::ShortcutOverride && qobject_cast<QCheckBox*>(watched) &&
            static_cast<QKeyEvent*>(event)->key() == Qt::Key_Space) {
            event->accept();
            return true;
        }
        return QWidget::eventFilter(watched, event);
    }
    switch (event->type()) {
        case QEvent::DragEnter:
        case QEvent::DragMove: {
            auto* drag = static_cast<QDropEvent*>(event);
            if (drag->mimeData()->hasUrls() &&
                (drag->possibleActions() & (Qt::CopyAction | Qt::LinkAction))) {
                drag->setDropAction(drag->possibleActions() & Qt::CopyAction ? Qt::CopyAction
                                                                             : Qt::LinkAction);
                drag->accept();
            } else {
                drag->ignore();
            }
            return true;
        }
        case QEvent::Drop: {
            auto* drop = static_cast<QDropEvent*>(event);
            QStringList names;
            for (const QUrl& url : drop->mimeData()->urls()) {
                if (url.isLocalFile()) names << url.toLocalFile();
            }
            // Only ever a copy or a link: a move would let the source delete the song.
            drop->setDropAction(drop->possibleActions() & Qt::CopyAction ? Qt::CopyAction
                                                                         : Qt::LinkAction);
            drop->accept();
            audiodropDrop(names);
            return true;
        }
        default:
            return QWidget::eventFilter(watched, event);
    }
}

}  // namespace chime
