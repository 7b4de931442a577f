// The desktop program: starts the decoding services, then runs the main window until it closes.
#include <QApplication>
#include <QIcon>

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "sources/CodecHost.h"
#include "base/MessageIcon.h"
#include "base/PathHelpers.h"
#include "base/ProductInfo.h"
#include "settings/SettingsStore.h"
#include "ui/MainWindow.h"
#include "ui/Shell.h"
#include "ui/SingleInstance.h"

namespace {

constexpr const char* kUsage =
    "Usage: sonavert [FILE|FOLDER]...\n"
    "Opens the batch audio converter's window with the files and folders given added to its list.\n"
    "When the window is already open, the files go to it instead.\n"
    "\n"
    "  -h, --help     show this help and exit\n"
    "      --version  show the version and exit\n"
    "  --             every argument after it is a file or folder\n"
    "\n"
    "The command-line converter is sonavert-cli (see sonavert-cli --help).\n";

// "--help" and "--version" before any "--": printed without opening a window (nor needing a
// display). Returns -1 to go on, or the exit code.
int TextOptions(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i] ? argv[i] : "";
        if (arg == "--") break;
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (arg == "--version") {
            std::printf("sonavert %s\n", sonavert::kProductVersion);
            return 0;
        }
    }
    return -1;
}

// The files and folders named, less one "--" that ends the options.
std::vector<std::string> NamedPaths(int argc, char** argv) {
    std::vector<char*> args(argv, argv + argc);
    for (size_t i = 1; i < args.size(); ++i)
        if (args[i] && std::string(args[i]) == "--") {
            args.erase(args.begin() + static_cast<std::ptrdiff_t>(i));
            break;
        }
    return sonavert::StartPaths(static_cast<int>(args.size()), args.data());
}

}  // namespace

int main(int argc, char** argv) {
    using namespace sonavert;
    if (const int code = TextOptions(argc, argv); code >= 0) return code;
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

    // A window already open takes the files and comes to the front.
    const std::vector<std::string> paths = NamedPaths(argc, argv);
    const QString socketPath = InstanceSocketPath();
    if (HandToRunningInstance(socketPath, paths)) return 0;

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
        window.OpenOnStart(paths);
        // Later starts hand their files over here.
        InstanceServer instances(socketPath, [&window](const std::vector<std::string>& more) {
            window.DropPaths(more);
            if (window.isMinimized()) window.showNormal();
            window.raise();
            window.activateWindow();
        });
        result = window.exec();
    }
    (void)result;
    return 0;
}
