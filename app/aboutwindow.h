#pragma once
// The about window: the program's name, version and a word on what it does, with the maker's
// web address and support mail as links. UI thread.

#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <QUrl>
#include <functional>

namespace chime {

class Tfrmabout : public QDialog {
  public:
    Tfrmabout(QWidget* owner, std::function<void(const QUrl&)> openUrl);

    void Label8Click();
    void Label9Click();

    QLabel* Image2;
    QLabel* sLabelFX1;
    QLabel* sLabel1;
    QLabel* Image1;
    QLabel* sLabel3;
    QLabel* sLabel7;
    QLabel* Label8;
    QLabel* sLabel8;
    QLabel* Label9;
    QPushButton* sButton1;

  private:
    std::function<void(const QUrl&)> openUrl_;
};

}  // namespace chime
