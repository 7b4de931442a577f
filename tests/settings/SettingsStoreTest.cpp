#include "settings/SettingsStore.h"

#include <gtest/gtest.h>

#include <QSettings>
#include <QString>
#include <QStringList>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>

#include "base/PathHelpers.h"
#include "settings/SettingsFields.h"
#include "support/TestUtil.h"

using namespace sonavert;
namespace fs = std::filesystem;

namespace {

// Points HOME and XDG_CONFIG_HOME at a fresh temporary folder for the test's duration.
class SettingsStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* var : {"HOME", "XDG_CONFIG_HOME"}) {
            const char* old = std::getenv(var);
            saved_.emplace_back(var, old ? std::optional<std::string>(old) : std::nullopt);
        }
        setenv("HOME", dir_.path().c_str(), 1);
        setenv("XDG_CONFIG_HOME", dir_.file("config").c_str(), 1);
    }
    void TearDown() override {
        for (auto& [var, value] : saved_) {
            if (value)
                setenv(var.c_str(), value->c_str(), 1);
            else
                unsetenv(var.c_str());
        }
    }

    std::string IniPath() const { return dir_.file("config") + "/Brisvane Sonavert/Sonavert.ini"; }
    void WriteIni(const std::string& text) {
        fs::create_directories(fs::path(IniPath()).parent_path());
        ASSERT_TRUE(testutil::WriteFileBytes(IniPath(), std::vector<uint8_t>(text.begin(), text.end())));
    }
    std::string ReadIni() const {
        auto b = testutil::ReadFileBytes(IniPath());
        return std::string(b.begin(), b.end());
    }
    QStringList StoredKeys() const {
        QSettings s(QString::fromStdString(IniPath()), QSettings::IniFormat);
        QStringList keys = s.allKeys();
        keys.sort();
        return keys;
    }
    Settings Loaded() {
        Settings s;
        EXPECT_EQ(SettingsStore().LoadSettings(s), 1);
        return s;
    }

    testutil::TempDir dir_;
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

}  // namespace

TEST_F(SettingsStoreTest, FirstStartKeepsDefaultsAndOpensHelpOnce) {
    SettingsStore store;
    EXPECT_EQ(store.Path(), IniPath());

    Settings defaults = DefaultSettings();
    EXPECT_EQ(defaults.DestSpecifiedFolder, dir_.file("Documents"));
    EXPECT_EQ(defaults.DestOutputFolderOpt, 399);
    EXPECT_TRUE(fs::is_directory(dir_.file("Documents")));

    Settings s = defaults;
    EXPECT_EQ(store.LoadSettings(s), 1);
    EXPECT_EQ(s, defaults);
    EXPECT_TRUE(s.ExtensionFilter.empty());
    EXPECT_EQ(s.OutputFormat, 1000);
    EXPECT_EQ(s.TargetExistsOpt, 11);
    EXPECT_EQ(s.WMABitRate, 128000);
    EXPECT_EQ(s.MP3Tag.TitleAsFileName, 1);
    EXPECT_FALSE(fs::exists(IniPath()));  // loading creates nothing

    std::vector<std::string> opened;
    auto openHelp = [&](const std::string& path) { opened.push_back(path); };
    EXPECT_TRUE(store.CheckFirstRun(openHelp));
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0], ExecutableFolder() + "sonavert.html");
    EXPECT_NE(ReadIni().find("FirstRun=0\n"), std::string::npos);
    EXPECT_FALSE(store.CheckFirstRun(openHelp));
    EXPECT_EQ(opened.size(), 1u);
}

TEST_F(SettingsStoreTest, EveryValueRoundTrips) {
    Settings s = DefaultSettings();
    const auto& fields = detail::SettingsFields();
    for (size_t i = 0; i < fields.size(); ++i) {
        if (fields[i].intField) s.*fields[i].intField = ApplyLoadRule(fields[i].name, static_cast<int32_t>(3 + i));
    }
    s.MP3SampleRate = -1;  // negative numbers survive
    s.Folder = "/home/u/Müsik, \"Live\"";
    s.DestSpecifiedFolder = "dword:00000001";  // a text that looks like an old-form integer stays a text
    s.Folder = "2019";                          // a text of digits stays a text
    s.FilterExts = "sz:odd, MP3 ;x=y";
    s.MP3Tag = {0, "Title, with comma", "Ärtist", "@album", "1999", "Rock", " spaced ", "Comp", "(c)", 2, 255};
    s.OGGTag.Title = "ogg";
    s.WMATag.CustomTrackNum = 17;
    s.M4ATag.Copyright = "m4a;=";
    RebuildExtensionFilter(s);

    SettingsStore store;
    ASSERT_EQ(store.SaveSettings(s, kSaveExit | kSaveFolder | kSaveOptions), 1);
    EXPECT_EQ(Loaded(), s);
    std::string ini = ReadIni();
    // Numbers are plain numbers, texts are texts.
    EXPECT_NE(ini.find("MP3SampleRate=-1\n"), std::string::npos);
    EXPECT_NE(ini.find("Folder=2019\n"), std::string::npos);
    EXPECT_NE(ini.find("DestSpecifiedFolder=sz:dword:00000001"), std::string::npos);
    EXPECT_EQ(ini.find("=dword:"), std::string::npos);
    EXPECT_NE(ini.find("MP3Tag\\CustomTrackNum=255\n"), std::string::npos);
}

TEST_F(SettingsStoreTest, LoadRulesRepairStoredValues) {
    WriteIni("[Options]\n"
             "OGGBitRate=dword:0001f400\n"         // 128000
             "MP3ChannelMode=dword:00000002\n"
             "WAVChannelNum=dword:00000005\n"
             "WMAChannels=dword:00000000\n"
             "OGGChannels=dword:ffffffff\n"
             "WMAID3TagType=dword:00000003\n"
             "M4AID3TagType=dword:ffffffff\n"
             "AmplifyMp3Coeff=dword:00000005\n"
             "AmplifyWavCoeff=dword:00001388\n"    // 5000
             "AmplifyWMACoeff=dword:00000009\n"
             "AmplifyOGGCoeff=dword:00000bb9\n"    // 3001
             "AmplifyAACCoef=dword:7fffffff\n"
             "AmplifyM4ACoef=dword:ffffffff\n"     // -1
             "AmplifyAMRCoef=dword:00000bb8\n");   // 3000 stays
    Settings s = Loaded();
    EXPECT_EQ(s.OGGBitRate, 128);
    EXPECT_EQ(s.MP3ChannelMode, 1);
    EXPECT_EQ(s.WAVChannelNum, 2);
    EXPECT_EQ(s.WMAChannels, 2);
    EXPECT_EQ(s.OGGChannels, 2);
    EXPECT_EQ(s.WMAID3TagType, 2);
    EXPECT_EQ(s.M4AID3TagType, 2);
    EXPECT_EQ(s.AmplifyMp3Coeff, 10);
    EXPECT_EQ(s.AmplifyWavCoeff, 3000);
    EXPECT_EQ(s.AmplifyWMACoeff, 10);
    EXPECT_EQ(s.AmplifyOGGCoeff, 3000);
    EXPECT_EQ(s.AmplifyAACCoef, 3000);
    EXPECT_EQ(s.AmplifyM4ACoef, 10);
    EXPECT_EQ(s.AmplifyAMRCoef, 3000);

    WriteIni("[Options]\nOGGBitRate=dword:000003e8\nMP3ChannelMode=dword:00000004\nAmplifyMp3Coeff=dword:00001388\n"
             "WMAChannels=dword:00000001\nWAVChannelNum=dword:00000000\n");
    s = Loaded();
    EXPECT_EQ(s.OGGBitRate, 1000);
    EXPECT_EQ(s.MP3ChannelMode, 4);
    EXPECT_EQ(s.AmplifyMp3Coeff, 3000);
    EXPECT_EQ(s.WMAChannels, 1);
    EXPECT_EQ(s.WAVChannelNum, 0);
}

TEST_F(SettingsStoreTest, PlainNumbersAndTheOldFormLoadAlike) {
    WriteIni("[Options]\n"
             "MP3BitRate=192\n"
             "MP3SampleRate=-1\n"
             "WAVSampleRate=dword:00005622\n"   // 22050 in the old form
             "OGGBitRate= 160 \n"
             "OutputFormat=4294967295\n"        // the same 32 bits as -1
             "WAVChannelNum=2x\n"               // not a number: missing
             "AmplifyWavCoeff=99999999999\n"    // beyond 32 bits: missing
             "Folder=2019\n"                    // digits in a text field are a text
             "MP3Tag\\CustomTrackNum=7\n"
             "MP3Tag\\Year=1999\n");
    Settings s = DefaultSettings();
    const Settings defaults = s;
    ASSERT_EQ(SettingsStore().LoadSettings(s), 1);
    EXPECT_EQ(s.MP3BitRate, 192);
    EXPECT_EQ(s.MP3SampleRate, -1);
    EXPECT_EQ(s.WAVSampleRate, 22050);
    EXPECT_EQ(s.OGGBitRate, 160);
    EXPECT_EQ(s.OutputFormat, -1);
    EXPECT_EQ(s.WAVChannelNum, defaults.WAVChannelNum);
    EXPECT_EQ(s.AmplifyWavCoeff, defaults.AmplifyWavCoeff);
    EXPECT_EQ(s.Folder, "2019");
    EXPECT_EQ(s.MP3Tag.CustomTrackNum, 7);
    EXPECT_EQ(s.MP3Tag.Year, "1999");
}

TEST_F(SettingsStoreTest, WrongTypesAndEmptyTextsLoadAsMissing) {
    WriteIni("[Options]\n"
             "MP3BitRate=fast\n"                     // a word where an integer belongs
             "MP3SampleRate=dword:zz\n"              // malformed integer
             "WAVSampleRate=dword:00005622\n"        // 22050
             "Folder=dword:00000005\n"               // an integer where a text belongs
             "DestSpecifiedFolder=/out/dir\n"
             "FilterExts=\n"
             "MP3Tag\\Title=\n"                      // a lone terminator
             "MP3Tag\\Album=dword:00000001\n"
             "MP3Tag\\Genre=Jazz\n"
             "MP3Tag\\TrackNumType=two\n"
             "MP3Tag\\CustomTrackNum=dword:00000009\n");
    Settings s = DefaultSettings();
    s.Folder = "kept";
    s.FilterExts = "";
    s.MP3Tag.Title = "old title";
    s.MP3Tag.Artist = "old artist";  // missing in the store: becomes empty
    s.MP3Tag.Album = "old album";
    s.MP3Tag.TrackNumType = 1;       // numbers that are not integers keep their value
    s.OGGTag.Title = "untouched";    // no OGG subkey
    ASSERT_EQ(SettingsStore().LoadSettings(s), 1);
    EXPECT_EQ(s.MP3BitRate, 128);
    EXPECT_EQ(s.MP3SampleRate, 44100);
    EXPECT_EQ(s.WAVSampleRate, 22050);
    EXPECT_EQ(s.Folder, "kept");
    EXPECT_EQ(s.DestSpecifiedFolder, "/out/dir");
    EXPECT_EQ(s.FilterExts, "");
    EXPECT_EQ(s.MP3Tag.Title, "");
    EXPECT_EQ(s.MP3Tag.Artist, "");
    EXPECT_EQ(s.MP3Tag.Album, "");
    EXPECT_EQ(s.MP3Tag.Genre, "Jazz");
    EXPECT_EQ(s.MP3Tag.TrackNumType, 1);
    EXPECT_EQ(s.MP3Tag.CustomTrackNum, 9);
    EXPECT_EQ(s.OGGTag.Title, "untouched");

    TagOverrides wma;
    wma.Title = "keep";
    EXPECT_EQ(SettingsStore().LoadTagOverrides(wma, "WMA"), 0);
    EXPECT_EQ(wma.Title, "keep");
}

TEST_F(SettingsStoreTest, ExtensionFilterList) {
    // Written by hand without quotes: the commas still belong to the one text.
    WriteIni("[Options]\nEnableExtFilter=dword:00000001\nFilterExts=MP3,,Wav\n");
    Settings s = Loaded();
    EXPECT_EQ(s.FilterExts, "MP3,,Wav");
    EXPECT_EQ(s.ExtensionFilter, (std::vector<std::string>{"mp3", "", "wav"}));

    s.FilterExts = "ÖGG,Flac,";
    RebuildExtensionFilter(s);
    EXPECT_EQ(s.ExtensionFilter, (std::vector<std::string>{"ögg", "flac", ""}));
    s.EnableExtFilter = 0;
    RebuildExtensionFilter(s);
    EXPECT_TRUE(s.ExtensionFilter.empty());
}

TEST_F(SettingsStoreTest, SaveGroupsWriteOnlyTheirValues) {
    SettingsStore store;
    Settings s;
    s.OutputFormat = 4000;
    s.OptStartPageIndex = 3;
    s.Folder = "/music";
    s.MP3BitRate = 320;

    EXPECT_EQ(store.SaveSettings(s, 0), 0);
    EXPECT_FALSE(fs::exists(IniPath()));

    ASSERT_EQ(store.SaveSettings(s, kSaveExit), 1);
    // The exit group: the format, the page and the main window's geometry.
    const QStringList exitKeys{"Options/OptStartPageIndex", "Options/OutputFormat", "Options/WindowHeight",
                               "Options/WindowLeft",        "Options/WindowTop",    "Options/WindowWidth"};
    EXPECT_EQ(StoredKeys(), exitKeys);
    EXPECT_NE(ReadIni().find("OutputFormat=4000\n"), std::string::npos);

    ASSERT_EQ(store.SaveSettings(s, kSaveFolder), 1);
    EXPECT_EQ(StoredKeys(), QStringList{"Options/Folder"} + exitKeys);

    ASSERT_EQ(store.SaveSettings(s, kSaveOptions), 1);
    QStringList keys = StoredKeys();
    EXPECT_EQ(keys.size(), static_cast<qsizetype>(detail::SettingsFields().size() + detail::TagSets().size() * detail::TagFields().size()));
    EXPECT_TRUE(keys.contains("Options/MP3Tag/Copyright"));
    EXPECT_TRUE(keys.contains("Options/M4ATag/CustomTrackNum"));
    EXPECT_FALSE(keys.contains("Options/FirstRun"));

    // A later exit save leaves the options as they were stored.
    s.MP3BitRate = 64;
    s.OutputFormat = 2000;
    ASSERT_EQ(store.SaveSettings(s, kSaveExit), 1);
    Settings loaded = Loaded();
    EXPECT_EQ(loaded.MP3BitRate, 320);
    EXPECT_EQ(loaded.OutputFormat, 2000);
    EXPECT_EQ(loaded.Folder, "/music");

    TagOverrides m4a;
    m4a.Title = "Track";
    m4a.TrackNumType = 2;
    ASSERT_EQ(store.SaveTagOverrides(m4a, "M4A"), 1);
    TagOverrides back;
    ASSERT_EQ(store.LoadTagOverrides(back, "M4A"), 1);
    EXPECT_EQ(back, m4a);
}

TEST_F(SettingsStoreTest, CorruptOrUnreachableStoreLeavesDefaults) {
    Settings defaults = DefaultSettings();
    std::string garbage = "[Options\nMP3BitRate=dword:00000040\n";
    garbage += std::string("\x00\x01\xff\xfe\x80[[[=\n", 10);
    WriteIni(garbage);
    Settings s = defaults;
    EXPECT_EQ(SettingsStore().LoadSettings(s), 1);
    EXPECT_EQ(s, defaults);

    // Saving never replaces the damaged file (StoresThatCannotBeUsedAreNeverTouched has the rest).
    s.MP3BitRate = 96;
    EXPECT_EQ(SettingsStore().SaveSettings(s, kSaveOptions), 0);
    EXPECT_EQ(ReadIni(), garbage);

    // The configuration folder cannot be created: saving fails, every start counts as the first.
    fs::remove_all(dir_.file("config"));
    ASSERT_TRUE(testutil::WriteFileBytes(dir_.file("config"), {'x'}));
    EXPECT_EQ(SettingsStore().SaveSettings(s, kSaveOptions), 0);
    EXPECT_EQ(SettingsStore().SaveTagOverrides(s.MP3Tag, "MP3"), 0);
    int opened = 0;
    EXPECT_TRUE(SettingsStore().CheckFirstRun([&](const std::string&) { ++opened; }));
    EXPECT_EQ(opened, 1);
    EXPECT_EQ(testutil::ReadFileBytes(dir_.file("config")), std::vector<uint8_t>{'x'});
}

// A store that is there but cannot be parsed, is not a regular file or cannot be read gives the
// defaults, and neither a save, a tag-set save nor the first-start check rewrites, replaces or
// removes it. Opening a FIFO must not block.
class UnusableStoreTest : public SettingsStoreTest {
protected:
    // Loads, saves every group and the tag sets, runs the first-start check; the record stays
    // at the defaults and nothing is saved.
    void ExpectLeftAlone() {
        const Settings defaults = DefaultSettings();
        Settings s = defaults;
        EXPECT_EQ(SettingsStore().LoadSettings(s), 1);
        EXPECT_EQ(s, defaults);
        s.MP3BitRate = 96;
        s.Folder = "/elsewhere";
        EXPECT_EQ(SettingsStore().SaveSettings(s, kSaveExit | kSaveFolder | kSaveOptions), 0);
        EXPECT_EQ(SettingsStore().SaveTagOverrides(s.MP3Tag, "MP3"), 0);
        int opened = 0;
        EXPECT_FALSE(SettingsStore().CheckFirstRun([&](const std::string&) { ++opened; }));
        EXPECT_EQ(opened, 0);
    }
    mode_t Kind() const {
        struct stat st;
        return lstat(IniPath().c_str(), &st) == 0 ? (st.st_mode & S_IFMT) : 0;
    }
};

TEST_F(UnusableStoreTest, GarbledFileKeepsItsBytes) {
    // The last is well formed but far larger than any store this program writes (a 100 MB one
    // took about 1 GB to parse and save).
    for (const std::string& garbage : {std::string("[Options]\nMP3BitRate=96\nnot a key line\n"),
                                       std::string("\x7f" "ELF\x02\x01\x01\x00\x00[]=\n\xff\xfe", 16),
                                       "[Options]\nMP3BitRate=96\nFolder=" + std::string(5 << 20, 'a') + "\n"}) {
        WriteIni(garbage);
        ExpectLeftAlone();
        EXPECT_EQ(Kind(), S_IFREG);
        EXPECT_EQ(ReadIni(), garbage);
    }
}

TEST_F(UnusableStoreTest, FolderAndFifoStayWhatTheyAre) {
    fs::create_directories(IniPath());
    ExpectLeftAlone();
    EXPECT_EQ(Kind(), S_IFDIR);
    EXPECT_TRUE(fs::is_empty(IniPath()));

    fs::remove(IniPath());
    ASSERT_EQ(mkfifo(IniPath().c_str(), 0600), 0);
    ExpectLeftAlone();  // would hang if anything opened the FIFO for reading
    EXPECT_EQ(Kind(), S_IFIFO);

    // A link pointing nowhere is not a missing store either.
    fs::remove(IniPath());
    fs::create_symlink(dir_.file("nowhere.ini"), IniPath());
    ExpectLeftAlone();
    EXPECT_EQ(Kind(), S_IFLNK);
    EXPECT_FALSE(fs::exists(dir_.file("nowhere.ini")));
}

TEST_F(UnusableStoreTest, UnreadableFileKeepsItsBytes) {
    // The superuser reads a file of mode 000 all the same, so the case cannot arise there.
    if (geteuid() == 0) GTEST_SKIP() << "running as root: permission bits do not make a file unreadable";
    const std::string text = "[Options]\nMP3BitRate=96\n";
    WriteIni(text);
    ASSERT_EQ(chmod(IniPath().c_str(), 0), 0);
    ExpectLeftAlone();
    struct stat st;
    ASSERT_EQ(stat(IniPath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0u);
    ASSERT_EQ(chmod(IniPath().c_str(), 0600), 0);
    EXPECT_EQ(ReadIni(), text);
}

TEST_F(SettingsStoreTest, SetByName) {
    Settings s;
    EXPECT_TRUE(SetByName(s, "MP3BitRate", "320"));
    EXPECT_EQ(s.MP3BitRate, 320);
    EXPECT_TRUE(SetByName(s, "mp3samplerate", "+22050"));
    EXPECT_EQ(s.MP3SampleRate, 22050);
    EXPECT_TRUE(SetByName(s, "OGGBitRate", "192000"));  // load rules apply
    EXPECT_EQ(s.OGGBitRate, 192);
    EXPECT_TRUE(SetByName(s, "AmplifyWavCoeff", "-5"));
    EXPECT_EQ(s.AmplifyWavCoeff, 10);
    EXPECT_TRUE(SetByName(s, "DestSpecifiedFolder", "/out/my dir"));
    EXPECT_EQ(s.DestSpecifiedFolder, "/out/my dir");

    EXPECT_TRUE(SetByName(s, "FilterExts", "FLAC,Mp3"));
    EXPECT_TRUE(s.ExtensionFilter.empty());
    EXPECT_TRUE(SetByName(s, "EnableExtFilter", "1"));
    EXPECT_EQ(s.ExtensionFilter, (std::vector<std::string>{"flac", "mp3"}));

    EXPECT_TRUE(SetByName(s, "MP3Tag/Title", "A, B"));
    EXPECT_EQ(s.MP3Tag.Title, "A, B");
    EXPECT_TRUE(SetByName(s, "ogGTag\\CustomTrackNum", "7"));
    EXPECT_EQ(s.OGGTag.CustomTrackNum, 7);
    EXPECT_TRUE(SetByName(s, "M4ATag/TitleAsFileName", "0"));
    EXPECT_EQ(s.M4ATag.TitleAsFileName, 0);

    Settings before = s;
    EXPECT_FALSE(SetByName(s, "MP3BitRate", "fast"));
    EXPECT_FALSE(SetByName(s, "MP3BitRate", "4294967296"));
    EXPECT_FALSE(SetByName(s, "MP3BitRate", ""));
    EXPECT_FALSE(SetByName(s, "MP3BitRate", "12kbps"));
    EXPECT_FALSE(SetByName(s, "NoSuchValue", "1"));
    EXPECT_FALSE(SetByName(s, "FirstRun", "0"));
    EXPECT_FALSE(SetByName(s, "MP3Tag/NoSuchField", "x"));
    EXPECT_FALSE(SetByName(s, "AACTag/Title", "x"));
    EXPECT_FALSE(SetByName(s, "WMATag/TrackNumType", "one"));
    EXPECT_EQ(s, before);
}
