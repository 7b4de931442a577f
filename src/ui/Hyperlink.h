#pragma once
// A static text that behaves like a web link: coloured, underlined by its underline mode, a hand
// cursor and a tool tip with its address; a click opens the address through the shell.
#include <QLabel>
#include <QPalette>
#include <QString>

#include "ui/Shell.h"

namespace sonavert {

// The message shown for a shell failure code ("Unknown Error (%d) occurred." outside the table).
QString ShellErrorText(int code);

// Whether a palette is dark: its window background is darker than mid grey.
bool IsDarkPalette(const QPalette& palette);
// The contrast ratio of two colours by their relative luminance, 1 to 21.
double ContrastRatio(const QColor& a, const QColor& b);
// `colour` lightened (or darkened, on a light background) until its contrast against
// `background` is at least `ratio`.
QColor WithContrast(const QColor& colour, const QColor& background, double ratio = 4.5);

class Hyperlink : public QLabel {
    Q_OBJECT
public:
    // Underline modes.
    static constexpr int kUnderlineAlways = 1;
    static constexpr int kUnderlineHover = -1;
    static constexpr int kUnderlineNever = 0;

    // The address defaults to the text; an empty text shows the address. `host` answers the
    // shell and the failure message (null: the desktop).
    explicit Hyperlink(const QString& text, QWidget* parent = nullptr, UiHost* host = nullptr);

    void SetLinkAddress(const QString& address);
    QString LinkAddress() const { return address_; }
    void SetUnderlineMode(int mode);
    int UnderlineMode() const { return underlineMode_; }
    bool Visited() const { return visited_; }
    bool Hovering() const { return hovering_; }

    // Opens the address as a click does.
    void Activate();

    // The fixed colours under a light palette.
    static QColor LinkColor();
    static QColor VisitedColor();
    static QColor HoverColor();
    // The colours shown on `palette`: the fixed ones under a light palette; under a dark one the
    // palette's link colours (and a light red for hovering), lightened where needed to reach a
    // contrast of 4.5:1 against the window background.
    static QColor LinkColorOn(const QPalette& palette);
    static QColor VisitedColorOn(const QPalette& palette);
    static QColor HoverColorOn(const QPalette& palette);

protected:
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void Refresh();

    UiHost* host_;
    QString address_;
    int underlineMode_ = kUnderlineHover;
    bool hovering_ = false;
    bool visited_ = false;
    bool updatingFont_ = false;
    bool updatingPalette_ = false;
};

}  // namespace sonavert
