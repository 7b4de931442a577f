#include "settings/SettingsStore.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>
#include <QString>
#include <QStringList>
#include <QVariant>

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

// Opens the store for reading values of `subkey`; null when the file or the subkey does not
// exist, or the file cannot be read or parsed.
std::unique_ptr<QSettings> OpenForQuery(const std::string& path, const QString& subkey) {
    QString file = QString::fromStdString(path);
    QFileInfo info(file);
    if (!info.isFile() || !info.isReadable()) return nullptr;
    auto store = std::make_unique<QSettings>(file, QSettings::IniFormat);
    if (store->status() != QSettings::NoError) return nullptr;
    store->beginGroup(subkey);
    bool exists = !store->childKeys().isEmpty() || !store->childGroups().isEmpty();
    store->endGroup();
    return exists ? std::move(store) : nullptr;
}

// Opens the store for setting values, creating its folder; null when it cannot be written.
// A file that cannot be parsed is rewritten from what could be read of it.
std::unique_ptr<QSettings> OpenForSet(const std::string& path) {
    QString file = QString::fromStdString(path);
    QFileInfo info(file);
    if (info.exists() && !info.isFile()) return nullptr;
    if (!QDir().mkpath(info.absolutePath())) return nullptr;
    auto store = std::make_unique<QSettings>(file, QSettings::IniFormat);
    if (store->status() == QSettings::AccessError) return nullptr;
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
    if (auto store = OpenForSet(path_)) {
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
