#include "ui/Hyperlink.h"

#include <QEnterEvent>
#include <QMouseEvent>
#include <QPalette>

namespace sonavert {

QString ShellErrorText(int code) {
    switch (code) {
        case 0: return QStringLiteral("The operating system is out\nof memory or resources.");
        case 2: return QStringLiteral("The specified file was not found.");
        case 3: return QStringLiteral("The specified path was not found.");
        case 5: return QStringLiteral("The operating system denied\naccess to the specified file.");
        case 8: return QStringLiteral("There was not enough memory to complete the operation.");
        case 11: return QStringLiteral("The .EXE file is invalid\n(non-Win32 .EXE or error in .EXE image).");
        case 26: return QStringLiteral("A sharing violation occurred. ");
        case 27: return QStringLiteral("The filename association is\nincomplete or invalid.");
        case 28:
            return QStringLiteral("The DDE transaction could not\nbe completed because the request timed out.");
        case 29: return QStringLiteral("The DDE transaction failed.");
        case 30:
            return QStringLiteral(
                "The DDE transaction could not\nbe completed because other DDE transactions\nwere being processed.");
        case 31: return QStringLiteral("There is no application associated\nwith the given filename extension.");
        case 32: return QStringLiteral("The specified dynamic-link library was not found.");
        default: return QStringLiteral("Unknown Error (%1) occurred.").arg(code);
    }
}

QColor Hyperlink::LinkColor() { return QColor(0, 0, 238); }
QColor Hyperlink::VisitedColor() { return QColor(85, 26, 139); }
QColor Hyperlink::HoverColor() { return QColor(255, 0, 0); }

Hyperlink::Hyperlink(const QString& text, QWidget* parent, UiHost* host)
    : QLabel(text, parent), host_(host), address_(text) {
    setCursor(Qt::PointingHandCursor);
    setTextFormat(Qt::PlainText);
    setAutoFillBackground(false);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    Refresh();
}

void Hyperlink::SetLinkAddress(const QString& address) {
    address_ = address;
    if (text().isEmpty()) setText(address);
    Refresh();
}

void Hyperlink::SetUnderlineMode(int mode) {
    underlineMode_ = mode;
    Refresh();
}

void Hyperlink::Refresh() {
    setToolTip(address_);
    QPalette pal = palette();
    const QColor color = hovering_ ? HoverColor() : visited_ ? VisitedColor() : LinkColor();
    pal.setColor(QPalette::WindowText, color);
    setPalette(pal);
    const bool underline = underlineMode_ == kUnderlineAlways || (underlineMode_ == kUnderlineHover && hovering_);
    QFont f = font();
    if (f.underline() != underline) {
        updatingFont_ = true;
        f.setUnderline(underline);
        setFont(f);
        updatingFont_ = false;
    }
    update();
}

void Hyperlink::enterEvent(QEnterEvent* event) {
    hovering_ = true;
    Refresh();
    QLabel::enterEvent(event);
}

void Hyperlink::leaveEvent(QEvent* event) {
    hovering_ = false;
    Refresh();
    QLabel::leaveEvent(event);
}

void Hyperlink::changeEvent(QEvent* event) {
    // A font set from outside (the dialog font) keeps the underline of the current state.
    if (event->type() == QEvent::FontChange && !updatingFont_) Refresh();
    QLabel::changeEvent(event);
}

void Hyperlink::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) Activate();
    QLabel::mouseReleaseEvent(event);
}

void Hyperlink::Activate() {
    UiHost& ui = host_ ? *host_ : SystemUiHost();
    const int code = ui.OpenDocument(address_, kShow);
    if (code > 32) {
        visited_ = true;
        Refresh();
        return;
    }
    ui.Beep();
    ui.ShowMessage(this, QStringLiteral("Unable to open hyperlink:\n\n") + ShellErrorText(code),
                   MessageIcon::Warning, MessageButtons::Ok);
}

}  // namespace sonavert
