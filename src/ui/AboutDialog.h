#pragma once
// The About box: the product name and version, the homepage and support links, the line about
// the MP3 encoder, the credits of the libraries the program uses, and OK.
#include <QDialog>
#include <QString>
#include <vector>

#include "ui/Shell.h"

namespace sonavert {

class Hyperlink;

// One library the program uses: its name, its licence, and its version as the loaded library
// reports it (empty when the library reports none at run time).
struct LibraryCredit {
    QString name;
    QString licence;
    QString version;
};
std::vector<LibraryCredit> LibraryCredits();
// "FFmpeg 5.1.6 (LGPL 2.1 or later)", or without the version when there is none.
QString CreditLine(const LibraryCredit& credit);

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
