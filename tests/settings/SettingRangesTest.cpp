// The accepted values of the settings: the dialog's lists and the command line's --set read the
// same table, and every target they can ask for is one the pipelines write.
#include <gtest/gtest.h>

#include "base/AudioLimits.h"
#include "settings/SettingRanges.h"

using namespace sonavert;

TEST(SettingRanges, EveryOfferedTargetIsOneThePipelinesWrite) {
    for (const std::vector<int>* list : {&Mp3SampleRates(), &WavSampleRates()})
        for (int rate : *list) EXPECT_TRUE(TargetSampleRates().Accepts(rate)) << rate;
    // Whatever --set takes for a rate, sample size or channel count is 0 (the source's) or writable.
    for (const char* name : {"MP3SampleRate", "OGGSampleRate", "WAVSampleRate"}) {
        const SettingRange range = AcceptedRange(name);
        ASSERT_EQ(range.kind, SettingRange::Kind::Choices) << name;
        for (int32_t v : range.choices) EXPECT_TRUE(v == 0 || TargetSampleRates().Accepts(v)) << name << " " << v;
    }
    const SettingRange bits = AcceptedRange("WAVBitsPerSample");
    ASSERT_EQ(bits.kind, SettingRange::Kind::Choices);
    EXPECT_EQ(bits.choices, (std::vector<int32_t>{0, 8, 16, 24, 32}));
    // Sizes above 16 bits are written from the wide read.
    for (int32_t v : bits.choices)
        EXPECT_TRUE(v == 0 || TargetSampleBits().Accepts(v) || (v > 16 && WideTargetBits(v, false))) << v;
    for (int32_t v : {1, 2}) EXPECT_TRUE(TargetChannels().Accepts(v));
    for (int32_t v : {0, 3}) EXPECT_FALSE(TargetChannels().Accepts(v));
    // The bounds a runaway setting meets.
    EXPECT_FALSE(TargetSampleRates().Accepts(0));
    EXPECT_FALSE(TargetSampleRates().Accepts(768001));
    EXPECT_FALSE(TargetSampleRates().Accepts(0x7fffffff));
    EXPECT_FALSE(TargetSampleBits().Accepts(24));
    EXPECT_EQ(TargetSampleRates().Describe(), "1 to 768000");
}

TEST(SettingRanges, SetCheckedStoresOnlyAcceptedValues) {
    Settings s;
    std::string accepted;
    EXPECT_EQ(SetChecked(s, "wavsamplerate", "22050", accepted), SetOutcome::Set);
    EXPECT_EQ(s.WAVSampleRate, 22050);
    // A rate the list does not offer, a runaway one and a non-number leave the record as it was.
    for (const char* value : {"22051", "2147483647", "0x7fffffff", "", "22050 "}) {
        EXPECT_EQ(SetChecked(s, "WAVSampleRate", value, accepted), SetOutcome::Refused) << value;
        EXPECT_EQ(s.WAVSampleRate, 22050) << value;
    }
    EXPECT_EQ(accepted, "0, 6000, 8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000, 88200, 96000");
    EXPECT_EQ(SetChecked(s, "WAVBitsPerSample", "20", accepted), SetOutcome::Refused);
    EXPECT_EQ(SetChecked(s, "WAVBitsPerSample", "24", accepted), SetOutcome::Set);
    EXPECT_EQ(SetChecked(s, "WAVSampleFormat", "1", accepted), SetOutcome::Set);
    EXPECT_EQ(SetChecked(s, "WAVSampleFormat", "2", accepted), SetOutcome::Refused);
    EXPECT_EQ(s.WAVSampleFormat, 1);
    // Booleans take words; a tag set's number fields have their own ranges; texts take anything.
    EXPECT_EQ(SetChecked(s, "AmplifyWav", "On", accepted), SetOutcome::Set);
    EXPECT_EQ(s.AmplifyWav, 1);
    EXPECT_EQ(SetChecked(s, "AmplifyWav", "2", accepted), SetOutcome::Refused);
    EXPECT_EQ(SetChecked(s, "MP3Tag/CustomTrackNum", "256", accepted), SetOutcome::Refused);
    EXPECT_EQ(SetChecked(s, "MP3Tag/CustomTrackNum", "+12", accepted), SetOutcome::Set);
    EXPECT_EQ(s.MP3Tag.CustomTrackNum, 12);
    EXPECT_EQ(SetChecked(s, "MP3Tag/Artist", "Any\ttext", accepted), SetOutcome::Set);
    EXPECT_EQ(SetChecked(s, "NoSuchSetting", "1", accepted), SetOutcome::UnknownName);
}
