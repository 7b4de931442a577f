#include "settings/SettingsStore.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <memory>

#include "base/PathHelpers.h"
#include "settings/SettingsFields.h"

namespace sonavert {
namespace {

const QString kOptionsKey = QStringLiteral("Options");
const QString kDwordPrefix = QStringLiteral("dword:");
const QString kTextPrefix = QStringLiteral("sz:");

QString TagSubkey(const std::string& name) { return kOptionsKey + '/' + QString::fromStdString(name) + "Tag"; }

struct StoredValue {
    enum Kind { Missing, Dword, Text } kind = Missing;
    int32_t dword = 0;
    std::string text;
};

// Reads one value for a field of the given type. An integer is a plain decimal number, or the
// older form "dword:" and eight hex digits; a text is taken as written, less one "sz:" prefix.
// What does not fit the field's type (a word where a number belongs, an old-form integer where a
// text belongs) is of the wrong type and reads as missing.
StoredValue Query(const QSettings& store, const QString& subkey, const char* name, bool integer) {
    StoredValue result;
    QString key = subkey + '/' + QString::fromLatin1(name);
    if (!store.contains(key)) return result;
    QVariant v = store.value(key);
    QString text;
    if (v.typeId() == QMetaType::QString)
        text = v.toString();
    else if (v.typeId() == QMetaType::QStringList)  // an unquoted text with commas in it
        text = v.toStringList().join(',');
    else
        return result;  // some other serialised type: neither an integer nor a text

    bool oldInteger = false;
    uint32_t oldValue = 0;
    if (text.startsWith(kDwordPrefix)) {
        QStringView digits = QStringView(text).mid(kDwordPrefix.size());
        oldValue = digits.size() == 8 ? digits.toUInt(&oldInteger, 16) : 0;
    }
    if (integer) {
        if (oldInteger) {
            result.kind = StoredValue::Dword;
            result.dword = static_cast<int32_t>(oldValue);
            return result;
        }
        bool ok = false;
        const qlonglong n = text.trimmed().toLongLong(&ok, 10);
        // Two's complement as before: -1 and 4294967295 are the same 32 bits.
        if (!ok || n < INT32_MIN || n > static_cast<qlonglong>(UINT32_MAX)) return result;
        result.kind = StoredValue::Dword;
        result.dword = static_cast<int32_t>(static_cast<uint32_t>(n));
        return result;
    }
    if (oldInteger) return result;
    if (text.startsWith(kTextPrefix)) text.remove(0, kTextPrefix.size());
    result.kind = StoredValue::Text;
    result.text = text.toStdString();
    // A text ends at its first terminator, as a C string read from the store would.
    size_t nul = result.text.find('\0');
    if (nul != std::string::npos) result.text.resize(nul);
    return result;
}

QString EncodeDword(int32_t v) { return QString::number(v); }

QString EncodeText(const std::string& text) {
    QString q = QString::fromStdString(text);
    if (q.startsWith(kDwordPrefix) || q.startsWith(kTextPrefix)) q.prepend(kTextPrefix);
    return q;
}

// The store this program writes is a few kilobytes; a file far larger is not one it wrote, and
// parsing it (the settings layer keeps several copies of the text) would take hundreds of
// megabytes, so it is left alone like any other file the store cannot use.
constexpr off_t kMaxStoreBytes = 4 << 20;

// What is at the store's path.
enum class FileState {
    Missing,   // nothing: a save creates the file
    Usable,    // a regular file that can be read
    Unusable,  // something else (a folder, a FIFO, a device, a dangling link), unreadable or
               // not parsable
};

// Whether `text` reads as an INI file: no NUL byte, and every line empty, a comment (";" or
// "#"), a section in brackets, or a key with "=". QSettings keeps a parsed file per path for the
// whole process, so its own status cannot tell a damaged file reliably.
bool Parsable(const std::string& text) {
    if (text.find('\0') != std::string::npos) return false;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        const size_t first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos) continue;
        const size_t last = line.find_last_not_of(" \t\r");
        line = line.substr(first, last - first + 1);
        if (line[0] == ';' || line[0] == '#') continue;
        if (line[0] == '[') {
            if (line.back() != ']') return false;
            continue;
        }
        const size_t eq = line.find('=');
        if (eq == std::string::npos || eq == 0) return false;
    }
    return true;
}

// Examines the path without ever waiting on it (and without reading more than the bound): stat() does not open, and the read test opens
// with O_NONBLOCK and only once the path is known to be a regular file.
FileState Examine(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        // A link pointing nowhere is someone's, not a missing file.
        struct stat link;
        return lstat(path.c_str(), &link) != 0 ? FileState::Missing : FileState::Unusable;
    }
    if (!S_ISREG(st.st_mode)) return FileState::Unusable;
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return FileState::Unusable;
    std::string text;
    bool readable = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= kMaxStoreBytes;
    char chunk[4096];
    while (readable) {
        const ssize_t got = read(fd, chunk, sizeof chunk);
        if (got < 0) readable = false;
        if (got <= 0) break;
        text.append(chunk, static_cast<size_t>(got));
        if (text.size() > static_cast<size_t>(kMaxStoreBytes)) readable = false;  // it grew meanwhile
    }
    close(fd);
    return readable && Parsable(text) ? FileState::Usable : FileState::Unusable;
}

// Reads the whole store; null when it is missing, not a readable regular file, or cannot be
// parsed.
std::unique_ptr<QSettings> ReadStore(const std::string& path) {
    if (Examine(path) != FileState::Usable) return nullptr;
    auto store = std::make_unique<QSettings>(QString::fromStdString(path), QSettings::IniFormat);
    if (store->status() != QSettings::NoError) return nullptr;
    return store;
}

// Opens the store for reading values of `subkey`; null when the file or the subkey does not
// exist, or the file cannot be read or parsed.
std::unique_ptr<QSettings> OpenForQuery(const std::string& path, const QString& subkey) {
    auto store = ReadStore(path);
    if (!store) return nullptr;
    store->beginGroup(subkey);
    bool exists = !store->childKeys().isEmpty() || !store->childGroups().isEmpty();
    store->endGroup();
    return exists ? std::move(store) : nullptr;
}

// Opens the store for setting values, creating its folder; null when it cannot be written.
// A file that is there but is not a readable regular file, or cannot be parsed, is left exactly
// as it is: it may be someone's hand-edited store with a slip in it, and a rewrite would keep only
// what could be read of it.
std::unique_ptr<QSettings> OpenForSet(const std::string& path) {
    const FileState state = Examine(path);
    if (state == FileState::Unusable) return nullptr;
    QString file = QString::fromStdString(path);
    if (state == FileState::Missing && !QDir().mkpath(QFileInfo(file).absolutePath())) return nullptr;
    auto store = std::make_unique<QSettings>(file, QSettings::IniFormat);
    if (store->status() != QSettings::NoError) return nullptr;
    return store;
}

bool Commit(QSettings& store) {
    store.sync();
    return store.status() != QSettings::AccessError;
}

void WriteTagSet(QSettings& store, const TagOverrides& tags, const std::string& name) {
    QString subkey = TagSubkey(name);
    for (const auto& f : detail::TagFields()) {
        QString key = subkey + '/' + QString::fromLatin1(f.name);
        store.setValue(key, f.textField ? EncodeText(tags.*f.textField) : EncodeDword(tags.*f.intField));
    }
}

}  // namespace

SettingsStore::SettingsStore() {
    QString config = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    if (config.isEmpty()) config = QDir::homePath() + "/.config";
    path_ = (config + "/Brisvane Sonavert/Sonavert.ini").toStdString();
}

SettingsStore::SettingsStore(std::string iniPath) : path_(std::move(iniPath)) {}

int SettingsStore::LoadSettings(Settings& settings) const {
    if (auto store = OpenForQuery(path_, kOptionsKey)) {
        for (const auto& f : detail::SettingsFields()) {
            StoredValue v = Query(*store, kOptionsKey, f.name, f.intField != nullptr);
            if (f.intField && v.kind == StoredValue::Dword)
                settings.*f.intField = ApplyLoadRule(f.name, v.dword);
            else if (f.textField && v.kind == StoredValue::Text)
                settings.*f.textField = v.text;
        }
        RebuildExtensionFilter(settings);
    }
    for (const auto& set : detail::TagSets()) LoadTagOverrides(settings.*set.set, set.name);
    return 1;
}

int SettingsStore::SaveSettings(const Settings& settings, unsigned groups) const {
    groups &= kSaveExit | kSaveFolder | kSaveOptions;
    if (!groups) return 0;
    auto store = OpenForSet(path_);
    if (!store) return 0;
    for (const auto& f : detail::SettingsFields()) {
        if (!(groups & f.group)) continue;
        QString key = kOptionsKey + '/' + QString::fromLatin1(f.name);
        store->setValue(key, f.intField ? EncodeDword(settings.*f.intField) : EncodeText(settings.*f.textField));
    }
    if (groups & kSaveOptions)
        for (const auto& set : detail::TagSets()) WriteTagSet(*store, settings.*set.set, set.name);
    return Commit(*store) ? 1 : 0;
}

int SettingsStore::LoadTagOverrides(TagOverrides& tags, const std::string& name) const {
    QString subkey = TagSubkey(name);
    auto store = OpenForQuery(path_, subkey);
    if (!store) return 0;
    for (const auto& f : detail::TagFields()) {
        StoredValue v = Query(*store, subkey, f.name, f.intField != nullptr);
        if (f.textField)
            tags.*f.textField = v.kind == StoredValue::Text ? v.text : std::string();
        else if (v.kind == StoredValue::Dword)
            tags.*f.intField = v.dword;
    }
    return 1;
}

int SettingsStore::SaveTagOverrides(const TagOverrides& tags, const std::string& name) const {
    auto store = OpenForSet(path_);
    if (!store) return 0;
    WriteTagSet(*store, tags, name);
    return Commit(*store) ? 1 : 0;
}

bool SettingsStore::CheckFirstRun(const std::function<void(const std::string& helpPath)>& openHelp) const {
    int32_t firstRun = 1;
    // A store that is there but cannot be used was not made by a first start; it is left alone.
    const FileState state = Examine(path_);
    if (state == FileState::Unusable) return false;
    auto store = OpenForSet(path_);
    if (!store && state == FileState::Usable) return false;
    if (store) {
        StoredValue v = Query(*store, kOptionsKey, "FirstRun", true);
        if (v.kind == StoredValue::Dword) firstRun = v.dword;
        if (firstRun) {
            store->setValue(kOptionsKey + "/FirstRun", EncodeDword(0));
            Commit(*store);
        }
    }
    if (!firstRun) return false;
    std::string folder = ExecutableFolder();
    if (!folder.empty() && openHelp) openHelp(folder + kHelpFileName);
    return true;
}

}  // namespace sonavert
