// The window's export: the export button with its progress gauge, the output file's name, the
// tag fields and the length display with the phone's limits.

#include <QCloseEvent>
#include <QCoreApplication>
#include <QFileInfo>
#include <QStyle>

#include "application.h"
#include "mainwindow.h"

namespace chime {

void Tfrmmain::ShowLength(const std::string& text) {
    const QString whole = QString::fromStdString(text);
    const int seconds = std::atoi(text.c_str());
    // The number always shows whole: the unit gives way first in the narrow box.
    QString shown = whole;
    const QString number = QString::number(seconds);
    const int room = lengthedit->contentsRect().width() - 8;
    for (const QString& candidate : {whole, number + " s", number}) {
        shown = candidate;
        if (lengthedit->fontMetrics().horizontalAdvance(candidate) <= room) break;
    }
    lengthedit->setText(shown);
    const bool overLimit = seconds > kRingtoneLimitSeconds;
    QString tip = whole;
    if (overLimit) {
        tip += QString(
                   ": longer than the %1 s an iPhone takes for a ringtone (%2 s for an alert "
                   "tone). The ringtone is still made as marked.")
                   .arg(kRingtoneLimitSeconds)
                   .arg(kAlertToneLimitSeconds);
    }
    lengthedit->setToolTip(tip);
    if (lengthedit->property("overLimit").toBool() != overLimit) {
        lengthedit->setProperty("overLimit", overLimit);
        lengthedit->style()->unpolish(lengthedit);
        lengthedit->style()->polish(lengthedit);
    }
}

void Tfrmmain::btnconvertClick() {
    // One export at a time: a click while one runs does nothing.
    if (exportJob_) return;
    ExportRingtone(sEdit1->text(), outedit->text());
}

void Tfrmmain::ExportRingtone(const QString& input, const QString& output) {
    ExportRequest request;
    request.input = input.toStdString();
    request.output = output.toStdString();
    // The span in the boxes' whole seconds.
    request.startSeconds = sedit->value();
    request.endSeconds = eedit->value();
    request.effects = EffectControls();
    request.tags.on = tagcheck->isChecked();
    request.tags.title = titedit->text().toStdString();
    request.tags.artist = artedit->text().toStdString();
    request.tags.album = albedit->text().toStdString();
    request.tags.genre = genedit->text().toStdString();
    request.tags.year = yearedit->text().toStdString();
    request.encoder = encoderProgram;

    exportJob_ = std::make_unique<ExportJob>(std::move(request));
    ExportJob& job = *exportJob_;
    if (job.Start()) {
        // The window stays alive meanwhile: it repaints, the preview plays, the controls work.
        while (job.Step(10)) {
            onebar->setValue(job.Progress());
            QCoreApplication::processEvents(QEventLoop::AllEvents);
        }
    }
    const bool done = job.GetState() == ExportJob::State::Done;
    const ExportFailure failure = job.Failure();
    const QString message = QString::fromStdString(job.Message());
    exportJob_.reset();
    if (!done) {
        if (failure != ExportFailure::Cancelled) shell_.showError(message);
        return;
    }
    onebar->setValue(100);
    if (autocheck->isChecked()) {
        // The folder of the output path as it reads now.
        const QString now = outedit->text();
        const QString folder = now.left(now.lastIndexOf('/') + 1);
        shell_.openUrl(QUrl::fromLocalFile(folder));
    }
}

void Tfrmmain::sButton1Click() {
    const QString chosen = shell_.chooseOutputFile();
    if (chosen.isEmpty()) return;
    outedit->setText(QString::fromStdString(RingtoneFileName(chosen.toStdString())));
}

void Tfrmmain::tagcheckClick() {
    const bool on = tagcheck->isChecked();
    for (QLineEdit* field : {titedit, artedit, albedit, genedit, yearedit})
        field->setEnabled(on);
}

void Tfrmmain::closeEvent(QCloseEvent* event) {
    // The export's loop sees the cancel at its next step and cleans up; the window closes.
    if (exportJob_) exportJob_->Cancel();
    QWidget::closeEvent(event);
}

}  // namespace chime
