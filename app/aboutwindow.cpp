#include "aboutwindow.h"

#include <QEvent>
#include <QFont>
#include <QMouseEvent>
#include <QPixmap>
#include <QUrl>

#include "about_info.h"
#include "placement.h"

namespace chime {

namespace {

QLabel* PlacePicture(QWidget* parent, const char* name, const char* resource, int x, int y) {
    auto* picture = new QLabel(parent);
    picture->setObjectName(name);
    picture->setPixmap(QPixmap(resource));
    picture->setGeometry(x, y, 48, 48);
    picture->setAttribute(Qt::WA_TranslucentBackground);
    return picture;
}

// A link: blue, underlined, 13 pixels high, with the hand cursor.
QLabel* PlaceLink(QWidget* parent, const char* name, const QString& text, int x, int y) {
    QLabel* link = PlaceLabel(parent, name, text, x, y);
    QFont f = link->font();
    f.setPixelSize(13);
    f.setUnderline(true);
    link->setFont(f);
    link->setStyleSheet("color: rgb(0, 0, 255);");
    link->setCursor(Qt::PointingHandCursor);
    link->adjustSize();
    return link;
}

}  // namespace

Tfrmabout::Tfrmabout(QWidget* owner, std::function<void(const QUrl&)> openUrl)
    : QDialog(owner), openUrl_(std::move(openUrl)) {
    setObjectName("frmabout");
    setWindowTitle("About Vantor Chimewright");
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    setFixedSize(359, 212);
    setModal(true);
    setAttribute(Qt::WA_StyledBackground);

    Image2 = PlacePicture(this, "Image2", ":/program.png", 16, 8);
    sLabelFX1 = PlaceLabel(this, "sLabelFX1", "Vantor Chimewright", 80, 8);
    QFont title = sLabelFX1->font();
    title.setBold(true);
    title.setPixelSize(16);
    sLabelFX1->setFont(title);
    sLabelFX1->adjustSize();
    sLabel1 = PlaceLabel(this, "sLabel1", "Version:1.00", 80, 43);
    Image1 = PlacePicture(this, "Image1", ":/emblem.png", 279, 34);
    sLabel3 = new QLabel(
        "Convert popular audio formats including WAV,MP3 WMA,OGG,APE,\n"
        "FLAC,WavPack,MPC,AAC,MP4 to iPhone Ringtone file M4R.",
        this);
    sLabel3->setObjectName("sLabel3");
    sLabel3->setGeometry(16, 91, 322, 26);
    sLabel7 = PlaceLabel(this, "sLabel7", "Official Site:", 16, 161);
    // The address without its scheme, so the link ends before the Ok button.
    const QUrl site(kMakerWebAddress);
    Label8 = PlaceLink(this, "Label8", site.host() + site.path(), 81, 159);
    sLabel8 = PlaceLabel(this, "sLabel8", "Support:", 16, 185);
    Label9 = PlaceLink(this, "Label9", kSupportMailAddress, 80, 183);
    sButton1 = new QPushButton("&Ok", this);
    sButton1->setObjectName("sButton1");
    sButton1->setGeometry(286, 171, 65, 25);
    sButton1->setDefault(true);
    connect(sButton1, &QPushButton::clicked, this, &QDialog::accept);

    // Clicks on the two links.
    struct LinkClicks : QObject {
        Tfrmabout* about;
        explicit LinkClicks(Tfrmabout* a) : QObject(a), about(a) {}
        bool eventFilter(QObject* watched, QEvent* event) override {
            if (event->type() != QEvent::MouseButtonRelease) return false;
            // A left click that ends on the link.
            auto* release = static_cast<QMouseEvent*>(event);
            auto* link = static_cast<QWidget*>(watched);
            if (release->button() != Qt::LeftButton ||
                !link->rect().contains(release->position().toPoint()))
                return false;
            if (watched == about->Label8) about->Label8Click();
            if (watched == about->Label9) about->Label9Click();
            return false;
        }
    };
    auto* clicks = new LinkClicks(this);
    Label8->installEventFilter(clicks);
    Label9->installEventFilter(clicks);

    if (owner != nullptr) move(owner->geometry().center() - rect().center());
}

void Tfrmabout::Label8Click() {
    openUrl_(QUrl(kMakerWebAddress));
}

void Tfrmabout::Label9Click() {
    openUrl_(QUrl(QString("mailto:") + kSupportMailAddress));
}

}  // namespace chime
