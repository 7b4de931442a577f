#include "base/PathHelpers.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "support/TestUtil.h"

using namespace sonavert;
namespace fs = std::filesystem;

TEST(PathHelpers, FileNameAndExtensionParts) {
    EXPECT_EQ(FileNamePart("/home/u/Music/song.flac"), "song.flac");
    EXPECT_EQ(FileNamePart("song.flac"), "song.flac");
    EXPECT_EQ(FileNamePart("/home/u/"), "");
    EXPECT_EQ(FileNamePart("/home/u/Müsik/Ça va.mp3"), "Ça va.mp3");

    EXPECT_EQ(ExtensionPart("/home/u/song.flac"), ".flac");
    EXPECT_EQ(ExtensionPart("/home/u/a.tar.gz"), ".gz");
    EXPECT_EQ(ExtensionPart("song"), "");
    EXPECT_EQ(ExtensionPart("/home/u/album.2020/track"), "");  // the dot belongs to the folder
    EXPECT_EQ(ExtensionPart("/home/u/.hidden"), ".hidden");
    EXPECT_EQ(ExtensionPart("/home/u/name."), ".");
    EXPECT_EQ(ExtensionPart("/home/u/Ünïcode.ÖGG"), ".ÖGG");
    EXPECT_EQ(ExtensionPart(""), "");
}

TEST(PathHelpers, ExecutableFolderIsTheTestBinaryFolder) {
    std::string folder = ExecutableFolder();
    ASSERT_FALSE(folder.empty());
    EXPECT_EQ(folder.back(), '/');
    EXPECT_TRUE(fs::equivalent(folder, testutil::BinDir()));
    EXPECT_TRUE(fs::exists(folder + "sonavert_tests"));
}

TEST(PathHelpers, ExistenceAndSize) {
    testutil::TempDir dir;
    std::string file = dir.file("data.bin"), sub = dir.file("sub"), link = dir.file("dangling");
    ASSERT_TRUE(testutil::WriteFileBytes(file, std::vector<uint8_t>(1234, 7)));
    fs::create_directory(sub);
    fs::create_symlink(dir.file("nowhere"), link);

    EXPECT_TRUE(PathExists(file));
    EXPECT_TRUE(PathExists(sub));
    EXPECT_TRUE(PathExists(link));  // a link whose target is missing still occupies the name
    EXPECT_FALSE(PathExists(dir.file("missing")));
    EXPECT_FALSE(PathExists(""));

    EXPECT_TRUE(DirectoryExists(sub));
    EXPECT_TRUE(DirectoryExists(sub + "/"));
    EXPECT_FALSE(DirectoryExists(file));
    EXPECT_FALSE(DirectoryExists(dir.file("missing")));

    uint64_t size = 99;
    EXPECT_TRUE(FileSizeOf(file, size));
    EXPECT_EQ(size, 1234u);
    size = 99;
    EXPECT_FALSE(FileSizeOf(dir.file("missing"), size));
    EXPECT_EQ(size, 99u);

    // Sizes beyond 32 bits are reported in full (a sparse file takes no disk space).
    std::string big = dir.file("big.bin");
    { std::ofstream(big).put('x'); }
    ASSERT_EQ(truncate(big.c_str(), (5ll << 30) + 3), 0);
    EXPECT_TRUE(FileSizeOf(big, size));
    EXPECT_EQ(size, (5ull << 30) + 3);
}

TEST(PathHelpers, EnsureFolderCreatesEveryMissingLevel) {
    testutil::TempDir dir;
    std::string deep = dir.file("a/b/c");
    EXPECT_FALSE(EnsureFolder(deep, false));
    EXPECT_FALSE(fs::exists(dir.file("a")));

    EXPECT_TRUE(EnsureFolder(deep, true));
    EXPECT_TRUE(fs::is_directory(deep));
    EXPECT_TRUE(EnsureFolder(deep, false));
    EXPECT_TRUE(EnsureFolder(dir.file("a/b/c/d/"), true));  // trailing separator
    EXPECT_TRUE(fs::is_directory(dir.file("a/b/c/d")));
    EXPECT_TRUE(EnsureFolder(dir.file("x//y"), true));      // doubled separator
    EXPECT_TRUE(fs::is_directory(dir.file("x/y")));

    // A level that is a file stops the walk; nothing is created below it.
    ASSERT_TRUE(testutil::WriteFileBytes(dir.file("a/file"), {1, 2, 3}));
    EXPECT_FALSE(EnsureFolder(dir.file("a/file/sub"), true));
    EXPECT_FALSE(EnsureFolder(dir.file("a/file"), true));
    EXPECT_EQ(testutil::ReadFileBytes(dir.file("a/file")), (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_FALSE(EnsureFolder("", true));
}
