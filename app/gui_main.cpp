// The desktop program: starts the decoding services, then runs the main window until it closes.
#include <QApplication>
#include <QIcon>

#include <csignal>

#include "sources/CodecHost.h"
#include "base/MessageIcon.h"
#include "base/PathHelpers.h"
#include "base/ProductInfo.h"
#include "settings/SettingsStore.h"
#include "ui/MainWindow.h"
#include "ui/Shell.h"

int main(int argc, char** argv) {
    using namespace sonavert;
    // Past a file-size limit a write then fails with EFBIG ("File too large"), which the row
    // reports, instead of the signal ending the program.
    std::signal(SIGXFSZ, SIG_IGN);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QString::fromLatin1(kProductName));
    QApplication::setApplicationVersion(QString::fromLatin1(kProductVersion));
    QApplication::setDesktopFileName(QStringLiteral("sonavert"));
    // Outside a desktop session no icon theme is set; the freedesktop icons then come from Adwaita.
    if (QIcon::themeName().isEmpty() || QIcon::themeName() == QLatin1String("hicolor"))
        QIcon::setThemeName(QStringLiteral("Adwaita"));

    CodecHost codecs;
    switch (codecs.Start(ExecutableFolder())) {
        case CodecHost::StartResult::Ok:
            break;
        case CodecHost::StartResult::WrongVersion:
            return 1;
        case CodecHost::StartResult::InitFailed:
            ShowMessage(nullptr, nullptr, QStringLiteral("Failed to initialize the software (0x0002020)."),
                        MessageIcon::Error);
            return 1;
    }

    SettingsStore store;
    int result = 0;
    {
        MainWindow window(codecs, store);
        // Modal to nothing but itself, so that the help window stays usable beside it.
        window.setWindowModality(Qt::WindowModal);
        // "sonavert FILE...": QApplication took its own options out of argv; the rest are
        // files and folders, added as a drop once the window runs.
        window.OpenOnStart(StartPaths(argc, argv));
        result = window.exec();
    }
    (void)result;
    return 0;
}
