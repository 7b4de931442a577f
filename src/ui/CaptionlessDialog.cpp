#include "ui/CaptionlessDialog.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLayout>
#include <QMouseEvent>
#include <QPushButton>
#include <QPainter>
#include <QScreen>
#include <QWindow>

namespace sonavert {

CaptionlessDialog::CaptionlessDialog(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::FramelessWindowHint),
      cancelButton_(new QPushButton(tr("Cancel"), this)) {
    setModal(false);
    // Enter must not press Cancel by accident while the window has the focus.
    cancelButton_->setAutoDefault(false);
    connect(cancelButton_, &QPushButton::clicked, this, [this] { cancelRequested_ = true; });
}

void CaptionlessDialog::changeEvent(QEvent* event) {
    // Disabled by the owner, not by a call of its own (that would set WA_ForceDisabled): a
    // window may enable itself again under a disabled parent.
    if (event->type() == QEvent::EnabledChange && !isEnabled() && !testAttribute(Qt::WA_ForceDisabled))
        setEnabled(true);
    QDialog::changeEvent(event);
}

void CaptionlessDialog::closeEvent(QCloseEvent* event) {
    if (event->spontaneous()) cancelRequested_ = true;
    // Hide without QDialog's reject(): the run that owns the window decides when it ends.
    event->accept();
}

void CaptionlessDialog::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        cancelRequested_ = true;
        event->accept();
        return;
    }
    // Enter and Return do nothing either (QDialog would press a default button).
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}

void CaptionlessDialog::FinishLayout(QSize preferred) {
    if (layout()) layout()->activate();
    setFixedSize(preferred.expandedTo(sizeHint()));
    // Lay the controls out at the final size now, so that their sizes can be read before the
    // window is first shown.
    if (layout()) {
        layout()->invalidate();
        layout()->activate();
    }
    CentreOverParent();
}

void CaptionlessDialog::CentreOverParent() {
    QRect area;
    if (QWidget* owner = parentWidget(); owner && owner->isVisible()) {
        area = owner->window()->frameGeometry();
    } else {
        QScreen* screen = owner ? owner->screen() : this->screen();
        if (!screen) screen = QGuiApplication::primaryScreen();
        if (screen) area = screen->availableGeometry();
    }
    if (!area.isValid()) return;
    QRect frame(QPoint(0, 0), size());
    frame.moveCenter(area.center());
    move(frame.topLeft());
}

void CaptionlessDialog::paintEvent(QPaintEvent* event) {
    QDialog::paintEvent(event);
    QPainter painter(this);
    painter.setPen(palette().color(QPalette::Dark));
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
    painter.setPen(palette().color(QPalette::Light));
    painter.drawRect(rect().adjusted(1, 1, -2, -2));
}

void CaptionlessDialog::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        QDialog::mousePressEvent(event);
        return;
    }
    // The window system moves the window when it can; otherwise follow the pointer ourselves.
    QWindow* handle = windowHandle();
    if (handle && handle->startSystemMove()) {
        event->accept();
        return;
    }
    dragging_ = true;
    dragOffset_ = event->globalPosition().toPoint() - frameGeometry().topLeft();
    event->accept();
}

void CaptionlessDialog::mouseMoveEvent(QMouseEvent* event) {
    if (dragging_ && (event->buttons() & Qt::LeftButton)) {
        move(event->globalPosition().toPoint() - dragOffset_);
        event->accept();
        return;
    }
    QDialog::mouseMoveEvent(event);
}

void CaptionlessDialog::mouseReleaseEvent(QMouseEvent* event) {
    if (dragging_ && event->button() == Qt::LeftButton) {
        dragging_ = false;
        event->accept();
        return;
    }
    QDialog::mouseReleaseEvent(event);
}

}  // namespace sonavert
