#include <gtest/gtest.h>

#include <set>
#include <vector>

#include "tags/Genres.h"

namespace sonavert {
namespace {

TEST(Genres, PublishedOrderWithTheSystemsSpellings) {
    std::vector<std::string_view> names;
    for (int i = 0; i < kGenreCount; ++i) names.push_back(GenreName(i));
    std::set<std::string_view> unique(names.begin(), names.end());
    EXPECT_EQ(unique.size(), 148u);  // every slot filled, no name twice
    EXPECT_FALSE(unique.count(""));
    EXPECT_EQ(names[0], "Blues");
    EXPECT_EQ(names[12], "Other");
    EXPECT_EQ(names[40], "Alt. Rock");
    EXPECT_EQ(names[64], "Native American");
    EXPECT_EQ(names[67], "Psychadelic");
    EXPECT_EQ(names[79], "Hard Rock");
    EXPECT_EQ(names[80], "Folk");
    EXPECT_EQ(names[81], "Folk/Rock");
    EXPECT_EQ(names[84], "Fast-Fusion");
    EXPECT_EQ(names[123], "A Cappella");
    EXPECT_EQ(names[132], "BritPop");
    EXPECT_EQ(names[136], "Christian Gangsta Rap");
    EXPECT_EQ(names[144], "Trash Metal");
    EXPECT_EQ(names[145], "Anime");
    EXPECT_EQ(names[146], "Jpop");
    EXPECT_EQ(names[147], "Synthpop");
}

}  // namespace
}  // namespace sonavert
