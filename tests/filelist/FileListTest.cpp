#include "filelist/FileList.h"

#include <gtest/gtest.h>

#include "filelist/ExtensionTable.h"
#include "sources/SourceTypes.h"

using namespace sonavert;

namespace {

struct RecordingSink : MessageSink {
    std::vector<std::pair<MessageIcon, std::string>> messages;
    void ShowMessage(MessageIcon icon, const std::string& text) override { messages.push_back({icon, text}); }
};

std::unique_ptr<FileEntry> Entry(const std::string& path, uint32_t duration, uint32_t kbps, uint32_t hz,
                                 uint32_t channels, int type = kSourceWav, int32_t mode = kModeNone) {
    auto e = std::make_unique<FileEntry>();
    e->sourcePath = path;
    e->duration = duration;
    e->bitRate = kbps;
    e->sampleRate = hz;
    e->storedChannels = channels;
    e->sourceType = static_cast<uint16_t>(type);
    e->channelMode = mode;
    return e;
}

std::vector<std::string> Column(const FileList& list, int column) {
    std::vector<std::string> cells;
    for (int r = 0; r < list.RowCount(); ++r) cells.push_back(list.CellText(r, column));
    return cells;
}

}  // namespace

TEST(ExtensionTable, Codes) {
    EXPECT_EQ(SourceTypeForExtension(".WAVE"), 2000);
    EXPECT_EQ(SourceTypeForExtension(".mp+"), 3700);
    EXPECT_EQ(SourceTypeForExtension(".m4b"), 6500);
    EXPECT_EQ(SourceTypeForExtension(".flv"), 9000);
    EXPECT_EQ(SourceTypeForPath("/music/Album.FLAC/track"), 9000);  // the dot belongs to the folder
    EXPECT_EQ(SourceTypeForPath("/music/a.b/Track.AIFC"), 5100);
}

TEST(FileListTexts, CellsOfARow) {
    EXPECT_EQ(DurationText(3725), "1:02:05");
    EXPECT_EQ(DurationText(36000), "10:00:00");
    EXPECT_EQ(DurationText(3599), "59:59");
    EXPECT_EQ(DurationText(65), "01:05");
    EXPECT_EQ(DurationText(0), "");
    EXPECT_EQ(BitRateText(128), "128 kbps");
    EXPECT_EQ(BitRateText(0), "");
    EXPECT_EQ(SampleRateText(44100), "44100 Hz");
    EXPECT_EQ(SampleRateText(0), "");

    // MP3 rows show the MPEG channel mode, others the stored channel count.
    const char* modes[] = {"Stereo", "J-Stereo", "Dual Channel", "Mono", ""};
    for (int32_t m = 0; m <= 4; ++m)
        EXPECT_EQ(ChannelsText(*Entry("a.mp3", 1, 1, 1, 2, kSourceMp3, m)), modes[m]);
    const char* counts[] = {"Mono", "Mono", "Stereo", "3", "4", "5", "5.1", "7", "8"};
    for (uint32_t c = 0; c <= 8; ++c) EXPECT_EQ(ChannelsText(*Entry("a.flac", 1, 1, 1, c, kSourceFlac)), counts[c]);

    FileList list;
    int row = list.InsertRow(Entry("/m/Ünï/song name.flac", 3725, 900, 48000, 6, kSourceFlac));
    EXPECT_EQ(row, 0);
    EXPECT_EQ(list.CellText(0, kColumnFile), "song name.flac");
    EXPECT_EQ(list.CellText(0, kColumnDuration), "1:02:05");
    EXPECT_EQ(list.CellText(0, kColumnBitRate), "900 kbps");
    EXPECT_EQ(list.CellText(0, kColumnFrequency), "48000 Hz");
    EXPECT_EQ(list.CellText(0, kColumnChannels), "5.1");
    EXPECT_EQ(list.CellText(0, kColumnStatus), "");
    list.SetStatus(0, "song name.mp3");
    EXPECT_EQ(list.CellText(0, kColumnStatus), "song name.mp3");
}

TEST(FileListSort, DirectionKindsAndSelection) {
    FileList list;
    list.InsertRow(Entry("/m/c.wav", 3725, 320, 44100, 2));
    list.InsertRow(Entry("/m/a.wav", 65, 64, 8000, 1));
    list.InsertRow(Entry("/m/d.wav", 0, 0, 0, 2));
    list.InsertRow(Entry("/m/b.wav", 600, 128, 22050, 2));
    list.SetSelected(1, true);  // a.wav

    list.SortByColumn(kColumnBitRate);
    EXPECT_TRUE(list.SortAscending());
    EXPECT_EQ(Column(list, kColumnBitRate), (std::vector<std::string>{"", "64 kbps", "128 kbps", "320 kbps"}));
    list.SortByColumn(kColumnBitRate);
    EXPECT_FALSE(list.SortAscending());
    EXPECT_EQ(Column(list, kColumnBitRate), (std::vector<std::string>{"320 kbps", "128 kbps", "64 kbps", ""}));
    // Another column starts ascending; numbers compare by value, not as text.
    list.SortByColumn(kColumnFrequency);
    EXPECT_TRUE(list.SortAscending());
    EXPECT_EQ(list.SortColumn(), kColumnFrequency);
    EXPECT_EQ(Column(list, kColumnFrequency), (std::vector<std::string>{"", "8000 Hz", "22050 Hz", "44100 Hz"}));

    // Durations order by their full value: an hour-long row after a ten-minute one, empty first.
    list.SortByColumn(kColumnDuration);
    EXPECT_EQ(Column(list, kColumnDuration), (std::vector<std::string>{"", "01:05", "10:00", "1:02:05"}));
    list.SortByColumn(kColumnDuration);
    EXPECT_EQ(Column(list, kColumnDuration), (std::vector<std::string>{"1:02:05", "10:00", "01:05", ""}));

    list.SortByColumn(kColumnFile);
    EXPECT_EQ(Column(list, kColumnFile), (std::vector<std::string>{"a.wav", "b.wav", "c.wav", "d.wav"}));

    // The selection moved with its row, and the row sets report current indices.
    RowSet selected = list.SelectedRows();
    ASSERT_EQ(selected.rows, std::vector<int>{0});
    EXPECT_EQ(selected.entries[0]->sourcePath, "/m/a.wav");
    RowSet all = list.AllRows();
    EXPECT_EQ(all.rows, (std::vector<int>{0, 1, 2, 3}));
    EXPECT_EQ(all.entries[3]->sourcePath, "/m/d.wav");
}

TEST(FileListRemove, MessagesRowsAndIndex) {
    FileList list;
    RecordingSink sink;
    EXPECT_EQ(list.RemoveAll(sink), 0);
    EXPECT_EQ(list.RemoveSelected(sink), 0);
    ASSERT_EQ(sink.messages.size(), 2u);
    EXPECT_EQ(sink.messages[0].first, MessageIcon::Information);
    EXPECT_EQ(sink.messages[0].second, "There aren't files in list.");
    EXPECT_EQ(sink.messages[1].second, "You should select a file at least.");

    for (const char* name : {"/m/a.wav", "/m/b.wav", "/m/c.wav", "/m/d.wav"})
        list.InsertRow(Entry(name, 1, 1, 1, 1));
    EXPECT_EQ(list.RemoveSelected(sink), 0);  // rows, but none selected
    EXPECT_EQ(sink.messages.size(), 3u);
    EXPECT_EQ(list.RowCount(), 4);

    list.SetSelected(1, true);
    list.SetSelected(3, true);
    EXPECT_EQ(list.RemoveSelected(sink), 2);
    EXPECT_EQ(sink.messages.size(), 3u);
    EXPECT_EQ(Column(list, kColumnFile), (std::vector<std::string>{"a.wav", "c.wav"}));
    EXPECT_FALSE(list.Contains("/m/b.wav"));
    EXPECT_TRUE(list.Contains("/m/c.wav"));
    EXPECT_TRUE(list.SelectedRows().rows.empty());

    EXPECT_EQ(list.RemoveAll(sink), 2);
    EXPECT_EQ(list.RowCount(), 0);
    EXPECT_FALSE(list.Contains("/m/a.wav"));
    EXPECT_EQ(sink.messages.size(), 3u);
}
