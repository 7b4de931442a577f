#pragma once
// The About box: the product name and version, the homepage and support links, the line about
// the MP3 encoder, and OK.
#include <QDialog>

#include "ui/Shell.h"

namespace sonavert {

class Hyperlink;

class AboutDialog : public QDialog {
    Q_OBJECT
public:
    // `host` answers the links' shell calls (null: the desktop).
    explicit AboutDialog(QWidget* parent = nullptr, UiHost* host = nullptr);

    Hyperlink* HomepageLink() const { return homepage_; }
    Hyperlink* SupportLink() const { return support_; }

private:
    Hyperlink* homepage_;
    Hyperlink* support_;
};

// Shows the About box modally over `parent` (through `host` when given).
void ShowAboutBox(QWidget* parent, UiHost* host = nullptr);

}  // namespace sonavert
