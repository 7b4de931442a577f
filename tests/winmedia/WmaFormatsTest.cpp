// Choosing a Windows Media format from a list, building the list from codec formats, and the
// writer's time stamps.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "winmedia/WindowsMediaWriter.h"
#include "winmedia/WmaFormats.h"

using namespace sonavert;

namespace {

WmaFormatList Stereo(std::initializer_list<std::pair<uint32_t, uint32_t>> rateAndBits) {
    WmaFormatList list;
    for (auto [rate, bits] : rateAndBits) list.push_back({kWmaSubtypeV9, rate, 2, bits});
    return list;
}

uint32_t ChosenBits(const WmaFormatList& list, uint32_t rate, uint32_t bits, uint32_t ch, uint32_t* chosenRate = nullptr) {
    WmaFormat f;
    if (!ChooseWmaFormat(list, rate, bits, ch, f)) return 0;
    if (chosenRate) *chosenRate = f.sampleRate;
    return f.bitRate;
}

}  // namespace

TEST(ChooseWmaFormat, NearerBitRateAtTheRequestedRateAndTheHigherOnATie) {
    EXPECT_EQ(ChosenBits(Stereo({{44100, 96000}, {44100, 128000}}), 44100, 100000, 2), 96000u);
    EXPECT_EQ(ChosenBits(Stereo({{44100, 80000}, {44100, 120000}}), 44100, 100000, 2), 120000u);
    EXPECT_EQ(ChosenBits(Stereo({{44100, 96000}, {44100, 128000}}), 44100, 128000, 2), 128000u);
    // Only lower bit rates at the rate, then a higher rate: the highest at the rate.
    EXPECT_EQ(ChosenBits(Stereo({{44100, 64000}, {44100, 96000}, {48000, 128000}}), 44100, 192000, 2), 96000u);
    // A lower-rate entry remembered does not beat a higher one at the rate.
    EXPECT_EQ(ChosenBits(Stereo({{32000, 99000}, {44100, 128000}}), 44100, 100000, 2), 128000u);
}

TEST(ChooseWmaFormat, MissingRatesAndChannels) {
    uint32_t rate = 0;
    // No entry at 44100: the lowest bit rate of the first higher rate.
    EXPECT_EQ(ChosenBits(Stereo({{32000, 48000}, {32000, 96000}, {48000, 96000}, {48000, 192000}}), 44100, 128000, 2,
                         &rate),
              96000u);
    EXPECT_EQ(rate, 48000u);
    // Above every rate: the last entry of the highest lower rate.
    EXPECT_EQ(ChosenBits(Stereo({{32000, 48000}, {44100, 64000}, {44100, 192000}}), 96000, 128000, 2, &rate), 192000u);
    EXPECT_EQ(rate, 44100u);
    // Entries of the other channel count are ignored; none of the count fails.
    EXPECT_EQ(ChosenBits(Stereo({{44100, 64000}, {44100, 128000}}), 44100, 64000, 1), 0u);
    WmaFormatList mixed = Stereo({{44100, 64000}});
    mixed.push_back({kWmaSubtypeV9, 44100, 1, 48000});
    EXPECT_EQ(ChosenBits(mixed, 44100, 64000, 1), 48000u);
    EXPECT_EQ(ChosenBits({}, 44100, 64000, 2), 0u);
}

TEST(BuildWmaFormatList, FiltersOrdersAndDropsDuplicates) {
    std::vector<WmaCodecFormat> codecs = {
        {{kWmaSubtypeV9, 44100, 2, 128000}, "WMA 9, 128 kbps, 44 kHz, stereo"},
        {{kWmaSubtypeV9, 44100, 2, 96000}, "WMA 9, 96 kbps, 44 kHz, stereo (a/v)"},
        {{kWmaSubtypeV8, 22050, 1, 32000}, "WMA 8, 32 kbps, 22 kHz, mono"},
        {{kWmaSubtypeOther, 44100, 2, 64000}, "voice"},
        {{kWmaSubtypeV9, 48000, 6, 384000}, "WMA 9, 5.1"},
        {{kWmaSubtypeV9, 44100, 1, 128000}, "WMA 9, 128 kbps, 44 kHz, mono"},
        {{kWmaSubtypeV8, 44100, 2, 64000}, "WMA 8, 64 kbps, 44 kHz, stereo"},
        // The same rate, bit rate and channels as an earlier entry, behind one of another count.
        {{kWmaSubtypeV8, 44100, 2, 128000}, "WMA 8, 128 kbps, 44 kHz, stereo"},
    };
    WmaFormatList list = {{kWmaSubtypeV9, 8000, 1, 24000}};  // emptied first
    BuildWmaFormatListFrom(codecs, list);
    ASSERT_EQ(list.size(), 4u);
    EXPECT_EQ(list[0].sampleRate, 22050u);
    EXPECT_EQ(list[1].bitRate, 64000u);
    EXPECT_EQ(list[2].bitRate, 128000u);
    EXPECT_EQ(list[3].bitRate, 128000u);
    EXPECT_NE(list[2].channels, list[3].channels);
    EXPECT_EQ(list[2].subtype == kWmaSubtypeV9 || list[3].subtype == kWmaSubtypeV9, true);
}

TEST(BuildWmaFormatList, OwnTableCoversTheAutomaticRequests) {
    WmaFormatList list;
    ASSERT_TRUE(BuildWmaFormatList(list));
    ASSERT_FALSE(list.empty());
    for (size_t i = 1; i < list.size(); ++i) {
        const bool ordered = list[i - 1].sampleRate < list[i].sampleRate ||
                             (list[i - 1].sampleRate == list[i].sampleRate && list[i - 1].bitRate <= list[i].bitRate);
        EXPECT_TRUE(ordered) << i;
    }
    for (const WmaFormat& f : list) {
        EXPECT_GE(f.sampleRate, 8000u);
        EXPECT_LE(f.sampleRate, 48000u);
        EXPECT_GE(f.bitRate, 24000u);
        EXPECT_LE(f.bitRate, 3 * f.sampleRate * f.channels);
    }
    WmaFormat f;
    EXPECT_TRUE(ChooseWmaFormat(list, 44100, 128000, 2, f));
    EXPECT_EQ(f.bitRate, 128000u);
    EXPECT_TRUE(ChooseWmaFormat(list, 22050, 20000, 1, f));
    EXPECT_TRUE(ChooseWmaFormat(list, 48000, 192000, 2, f));
}

TEST(WindowsMediaWriter, TimeStampGrowsByTruncatedFrameTime) {
    WmaFormatList list;
    ASSERT_TRUE(BuildWmaFormatList(list));
    WmaFormat f;
    ASSERT_TRUE(ChooseWmaFormat(list, 44100, 128000, 2, f));
    char tmpl[] = "/tmp/wmts-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string path = std::string(tmpl) + "/t.wma";
    WindowsMediaWriter w;
    w.SetOutputFile(path);
    w.SetInputFormat(44100, 16, 2);
    w.SetStreamFormat(&f, f.bitRate);
    ASSERT_TRUE(w.Begin()) << w.FailureReason();
    std::vector<int16_t> zeros(1152);
    ASSERT_TRUE(w.WriteSamples16(zeros.data(), zeros.data(), 1152));
    EXPECT_EQ(w.TimeStamp(), 261224u);
    ASSERT_TRUE(w.WriteSamples16(zeros.data(), zeros.data(), 1152));
    EXPECT_EQ(w.TimeStamp(), 2 * 261224u);
    EXPECT_TRUE(w.End());
    EXPECT_EQ(w.TimeStamp(), 0u);
    std::remove(path.c_str());
    rmdir(tmpl);
}

TEST(WindowsMediaWriter, FailedBeginLeavesNothing) {
    char tmpl[] = "/tmp/wmtb-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string path = std::string(tmpl) + "/t.wma";
    WindowsMediaWriter w;
    w.SetOutputFile(path);
    w.SetInputFormat(44100, 16, 2);
    EXPECT_FALSE(w.Begin());  // no stream format
    EXPECT_FALSE(w.FailureReason().empty());
    WmaFormat bad{kWmaSubtypeV9, 44100, 2, 1000};  // far below what the encoder takes
    w.SetOutputFile(path);
    w.SetInputFormat(44100, 16, 2);
    w.SetStreamFormat(&bad, bad.bitRate);
    EXPECT_FALSE(w.Begin());
    EXPECT_FALSE(w.IsWriting());
    EXPECT_FALSE(std::filesystem::exists(path));
    // Back in the initial state: without new setters nothing begins.
    EXPECT_FALSE(w.Begin());
    rmdir(tmpl);
}
