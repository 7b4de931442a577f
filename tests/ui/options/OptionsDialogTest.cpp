#include <gtest/gtest.h>

#include <map>

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QRadioButton>
#include <QTabWidget>
#include <QToolButton>

#include "settings/SettingsStore.h"
#include "ui/options/OptionsDialog.h"
#include "ui/options/TagEditor.h"
#include "support/TestUtil.h"
#include "ui/FakeUiHost.h"
#include "ui/Hyperlink.h"

namespace sonavert {
namespace {

using test::FakeUiHost;
using testutil::TempDir;

void ChooseText(QComboBox* list, const QString& text) {
    const int index = list->findText(text);
    ASSERT_GE(index, 0) << text.toStdString();
    ChooseEntry(list, index);
}

QPushButton* OkButton(QDialog& d) {
    return static_cast<OptionsDialog&>(d).Buttons()->button(QDialogButtonBox::Ok);
}

template <class PageT>
PageT* PageOf(QDialog& d, int index) {
    return static_cast<PageT*>(static_cast<OptionsDialog&>(d).Page(index));
}

// Runs the Options command against a store in a temporary folder.
struct OptionsRun {
    TempDir dir;
    SettingsStore store{dir.file("Sonavert.ini")};
    FakeUiHost host;

    void Run(Settings& settings, std::function<void(QDialog&)> script) {
        host.script = std::move(script);
        OptionsDialogHooks hooks;
        hooks.host = &host;
        ShowOptionsDialog(nullptr, settings, store, hooks);
    }
    Settings Saved() const {
        Settings s;
        store.LoadSettings(s);
        return s;
    }
};

TEST(OptionsDialogTest, StartPageAndClosingPage) {
    OptionsRun run;
    Settings settings;
    settings.OptStartPageIndex = kOptionPageCount;  // out of range: the General page
    const Settings before = settings;
    int opened = -1;
    run.Run(settings, [&](QDialog& d) {
        auto& dialog = static_cast<OptionsDialog&>(d);
        opened = dialog.ActivePage();
        EXPECT_EQ(d.windowTitle(), QStringLiteral("Options"));
        ASSERT_EQ(dialog.Tabs()->count(), 9);
        const QStringList captions = {"General",         "MP3 Options",     "WAV Options",
                                      "WMA/WMV/ASF Options", "OGG Options", "AMR/AWB Options",
                                      "AAC Options",     "MP4/M4A/M4B/M4R Options", "Loudness"};
        for (int i = 0; i < 9; ++i) EXPECT_EQ(dialog.Tabs()->tabText(i), captions[i]);
        EXPECT_EQ(dialog.Buttons()->buttons().size(), 2);  // OK and Cancel only
        dialog.Tabs()->setCurrentIndex(kPageOgg);
        dialog.Buttons()->button(QDialogButtonBox::Cancel)->click();
    });
    EXPECT_EQ(opened, kPageGeneral);
    EXPECT_EQ(settings.OptStartPageIndex, kPageOgg);
    Settings expected = before;
    expected.OptStartPageIndex = kPageOgg;
    EXPECT_EQ(settings, expected);  // Cancel discards every page value
    EXPECT_FALSE(std::filesystem::exists(run.store.Path()));

    settings.OptStartPageIndex = kPageAmr;
    run.Run(settings, [&](QDialog& d) { opened = static_cast<OptionsDialog&>(d).ActivePage(); });
    EXPECT_EQ(opened, kPageAmr);
}

TEST(OptionsDialogTest, CustomFolderMustNotBeEmpty) {
    OptionsRun run;
    Settings settings;
    settings.DestSpecifiedFolder.clear();
    bool stillOpen = false;
    run.Run(settings, [&](QDialog& d) {
        auto* general = PageOf<GeneralPage>(d, kPageGeneral);
        EXPECT_FALSE(general->customFolder->isEnabled());
        ChooseText(general->outputFolder, QStringLiteral("A custom folder"));
        EXPECT_TRUE(general->customFolder->isEnabled());
        EXPECT_TRUE(general->browse->isEnabled());
        EXPECT_TRUE(general->createDirsExample->isEnabled());
        OkButton(d)->click();
        stillOpen = d.isVisible();
        // Browsing fills the edit, after which OK is accepted.
        run.host.folderAnswer = QStringLiteral("/tmp/out");
        general->browse->click();
        EXPECT_EQ(general->customFolder->text(), QStringLiteral("/tmp/out/"));
        OkButton(d)->click();
    });
    EXPECT_TRUE(stillOpen);
    ASSERT_EQ(run.host.messages.size(), 1u);
    EXPECT_EQ(run.host.messages[0].text, QStringLiteral("Please choose an output folder."));
    EXPECT_EQ(run.host.messages[0].icon, MessageIcon::Warning);
    const Settings saved = run.Saved();
    EXPECT_EQ(saved.DestOutputFolderOpt, kDestCustomFolder);
    EXPECT_EQ(saved.DestSpecifiedFolder, "/tmp/out/");
}

TEST(OptionsDialogTest, ANamePatternThatCannotBeUsedIsRefusedAndTheUpdateChoiceIsSaved) {
    OptionsRun run;
    Settings settings;
    settings.DestOutputFolderOpt = kDestCustomFolder;
    settings.DestSpecifiedFolder = "/tmp/out";
    run.Run(settings, [&](QDialog& d) {
        auto* general = PageOf<GeneralPage>(d, kPageGeneral);
        // Without rows the preview lists the fields.
        EXPECT_TRUE(general->namePreview->text().startsWith(QStringLiteral("Fields: {title}, {artist}")))
            << general->namePreview->text().toStdString();
        general->namePattern->setText(QStringLiteral("{artst}/{title}"));
        EXPECT_TRUE(general->namePreview->text().startsWith(
            QStringLiteral("This pattern cannot be used: unknown field {artst}. Fields: {title}")));
        OkButton(d)->click();
        EXPECT_TRUE(d.isVisible());
        general->namePattern->setText(QStringLiteral("{artist}/{title}"));
        ChooseText(general->targetExists, QStringLiteral("Update (convert only when the source is newer)"));
        OkButton(d)->click();
    });
    ASSERT_EQ(run.host.messages.size(), 1u);
    EXPECT_EQ(run.host.messages[0].text, QStringLiteral("The name pattern cannot be used: unknown field {artst}."));
    const Settings saved = run.Saved();
    EXPECT_EQ(saved.TargetNamePattern, "{artist}/{title}");
    EXPECT_EQ(saved.TargetExistsOpt, kTargetUpdate);
}

TEST(OptionsDialogTest, ParallelJobsShowAutomaticAndAreSaved) {
    OptionsRun run;
    Settings settings;  // ParallelJobs 0: one file per core
    run.Run(settings, [&](QDialog& d) {
        auto* general = PageOf<GeneralPage>(d, kPageGeneral);
        EXPECT_EQ(general->parallelJobs->text(), QStringLiteral("Automatic"));
        general->parallelJobs->setValue(3);
        OkButton(d)->click();
    });
    EXPECT_EQ(run.Saved().ParallelJobs, 3);
    // A stored count the box cannot show is kept unless the user changes it.
    settings.ParallelJobs = 99;
    run.Run(settings, [&](QDialog& d) {
        EXPECT_EQ(PageOf<GeneralPage>(d, kPageGeneral)->parallelJobs->value(), 32);
        OkButton(d)->click();
    });
    EXPECT_EQ(run.Saved().ParallelJobs, 99);
}

TEST(OptionsDialogTest, FilterTextIsNormalisedAndMustNotBeEmpty) {
    OptionsRun run;
    Settings settings;
    settings.EnableExtFilter = 0;
    settings.FilterExts = "wav";
    int pageAfterRefusal = -1;
    run.Run(settings, [&](QDialog& d) {
        auto& dialog = static_cast<OptionsDialog&>(d);
        auto* general = PageOf<GeneralPage>(d, kPageGeneral);
        EXPECT_FALSE(general->filterText->isEnabled());
        general->filterEnabled->click();
        EXPECT_TRUE(general->filterText->isEnabled());
        general->filterText->setText(QStringLiteral(" \t  "));
        dialog.Tabs()->setCurrentIndex(kPageMp3);
        pageAfterRefusal = dialog.ActivePage();
        general->filterText->setText(QStringLiteral(" mp3 ; wav\t;M4A"));
        dialog.Tabs()->setCurrentIndex(kPageMp3);
        EXPECT_EQ(dialog.ActivePage(), kPageMp3);
        EXPECT_EQ(general->filterText->text(), QStringLiteral("mp3,wav,M4A"));
        OkButton(d)->click();
    });
    EXPECT_EQ(pageAfterRefusal, kPageGeneral);
    ASSERT_EQ(run.host.messages.size(), 1u);
    EXPECT_EQ(run.host.messages[0].text, QStringLiteral("Please enter file extensions you need to filter."));
    EXPECT_EQ(settings.FilterExts, "mp3,wav,M4A");
    EXPECT_EQ(settings.ExtensionFilter, (std::vector<std::string>{"mp3", "wav", "m4a"}));
    EXPECT_EQ(settings.OptStartPageIndex, kPageMp3);
    const Settings saved = run.Saved();
    EXPECT_EQ(saved.FilterExts, "mp3,wav,M4A");
    EXPECT_EQ(saved.EnableExtFilter, 1);
}

TEST(OptionsDialogTest, ShownPagesRepairValuesUnshownPagesKeepThem) {
    OptionsRun run;
    Settings settings;
    settings.DestOutputFolderOpt = 0;
    settings.TargetExistsOpt = 5;
    settings.AMRMode = 9;
    settings.AMRWBMode = 2;
    settings.AutoDestMP3EncodingParam = 0;
    settings.MP3BitRate = 999;  // no such entry; kept while the page is never shown
    settings.AutoDestOGGEncodingParam = 0;
    settings.OGGBitRate = 7;
    settings.AACVBRQuality = 5000;
    settings.OptStartPageIndex = kPageGeneral;
    const Settings before = settings;
    run.Run(settings, [&](QDialog& d) {
        auto& dialog = static_cast<OptionsDialog&>(d);
        auto* general = PageOf<GeneralPage>(d, kPageGeneral);
        EXPECT_EQ(general->outputFolder->currentText(), QStringLiteral("Same as original file"));
        EXPECT_EQ(general->targetExists->currentText(), QStringLiteral("Auto rename (add number at end of file name)"));
        dialog.Tabs()->setCurrentIndex(kPageAmr);
        auto* amr = PageOf<AmrPage>(d, kPageAmr);
        EXPECT_EQ(amr->nbList->currentIndex(), 4);
        EXPECT_EQ(amr->nbList->currentText(), QStringLiteral("7.4 kbps"));
        EXPECT_EQ(amr->nbList->itemText(1), QStringLiteral("5.15kbps"));
        EXPECT_EQ(amr->wbList->currentText(), QStringLiteral("12.65 kbps"));
        EXPECT_TRUE(amr->nbList->isEnabled());
        EXPECT_FALSE(amr->wbList->isEnabled());
        amr->wbRadio->click();
        EXPECT_FALSE(amr->nbList->isEnabled());
        EXPECT_TRUE(amr->wbList->isEnabled());
        amr->nbRadio->click();
        OkButton(d)->click();
    });
    Settings expected = before;
    expected.DestOutputFolderOpt = kDestBesideSource;
    expected.TargetExistsOpt = kTargetRename;
    expected.AMRMode = 4;
    expected.OptStartPageIndex = kPageAmr;
    RebuildExtensionFilter(expected);
    EXPECT_EQ(settings, expected);
    Settings saved = run.Saved();
    saved.OptStartPageIndex = kPageAmr;  // the exit group is not saved by the dialog
    EXPECT_EQ(saved.DestOutputFolderOpt, kDestBesideSource);
    EXPECT_EQ(saved.MP3BitRate, 999);
    EXPECT_EQ(saved.AMRMode, 4);
}

// The mnemonic letter of a control text ("O&pen" gives 'p'), or 0.
QChar MnemonicOf(const QString& text) {
    for (qsizetype i = 0; i + 1 < text.size(); ++i) {
        if (text[i] != QLatin1Char('&')) continue;
        if (text[i + 1] == QLatin1Char('&')) {
            ++i;
            continue;
        }
        return text[i + 1].toLower();
    }
    return QChar();
}

TEST(OptionsDialogTest, GeneralPageShowsThisPlatformsPathsAndDistinctMnemonics) {
    OptionsRun run;
    Settings settings;
    run.Run(settings, [&](QDialog& d) {
        auto* general = PageOf<GeneralPage>(d, kPageGeneral);
        EXPECT_EQ(general->documentsFallback->text(),
                  QStringLiteral("Output files to the &Documents folder if creating file failure"));
        EXPECT_EQ(general->createDirsExample->text(),
                  QStringLiteral("For example: original file is \"/home/user/Music/pop/1.mp3\" and output folder is "
                                 "\"/home/user/Output\". If the option is checked, the output folder will be "
                                 "\"/home/user/Output/home/user/Music/pop\"."));
        std::map<QChar, QString> seen;
        auto note = [&](const QString& text) {
            EXPECT_FALSE(text.contains(QLatin1Char('\\')) || text.contains(QStringLiteral("My Documents")))
                << text.toStdString();
            const QChar key = MnemonicOf(text);
            if (key.isNull()) return;
            auto [it, fresh] = seen.emplace(key, text);
            EXPECT_TRUE(fresh) << text.toStdString() << " collides with " << it->second.toStdString();
        };
        for (QAbstractButton* b : general->findChildren<QAbstractButton*>()) note(b->text());
        for (QLabel* l : general->findChildren<QLabel*>()) note(l->text());
    });
}

TEST(OptionsDialogTest, EveryControlUsesTheDialogFont) {
    OptionsRun run;
    Settings settings;
    run.Run(settings, [&](QDialog& d) {
        for (QWidget* w : d.findChildren<QWidget*>()) {
            EXPECT_EQ(w->font().family(), QStringLiteral("Tahoma")) << w->metaObject()->className();
            EXPECT_EQ(w->font().pixelSize(), 11) << w->metaObject()->className();
        }
    });
}

TEST(TagEditorTest, TrackTypeGenresAndCopyright) {
    FakeUiHost host;
    TagOverrides tags;
    tags.TrackNumType = 7;
    tags.CustomTrackNum = 12;
    tags.Genre = "My own genre";
    tags.TitleAsFileName = 1;
    tags.Title = "T";
    TagEditor editor(tags, true, &host);
    EXPECT_EQ(editor.windowTitle(), QStringLiteral("Edit ID3 Tag"));
    EXPECT_TRUE(editor.trackRadios[0]->isChecked());
    EXPECT_FALSE(editor.customTrack->isEnabled());
    EXPECT_FALSE(editor.title->isEnabled());
    EXPECT_EQ(editor.genre->count(), 148);
    EXPECT_EQ(editor.genre->itemText(0), QStringLiteral("A Cappella"));
    for (int i = 1; i < editor.genre->count(); ++i)
        EXPECT_LE(editor.genre->itemText(i - 1).compare(editor.genre->itemText(i), Qt::CaseInsensitive), 0);
    EXPECT_GE(editor.genre->findText(QStringLiteral("Trash Metal")), 0);
    EXPECT_EQ(editor.genre->currentText(), QStringLiteral("My own genre"));
    EXPECT_FALSE(editor.copyright->isHidden());

    editor.titleAsFileName->click();
    EXPECT_TRUE(editor.title->isEnabled());
    editor.artist->setText(QStringLiteral("Artist"));
    editor.accept();
    EXPECT_EQ(editor.result(), QDialog::Accepted);
    EXPECT_EQ(editor.Result().TrackNumType, 0);
    EXPECT_EQ(editor.Result().TitleAsFileName, 0);
    EXPECT_EQ(editor.Result().Artist, "Artist");
    EXPECT_EQ(editor.Result().Genre, "My own genre");
    EXPECT_EQ(editor.Result().CustomTrackNum, 12);

    TagEditor custom(tags, false, &host);
    EXPECT_TRUE(custom.copyright->isHidden());
    EXPECT_TRUE(custom.copyrightLabel->isHidden());
    custom.trackRadios[2]->click();
    EXPECT_TRUE(custom.customTrack->isEnabled());
    custom.customTrack->Edit()->setText(QStringLiteral("256"));
    custom.show();
    custom.accept();
    EXPECT_TRUE(custom.isVisible());
    EXPECT_EQ(host.messages.back().text, QStringLiteral("Please enter an integer between 0 and 255."));
    custom.customTrack->UpButton()->click();  // clamps into 0..255
    EXPECT_EQ(custom.customTrack->Edit()->text(), QStringLiteral("255"));
    custom.accept();
    EXPECT_EQ(custom.Result().TrackNumType, 2);
    EXPECT_EQ(custom.Result().CustomTrackNum, 255);
}

TEST(TagEditorTest, PagesEditTheirOwnSetAndM4aHidesCopyright) {
    OptionsRun run;
    Settings settings;
    settings.M4AID3TagType = 0;
    settings.MP3ID3TagType = 1;
    bool copyrightHidden = false;
    run.Run(settings, [&](QDialog& d) {
        auto& dialog = static_cast<OptionsDialog&>(d);
        dialog.Tabs()->setCurrentIndex(kPageMp3);
        auto* mp3 = PageOf<Mp3Page>(d, kPageMp3);
        EXPECT_FALSE(mp3->tags->editButton->isEnabled());
        mp3->tags->radios[2]->click();
        EXPECT_FALSE(mp3->id3Versions[0]->isEnabled());
        mp3->tags->radios[0]->click();
        EXPECT_TRUE(mp3->id3Versions[0]->isEnabled());
        EXPECT_TRUE(mp3->tags->editButton->isEnabled());
        dialog.Tabs()->setCurrentIndex(kPageM4a);
        auto* m4a = PageOf<AacPage>(d, kPageM4a);
        EXPECT_EQ(m4a->tags->editButton->text(), QStringLiteral("E&dit ID3 tag"));
        run.host.script = [&](QDialog& editorDialog) {
            auto& editor = static_cast<TagEditor&>(editorDialog);
            copyrightHidden = editor.copyright->isHidden();
            editor.album->setText(QStringLiteral("Album"));
            editor.buttonBox->button(QDialogButtonBox::Ok)->click();
        };
        m4a->tags->editButton->click();
        OkButton(d)->click();
    });
    EXPECT_TRUE(copyrightHidden);
    EXPECT_EQ(settings.M4ATag.Album, "Album");
    EXPECT_EQ(settings.MP3ID3TagType, 0);
    EXPECT_EQ(run.Saved().M4ATag.Album, "Album");
}

// ---- encoder pages driven directly ----

template <class PageT, class... Args>
std::unique_ptr<PageT> ShownPage(const Settings& s, Args&&... args) {
    auto page = std::make_unique<PageT>(std::forward<Args>(args)...);
    page->CopyIn(s);
    page->EnsureInitialised();
    return page;
}

Settings ManualMp3(int rate, int bitRate) {
    Settings s;
    s.AutoDestMP3EncodingParam = 0;
    s.MP3SampleRate = rate;
    s.MP3BitRate = bitRate;
    s.MP3ChannelMode = 1;
    return s;
}

TEST(Mp3PageTest, AutoKeepsTheEncodingValues) {
    Settings s = ManualMp3(22050, 64);
    s.AutoDestMP3EncodingParam = 1;
    s.MP3ChannelMode = 3;
    auto page = ShownPage<Mp3Page>(s, nullptr);
    EXPECT_EQ(page->presets->currentText(), QStringLiteral("Auto"));
    EXPECT_FALSE(page->valueList->isEnabled());
    EXPECT_FALSE(page->channelRadios[0]->isEnabled());
    EXPECT_TRUE(page->encoderLink->font().underline());
    // Moving the (disabled) lists by hand changes nothing stored while Auto is chosen.
    page->valueList->setCurrentIndex(0);
    page->channelRadios[1]->setChecked(true);
    ASSERT_TRUE(page->ReadControls());
    Settings out = s;
    page->CopyOut(out);
    EXPECT_EQ(out, s);

    // A preset fills the lists and the radio, and stores its values.
    ChooseText(page->presets, QStringLiteral("11025 Hz, 16 kbps, Mono (low quality, smaller file size)"));
    EXPECT_TRUE(page->valueList->isEnabled());
    EXPECT_EQ(page->valueList->currentText(), QStringLiteral("16 kbps"));
    EXPECT_EQ(page->rateList->currentText(), QStringLiteral("11025 Hz"));
    EXPECT_TRUE(page->channelRadios[2]->isChecked());
    ASSERT_TRUE(page->ReadControls());
    page->CopyOut(out);
    EXPECT_EQ(out.AutoDestMP3EncodingParam, 0);
    EXPECT_EQ(out.MP3BitRate, 16);
    EXPECT_EQ(out.MP3SampleRate, 11025);
    EXPECT_EQ(out.MP3ChannelMode, 3);
}

TEST(Mp3PageTest, PresetSelectionFollowsTheStoredValues) {
    Settings s = ManualMp3(32000, 96);
    EXPECT_EQ(ShownPage<Mp3Page>(s, nullptr)->presets->currentData().toInt(), 1160);
    s.MP3ChannelMode = 0;  // stereo is not a preset
    EXPECT_EQ(ShownPage<Mp3Page>(s, nullptr)->presets->currentText(), QStringLiteral("Custom"));
    s.MP3BitRate = 0;
    auto page = ShownPage<Mp3Page>(s, nullptr);
    EXPECT_EQ(page->valueList->currentText(), QStringLiteral("Same as original file"));
    s.MP3BitRate = 12;  // not in the list: first entry
    EXPECT_EQ(ShownPage<Mp3Page>(s, nullptr)->valueList->currentText(), QStringLiteral("8 kbps"));
}

TEST(Mp3PageTest, BitRateChoiceAdjustsTheSampleRate) {
    struct Case { int rate, fromBitRate; const char* choose; const char* expectRate; };
    const Case cases[] = {{44100, 128, "16 kbps", "24000 Hz"},
                          {8000, 32, "128 kbps", "16000 Hz"},
                          {22050, 64, "256 kbps", "32000 Hz"},
                          {32000, 128, "64 kbps", "32000 Hz"}};
    for (const Case& c : cases) {
        auto page = ShownPage<Mp3Page>(ManualMp3(c.rate, c.fromBitRate), nullptr);
        ChooseText(page->valueList, QString::fromLatin1(c.choose));
        EXPECT_EQ(page->rateList->currentText(), QString::fromLatin1(c.expectRate)) << c.choose;
        EXPECT_EQ(page->presets->currentText(), QStringLiteral("Custom")) << c.choose;
    }
    // "Same as original file" changes neither the rate nor the preset.
    auto page = ShownPage<Mp3Page>(ManualMp3(44100, 128), nullptr);
    ASSERT_EQ(page->presets->currentData().toInt(), 1416);
    ChooseText(page->valueList, QStringLiteral("Same as original file"));
    EXPECT_EQ(page->rateList->currentText(), QStringLiteral("44100 Hz"));
    EXPECT_EQ(page->presets->currentData().toInt(), 1416);
}

TEST(Mp3PageTest, SampleRateChoiceAdjustsTheBitRate) {
    auto page = ShownPage<Mp3Page>(ManualMp3(44100, 160), nullptr);
    ChooseText(page->rateList, QStringLiteral("11025 Hz"));
    EXPECT_EQ(page->valueList->currentText(), QStringLiteral("64 kbps"));
    EXPECT_EQ(page->presets->currentText(), QStringLiteral("Custom"));
    page = ShownPage<Mp3Page>(ManualMp3(8000, 8), nullptr);
    ChooseText(page->rateList, QStringLiteral("48000 Hz"));
    EXPECT_EQ(page->valueList->currentText(), QStringLiteral("32 kbps"));
    ASSERT_TRUE(page->ReadControls());
    Settings out;
    page->CopyOut(out);
    EXPECT_EQ(out.MP3SampleRate, 48000);
    EXPECT_EQ(out.MP3BitRate, 32);
    // A channel change selects Custom.
    page = ShownPage<Mp3Page>(ManualMp3(44100, 128), nullptr);
    page->channelRadios[1]->click();
    EXPECT_EQ(page->presets->currentText(), QStringLiteral("Custom"));
}

Settings ManualOgg(int rate, int bitRate, int channels) {
    Settings s;
    s.AutoDestOGGEncodingParam = 0;
    s.OGGSampleRate = rate;
    s.OGGBitRate = bitRate;
    s.OGGChannels = channels;
    return s;
}

TEST(OggPageTest, BitRateIsKeptInTheVorbisRange) {
    struct Case { int rate, bitRate, channels; const char* chooseRate; const char* expect; };
    const Case cases[] = {{44100, 128, 2, nullptr, "48 kbps"},  // choose 16 kbps below
                          {44100, 128, 1, nullptr, "224 kbps"},  // choose 400 kbps below
                          {44100, 320, 2, "8000 Hz", "80 kbps"}};
    {
        auto page = ShownPage<OggPage>(ManualOgg(44100, 128, 2), nullptr);
        ChooseText(page->valueList, QStringLiteral("16 kbps"));
        EXPECT_EQ(page->valueList->currentText(), QString::fromLatin1(cases[0].expect));
        EXPECT_EQ(page->presets->currentText(), QStringLiteral("Custom"));
    }
    {
        auto page = ShownPage<OggPage>(ManualOgg(44100, 128, 1), nullptr);
        ChooseText(page->valueList, QStringLiteral("400 kbps"));
        EXPECT_EQ(page->valueList->currentText(), QString::fromLatin1(cases[1].expect));
    }
    {
        auto page = ShownPage<OggPage>(ManualOgg(44100, 320, 2), nullptr);
        ChooseText(page->rateList, QStringLiteral("8000 Hz"));
        EXPECT_EQ(page->valueList->currentText(), QString::fromLatin1(cases[2].expect));
        ASSERT_TRUE(page->ReadControls());
        Settings out;
        page->CopyOut(out);
        EXPECT_EQ(out.OGGBitRate, 80);
        EXPECT_EQ(out.OGGSampleRate, 8000);
    }
    {
        auto page = ShownPage<OggPage>(ManualOgg(22050, 16, 1), nullptr);
        page->channelRadios[0]->click();  // mono to stereo
        EXPECT_EQ(page->valueList->currentText(), QStringLiteral("32 kbps"));
        EXPECT_EQ(page->presets->currentText(), QStringLiteral("Custom"));
    }
    {
        auto page = ShownPage<OggPage>(ManualOgg(44100, 128, 0), nullptr);  // same as source
        EXPECT_TRUE(page->channelRadios[2]->isChecked());
        ChooseText(page->valueList, QStringLiteral("8 kbps"));
        ChooseText(page->rateList, QStringLiteral("8000 Hz"));
        EXPECT_EQ(page->valueList->currentText(), QStringLiteral("8 kbps"));
    }
}

TEST(WavPageTest, PresetThenSampleSizeGoesToCustom) {
    Settings s;
    s.AutoDestWAVEncodingParam = 1;
    auto page = ShownPage<WavPage>(s, nullptr);
    ChooseText(page->presets, QStringLiteral("11025 Hz, 8 bits, Mono (low quality, smaller file size)"));
    EXPECT_EQ(page->valueList->currentText(), QStringLiteral("8 bits"));
    EXPECT_EQ(page->rateList->currentText(), QStringLiteral("11025 Hz"));
    EXPECT_TRUE(page->channelRadios[1]->isChecked());
    ChooseText(page->valueList, QStringLiteral("16 bits"));
    EXPECT_EQ(page->presets->currentText(), QStringLiteral("Custom"));
    EXPECT_EQ(page->rateList->currentText(), QStringLiteral("11025 Hz"));  // nothing else adjusted
    ASSERT_TRUE(page->ReadControls());
    Settings out = s;
    page->CopyOut(out);
    EXPECT_EQ(out.AutoDestWAVEncodingParam, 0);
    EXPECT_EQ(out.WAVBitsPerSample, 16);
    EXPECT_EQ(out.WAVSampleRate, 11025);
    EXPECT_EQ(out.WAVChannelNum, 1);
}

TEST(AacPageTest, QualityIsCheckedOnlyWithoutAuto) {
    FakeUiHost host;
    Settings s;
    s.AutoDestAACEncodingParam = 0;
    s.AACVBR = 1;
    s.AACVBRQuality = 5;
    auto page = ShownPage<AacPage>(s, false, &host);
    EXPECT_TRUE(page->quality->isEnabled());
    EXPECT_FALSE(page->bitRateList->isEnabled());
    EXPECT_FALSE(page->ReadControls());
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0].text, QStringLiteral("Invalid quality value. It's betwen 10 and 500."));
    EXPECT_EQ(page->FailureFocus(), page->quality->Edit());

    page->autoCheck->click();
    EXPECT_FALSE(page->quality->isEnabled());
    EXPECT_FALSE(page->blockRadios[0]->isEnabled());
    EXPECT_FALSE(page->mpegRadios[0]->isEnabled());
    EXPECT_TRUE(page->ReadControls());
    Settings out = s;
    page->CopyOut(out);
    EXPECT_EQ(out.AutoDestAACEncodingParam, 1);
    EXPECT_EQ(out.AACVBRQuality, 5);  // kept: Auto stores only the flag

    page->autoCheck->click();
    page->quality->Edit()->setText(QStringLiteral("abc"));
    EXPECT_FALSE(page->ReadControls());
    EXPECT_EQ(host.messages.back().text, QStringLiteral("Please enter an integer."));
    page->quality->SetValue(495);
    page->quality->UpButton()->click();
    EXPECT_EQ(page->quality->Edit()->text(), QStringLiteral("500"));
    page->abrRadio->click();
    EXPECT_TRUE(page->bitRateList->isEnabled());
    EXPECT_FALSE(page->quality->isEnabled());
}

TEST(AacPageTest, ResetRestoresTheDefaultsButNotTheGain) {
    Settings s;
    s.AutoDestM4AEncodingParam = 0;
    s.M4AVBR = 0;
    s.M4AABRBitRate = 64;
    s.M4AEnableTNS = 1;
    s.M4AEnableMidside = 0;
    s.M4ABlockType = 2;
    s.AmplifyM4A = 1;
    s.AmplifyM4ACoef = 250;
    auto page = ShownPage<AacPage>(s, true, nullptr);
    EXPECT_EQ(page->Caption(), QStringLiteral("MP4/M4A/M4B/M4R Options"));
    EXPECT_EQ(page->mpegRadios[0], nullptr);
    // A gain typed on the page but not yet read back survives Reset too.
    page->amplify->coefficient->SetValue(400);
    page->reset->click();
    EXPECT_EQ(page->amplify->coefficient->Value(), 400);
    EXPECT_TRUE(page->autoCheck->isChecked());
    EXPECT_TRUE(page->vbrRadio->isChecked());
    EXPECT_EQ(page->bitRateList->currentText(), QStringLiteral("128 kbps"));
    EXPECT_FALSE(page->tns->isChecked());
    EXPECT_TRUE(page->midSide->isChecked());
    EXPECT_TRUE(page->blockRadios[0]->isChecked());
    EXPECT_FALSE(page->bitRateList->isEnabled());
    page->autoCheck->click();
    ASSERT_TRUE(page->ReadControls());
    Settings out;
    page->CopyOut(out);
    EXPECT_EQ(out.M4AVBR, 1);
    EXPECT_EQ(out.M4AVBRQuality, 100);
    EXPECT_EQ(out.M4AABRBitRate, 128);
    EXPECT_EQ(out.AmplifyM4A, 1);
    EXPECT_EQ(out.AmplifyM4ACoef, 400);
}

TEST(AmplifyGroupTest, SpinStepsAndRangeMessage) {
    FakeUiHost host;
    Settings s;
    s.AmplifyWav = 0;
    s.AmplifyWavCoeff = 5;
    auto page = ShownPage<WavPage>(s, &host);
    AmplifyGroup* amp = page->amplify;
    EXPECT_FALSE(amp->coefficient->isEnabled());
    EXPECT_TRUE(page->ReadControls());  // out of range but unticked
    amp->check->click();
    EXPECT_TRUE(amp->coefficient->isEnabled());
    EXPECT_FALSE(page->ReadControls());
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0].text, QStringLiteral("Invalid amplification coefficient. It's betwen 10 and 3000."));
    EXPECT_EQ(host.messages[0].icon, MessageIcon::Warning);
    amp->coefficient->UpButton()->click();
    EXPECT_EQ(amp->coefficient->Edit()->text(), QStringLiteral("15"));
    amp->coefficient->SetValue(2995);
    amp->coefficient->UpButton()->click();
    EXPECT_EQ(amp->coefficient->Edit()->text(), QStringLiteral("3000"));
    amp->coefficient->DownButton()->click();
    EXPECT_EQ(amp->coefficient->Edit()->text(), QStringLiteral("2990"));
    ASSERT_TRUE(page->ReadControls());
    Settings out;
    page->CopyOut(out);
    EXPECT_EQ(out.AmplifyWav, 1);
    EXPECT_EQ(out.AmplifyWavCoeff, 2990);
}

TEST(WmaPageTest, FormatListFromTheProvider) {
    Settings s;
    s.AutoDestWMAEncodingParam = 0;
    s.WMASampleRate = 22050;
    s.WMABitRate = 32500;
    s.WMAChannels = 1;
    WmaFormatProvider provider = [](std::vector<WmaFormatEntry>& formats) {
        formats = {{44100, 2, 128000}, {22050, 1, 800}, {22050, 1, 32000}};
        return true;
    };
    auto page = ShownPage<WmaPage>(s, provider, nullptr);
    ASSERT_EQ(page->formatList->count(), 3);
    EXPECT_EQ(page->formatList->itemText(1), QStringLiteral("44100 Hz, 128 kbps, Stereo"));
    EXPECT_EQ(page->formatList->itemText(2), QStringLiteral("22050 Hz, 32 kbps, Mono"));
    EXPECT_EQ(page->formatList->currentIndex(), 2);
    ChooseEntry(page->formatList, 1);
    ASSERT_TRUE(page->ReadControls());
    Settings out = s;
    page->CopyOut(out);
    EXPECT_EQ(out.WMABitRate, 128000);
    EXPECT_EQ(out.WMAChannels, 2);
    EXPECT_EQ(out.WMASampleRate, 44100);

    // Without the Windows Media layer only "Auto" is offered and nothing stored changes.
    auto bare = ShownPage<WmaPage>(s, WmaFormatProvider{}, nullptr);
    ASSERT_EQ(bare->formatList->count(), 1);
    EXPECT_EQ(bare->formatList->itemText(0), QStringLiteral("Auto"));
    ASSERT_TRUE(bare->ReadControls());
    out = s;
    bare->CopyOut(out);
    EXPECT_EQ(out, s);
}

}  // namespace
}  // namespace sonavert
