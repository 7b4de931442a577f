#include "ui/Hyperlink.h"

#include <QEnterEvent>
#include <QMouseEvent>
#include <QPalette>

#include <algorithm>
#include <cmath>

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

bool IsDarkPalette(const QPalette& palette) { return palette.color(QPalette::Window).lightness() < 128; }

namespace {
double Luminance(const QColor& c) {
    auto channel = [](double v) { return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
    return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF());
}
}  // namespace

double ContrastRatio(const QColor& a, const QColor& b) {
    const double la = Luminance(a), lb = Luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

QColor WithContrast(const QColor& colour, const QColor& background, double ratio) {
    // Step towards white on a dark background and towards black on a light one, keeping the hue.
    const QColor target = Luminance(background) < 0.18 ? QColor(Qt::white) : QColor(Qt::black);
    QColor c = colour;
    for (int step = 1; step <= 20 && ContrastRatio(c, background) < ratio; ++step) {
        const double t = step / 20.0;
        c = QColor::fromRgbF(static_cast<float>(colour.redF() + (target.redF() - colour.redF()) * t),
                             static_cast<float>(colour.greenF() + (target.greenF() - colour.greenF()) * t),
                             static_cast<float>(colour.blueF() + (target.blueF() - colour.blueF()) * t));
    }
    return c;
}

namespace {
// Links sit on the window background and on panes a style draws somewhat lighter (the tab page
// of the options): aiming at 7:1 against the window keeps 4.5:1 on those.
constexpr double kDarkLinkContrast = 7.0;
}  // namespace

QColor Hyperlink::LinkColorOn(const QPalette& palette) {
    if (!IsDarkPalette(palette)) return LinkColor();
    return WithContrast(palette.color(QPalette::Link), palette.color(QPalette::Window), kDarkLinkContrast);
}
QColor Hyperlink::VisitedColorOn(const QPalette& palette) {
    if (!IsDarkPalette(palette)) return VisitedColor();
    return WithContrast(palette.color(QPalette::LinkVisited), palette.color(QPalette::Window), kDarkLinkContrast);
}
QColor Hyperlink::HoverColorOn(const QPalette& palette) {
    if (!IsDarkPalette(palette)) return HoverColor();
    return WithContrast(QColor(255, 110, 110), palette.color(QPalette::Window), kDarkLinkContrast);
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
    const QColor color = hovering_ ? HoverColorOn(pal) : visited_ ? VisitedColorOn(pal) : LinkColorOn(pal);
    if (pal.color(QPalette::WindowText) != color) {
        updatingPalette_ = true;
        pal.setColor(QPalette::WindowText, color);
        setPalette(pal);
        updatingPalette_ = false;
    }
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
    // A new palette (a light or dark theme) decides the colours again.
    if (event->type() == QEvent::PaletteChange && !updatingPalette_) Refresh();
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
