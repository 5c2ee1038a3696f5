#pragma once
// Small controls the window needs that Qt does not have as such.

#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QWidget>

namespace kestrel::app {

// A line edit that carries its label on its left: the label ends 3 pixels before the edit and is
// centred vertically on it, sized to its caption.
class LabeledEdit : public QLineEdit {
    Q_OBJECT
public:
    LabeledEdit(const QString& caption, QWidget* parent, QRect geometry);
    [[nodiscard]] QLabel* EditLabel() const { return label_; }

protected:
    void moveEvent(QMoveEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void placeLabel();
    QLabel* label_;
};

// The area the live picture is drawn into. It shows the last picture handed to it, unscaled at its
// top-left corner and clipped to its own area, and keeps showing it when repainted.
class PaintBox : public QWidget {
    Q_OBJECT
public:
    explicit PaintBox(QWidget* parent);
    void showPicture(const QImage& picture);
    [[nodiscard]] const QImage& picture() const { return picture_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QImage picture_;
};

}  // namespace kestrel::app
