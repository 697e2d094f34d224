#pragma once
// Putting a control at its fixed place in a window.

#include <QLabel>
#include <QString>
#include <QWidget>

namespace chime {

template <typename T>
T* Place(T* widget, const char* name, int x, int y, int w, int h) {
    widget->setObjectName(name);
    widget->setGeometry(x, y, w, h);
    return widget;
}

// A label at x, y, as large as its text.
inline QLabel* PlaceLabel(QWidget* parent, const char* name, const QString& text, int x, int y) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(name);
    label->move(x, y);
    label->adjustSize();
    return label;
}

}  // namespace chime
