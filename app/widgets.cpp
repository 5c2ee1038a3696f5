#include "app/widgets.h"

#include <QEvent>
#include <QFontMetrics>
#include <QPaintEvent>
#include <QPainter>

namespace kestrel::app {

namespace {
constexpr int kLabelSpacing = 3;
}

LabeledEdit::LabeledEdit(const QString& caption, QWidget* parent, QRect geometry)
    : QLineEdit(parent), label_(new QLabel(caption, parent)) {
    label_->setBuddy(this);
    // Move events of a hidden widget wait until it is shown; place the label now as well.
    setGeometry(geometry);
    placeLabel();
}

void LabeledEdit::moveEvent(QMoveEvent* event) {
    QLineEdit::moveEvent(event);
    placeLabel();
}

void LabeledEdit::resizeEvent(QResizeEvent* event) {
    QLineEdit::resizeEvent(event);
    placeLabel();
}

void LabeledEdit::changeEvent(QEvent* event) {
    QLineEdit::changeEvent(event);
    if (event->type() == QEvent::FontChange) {
        placeLabel();
    }
}

void LabeledEdit::placeLabel() {
    const QFontMetrics metrics(label_->font());
    const int width = metrics.horizontalAdvance(label_->text());
    const int height = metrics.height();
    label_->setGeometry(x() - kLabelSpacing - width, y() + (this->height() - height) / 2, width,
                        height);
}

PaintBox::PaintBox(QWidget* parent) : QWidget(parent) {
    // The picture covers what it reaches; the rest shows the window's background.
    setAttribute(Qt::WA_OpaquePaintEvent, false);
}

void PaintBox::showPicture(const QImage& picture) {
    picture_ = picture;
    update(QRect(QPoint(0, 0), picture_.size()).intersected(rect()));
}

void PaintBox::paintEvent(QPaintEvent* event) {
    if (picture_.isNull()) {
        return;
    }
    QPainter painter(this);
    const QRect target = event->rect().intersected(QRect(QPoint(0, 0), picture_.size()));
    painter.drawImage(target, picture_, target);
}

}  // namespace kestrel::app
