#pragma once
// The main window: its controls, start-up and shutdown, opening a file, the about window, the
// help link and dragging the window by its surface. Everything here runs on the UI thread.

#include <QCheckBox>
#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QTimer>
#include <QToolButton>
#include <QUrl>
#include <QWidget>
#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "editing.h"
#include "effects.h"
#include "engine.h"
#include "job.h"
#include "levels.h"
#include "opening.h"
#include "scan.h"
#include "selection.h"
#include "waveform_view.h"

namespace chime {

// Where the window meets the desktop; tests replace these.
struct Shell {
    std::function<QString()> chooseAudioFile;            // the open dialog; "" when cancelled
    std::function<void(const QUrl&)> openUrl;            // web page, mail link or folder
    std::function<bool()> startSystemMove;               // the window follows the pointer
    std::function<void(const QString&)> showFatalError;  // before the process ends
    std::function<QString()> chooseOutputFile;           // the save dialog; "" when cancelled
    std::function<void(const QString&)> showError;       // an error box; the program goes on
};

// A spin box that takes no typing: its value changes only when the program sets it. Its arrows,
// the Up and Down keys and the mouse wheel run onStep (+1 or -1) when one is given.
class StepSpinBox : public QSpinBox {
  public:
    explicit StepSpinBox(QWidget* parent);
    std::function<void(int)> onStep;
    void stepBy(int steps) override;

  protected:
    StepEnabled stepEnabled() const override;
};

class Tfrmmain : public QWidget, private SelectionView {
  public:
    // The waveform box's width: one level per column.
    static constexpr int kColumns = WaveLevels::kColumns;
    static constexpr int64_t kNotSet = Selection::kNotSet;

    explicit Tfrmmain(Shell shell = {});
    ~Tfrmmain() override;

    // Start-up; false when the engine's version is wrong (the message has been shown and the
    // process is to end without showing the window). version stands in for BASS_GetVersion.
    bool FormCreate(DWORD version = BASS_GetVersion());
    // Shutdown, once; also run by the destructor.
    void FormDestroy();

    // Opening.
    void btnselectClick();
    void audiodropDrop(const QStringList& names);
    // A file named on the command line opens whatever its extension. The song is opened off
    // the window's thread (measuring its exact length can take a while) and plays once it is
    // open; a song that cannot be opened is reported and the window goes back to having none.
    void OpenNamed(const QString& name);
    void ResetForNewFile(const QString& name);
    // Takes the playing stream of a song that has been opened into the window and plays it;
    // false when it cannot be used.
    bool OpenSource(HSTREAM preview);
    // Whether a song is being opened and does not play yet.
    bool Opening() const { return openingTicket_ != 0 && !previewOpen_; }
    // Lets the window's events run until the song being opened plays with its waveform (or has
    // failed), for at most ms milliseconds; true when a song is open then.
    bool WaitForOpening(int ms = 60000);

    // Transport and editing.
    void btnplayClick();
    void btnpauseClick();
    void btnstopClick();
    void PBMouseDown(Qt::MouseButton button, int x);
    void PBMouseMove(int x);
    void PBMouseUp();
    void seditUpClick();
    void seditDownClick();
    void eeditUpClick();
    void eeditDownClick();
    // The space bar: play or pause.
    void PlayOrPause();

    // The effect controls (effect_controls.cpp). A slider's change runs its box's handler,
    // then sets its hint.
    void checkgainClick();
    void chighpassClick();
    void clowpassClick();
    void gaintrackChange();
    void barhighcutChange();
    void barlowcutChange();
    // The effect controls as they stand, for the preview's chain and for an export to take.
    EffectSettings EffectControls() const;

    void btnaboutClick();
    void btnhelpClick();
    void Timer1Timer();

    // The export. btnconvertClick runs one export to its end, letting window events run
    // between its blocks; a click while one runs does nothing.
    void btnconvertClick();
    void ExportRingtone(const QString& input, const QString& output);
    bool Exporting() const { return exportJob_ != nullptr; }
    void sButton1Click();
    void tagcheckClick();
    // The encoder program the export starts (tests give another).
    std::string encoderProgram = kEncoderProgram;

    // The waveform's levels and their scan, for reading.
    const WaveLevels& Levels() const { return levels_; }
    const WaveScan& Scan() const { return scan_; }

    // State shared with the engine's routines.
    HSTREAM PreviewStream = 0;
    Selection selection{*this};
    // The points, readable whole from any thread.
    std::atomic<int64_t>& SelStart = selection.SelStart;
    std::atomic<int64_t>& SelEnd = selection.SelEnd;
    PointerEditing pointer{selection, kColumns};
    std::atomic<uint32_t> BytesPerColumn{0};
    // The preview stream's effects: its format, the controls' settings, its routines.
    EffectChain PreviewEffects;
    std::string ExeFolder;
    std::string DataFolder;
    std::string OutputFolder;

    // Controls, by their component names.
    QLabel* sLabel1;
    QLineEdit* sEdit1;
    QPushButton* btnselect;
    QLabel* sLabelFX1;
    WaveformBox* PB;
    QToolButton* btnplay;
    QToolButton* btnpause;
    QToolButton* btnstop;
    QGroupBox* sGroupBox1;
    QLabel* sLabel6;
    StepSpinBox* sedit;
    QLabel* sLabel7;
    StepSpinBox* eedit;
    QLabel* sLabel8;
    QLineEdit* lengthedit;
    QCheckBox* loopcheck;
    QCheckBox* checkgain;
    QSlider* gaintrack;
    QCheckBox* fadeincheck;
    StepSpinBox* spinfadein;
    QLabel* sLabel2;
    QCheckBox* fadeoutcheck;
    StepSpinBox* spinfadeout;
    QLabel* sLabel3;
    QCheckBox* chighpass;
    QSlider* barhighcut;
    QCheckBox* clowpass;
    QSlider* barlowcut;
    QLabel* sLabel9;
    QLineEdit* outedit;
    QPushButton* sButton1;
    QGroupBox* sGroupBox2;
    QCheckBox* tagcheck;
    QLabel* sLabel4;
    QLineEdit* titedit;
    QLabel* sLabel5;
    QLineEdit* artedit;
    QLabel* sLabel10;
    QLineEdit* albedit;
    QLabel* sLabel11;
    QLineEdit* genedit;
    QLabel* sLabel12;
    QLineEdit* yearedit;
    QProgressBar* onebar;
    QToolButton* btnconvert;
    QCheckBox* autocheck;
    QPushButton* btnhelp;
    QPushButton* btnabout;
    QTimer* Timer1;
    // The four button pictures: 0 export, 1 play, 2 pause, 3 stop.
    QIcon sAlphaImageList1[4];

  protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    // Closing during an export cancels it.
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void ShowStartSeconds(int seconds) override;
    void ShowEndSeconds(int seconds) override;
    void ShowLength(const std::string& text) override;
    void EnableExport(bool enabled) override;
    void FormMouseMove(QMouseEvent* event);
    void StepPoint(QSpinBox* box, int direction, bool start);
    // Connects the effect controls to their handlers (effect_controls.cpp).
    void BindEffectControls();
    // Brings the ticked effects to a newly opened stream.
    void ApplyEffectControls();
    // The waveform of a song: its scan stopped when the song goes, started when one opens.
    void StopWaveform();
    void StartWaveform(HSTREAM scanStream);

    // The song being opened, once its streams are there: into the window, or reported.
    void FinishOpening();
    // The song could not be opened: the window has none, and the user is told why.
    void FailOpening(int engineError);

    WaveLevels levels_;
    WaveScan scan_{levels_};
    SongOpener opener_;
    uint64_t openingTicket_ = 0;  // of the opening under way
    bool previewOpen_ = false;    // its playing stream is in the window
    QTimer* openingTimer_;        // runs while a song is being opened
    Shell shell_;
    std::unique_ptr<ExportJob> exportJob_;
    bool moveStarted_ = false;  // the window system moves the window for this press
    bool created_ = false;
    bool destroyed_ = false;
};

}  // namespace chime
