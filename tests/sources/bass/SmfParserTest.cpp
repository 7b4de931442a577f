#include <gtest/gtest.h>

#include <vector>

#include "sources/bass/SmfParser.h"

using namespace sonavert::bass;

namespace {

std::vector<uint8_t> Bytes(std::initializer_list<int> list) {
    std::vector<uint8_t> out;
    for (int b : list) out.push_back(static_cast<uint8_t>(b));
    return out;
}

// A format 0 file of 96 ticks per quarter: one note lasting a quarter at the default tempo.
std::vector<uint8_t> Format0() {
    return Bytes({'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 0, 0, 1, 0, 96,  //
                  'M', 'T', 'r', 'k', 0, 0, 0, 12, 0, 0x90, 0x40, 0x50, 96, 0x80, 0x40, 0, 0, 0xFF, 0x2F, 0});
}

TEST(SmfParser, PlainAndWrappedFilesAndTheirLength) {
    std::vector<uint8_t> smf = Format0();
    size_t size = smf.size();
    ASSERT_EQ(FindSmf(smf.data(), size), smf.data());
    SmfTiming t = ParseSmfTiming(smf.data(), size);
    ASSERT_TRUE(t.valid);
    EXPECT_EQ(t.endTick, 96u);
    EXPECT_DOUBLE_EQ(t.seconds, 0.5);  // a quarter at 120 beats per minute

    // The same file inside a RIFF RMID wrapper, after an odd chunk with its pad byte.
    std::vector<uint8_t> riff = Bytes({'R', 'I', 'F', 'F', 0, 0, 0, 0, 'R', 'M', 'I', 'D',  //
                                       'L', 'I', 'S', 'T', 3, 0, 0, 0, 1, 2, 3, 0,           //
                                       'd', 'a', 't', 'a', static_cast<int>(smf.size()), 0, 0, 0});
    riff.insert(riff.end(), smf.begin(), smf.end());
    size = riff.size();
    const uint8_t* inner = FindSmf(riff.data(), size);
    ASSERT_EQ(inner, riff.data() + 32);
    EXPECT_EQ(size, smf.size());
}

TEST(SmfParser, OddLastChunkWithoutDataEndsTheSearch) {
    // The last chunk is odd-sized and fills the file exactly: its pad byte lies past the end.
    std::vector<uint8_t> riff = Bytes({'R', 'I', 'F', 'F', 0, 0, 0, 0, 'R', 'M', 'I', 'D',  //
                                       'd', 'c', 't', 'a', 5, 0, 0, 0, 1, 2, 3, 4, 5});
    size_t size = riff.size();
    EXPECT_EQ(FindSmf(riff.data(), size), nullptr);
    EXPECT_EQ(size, 0u);
    // A data chunk that claims more than the file holds is cut to what is there.
    std::vector<uint8_t> cut = Bytes({'R', 'I', 'F', 'F', 0, 0, 0, 0, 'R', 'M', 'I', 'D',  //
                                      'd', 'a', 't', 'a', 100, 0, 0, 0, 'M', 'T'});
    size = cut.size();
    EXPECT_EQ(FindSmf(cut.data(), size), cut.data() + 20);
    EXPECT_EQ(size, 2u);
    EXPECT_FALSE(ParseSmfTiming(cut.data() + 20, size).valid);
}

}  // namespace

// The rewrite keeps every event of every track that is there, in tick order, with explicit status
// bytes, and merges the tracks past the limit into the last one.
TEST(SmfParser, RewriteMergesTracksPastTheLimit) {
    auto track = [](std::vector<uint8_t> events) {
        std::vector<uint8_t> t = {'M', 'T', 'r', 'k', 0, 0, 0, static_cast<uint8_t>(events.size())};
        t.insert(t.end(), events.begin(), events.end());
        return t;
    };
    std::vector<uint8_t> smf = Bytes({'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 1, 0, 4, 0, 96});  // counts one too many
    for (auto t : {track({0, 0xFF, 0x2F, 0}), track({10, 0x90, 60, 100, 10, 62, 100, 0, 0xFF, 0x2F, 0}),
                   track({5, 0x91, 64, 100, 0, 0xFF, 0x2F, 0})})
        smf.insert(smf.end(), t.begin(), t.end());
    std::vector<uint8_t> out = RewriteSmf(smf.data(), smf.size(), 2);
    std::vector<uint8_t> expected = Bytes({'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 1, 0, 2, 0, 96,  //
                                           'M', 'T', 'r', 'k', 0, 0, 0, 4, 0, 0xFF, 0x2F, 0,    //
                                           'M', 'T', 'r', 'k', 0, 0, 0, 16, 5, 0x91, 64, 100, 5, 0x90, 60, 100, 10,
                                           0x90, 62, 100, 0, 0xFF, 0x2F, 0});
    EXPECT_EQ(out, expected);
    SmfTiming t = ParseSmfTiming(out.data(), out.size());
    EXPECT_EQ(t.notes, 3u);
    EXPECT_EQ(t.endTick, 20u);
}
