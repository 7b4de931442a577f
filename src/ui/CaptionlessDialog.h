#pragma once
// The common frame of the small progress windows: a modeless dialog without caption, drawn with
// a thin border so that it does not float on the desktop, centred over its parent (or the screen)
// and dragged by a mouse press anywhere on its body. It holds the Cancel button and its flag:
// Cancel (the button or Escape) only sets the flag, which the running loop reads after its next
// event pump. Closing the window hides it; the owner deletes it. A close from the window system
// (the user) also sets the flag, so that a run never goes on without a way to stop it.
// The window stays usable while its owner (the main window) is disabled for the run: Qt would
// otherwise disable it with the owner, Cancel included.
#include <QDialog>
#include <QPoint>

class QPushButton;

namespace sonavert {

class CaptionlessDialog : public QDialog {
    Q_OBJECT
public:
    explicit CaptionlessDialog(QWidget* parent = nullptr);

    // Centres the window over its parent's frame, or over the available area of the screen it is
    // on when it has no parent.
    void CentreOverParent();

    bool CancelRequested() const { return cancelRequested_; }
    // Clears the flag for a new run in the same window.
    void ResetCancel() { cancelRequested_ = false; }
    QPushButton* CancelButton() const { return cancelButton_; }

protected:
    // Sizes the window to at least `preferred` (more when the contents need it), fixes that size
    // and centres it. Called by subclasses once their controls are laid out.
    void FinishLayout(QSize preferred);

    void changeEvent(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    QPushButton* cancelButton_;
    bool cancelRequested_ = false;
    // Offset of the press from the window's top left corner while a manual drag runs.
    QPoint dragOffset_;
    bool dragging_ = false;
};

}  // namespace sonavert
