// Reads every #include of src/ and checks that each folder includes only its own floor or the
// floors below it, so the code reads downward: ui/ and cli/ over engine/ over filelist/ over the
// codec, tag, settings and media folders over base/.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

// Floor of each top folder of src/; a folder may include folders of a lower floor and, on the one
// floor that is shared (the codec, tag, media and settings folders), each other.
const std::map<std::string, int>& Floors() {
    static const std::map<std::string, int> floors = {
        {"ui", 4},      {"cli", 4},      {"engine", 3}, {"filelist", 2}, {"sources", 1},
        {"encoders", 1}, {"tags", 1},    {"winmedia", 1}, {"settings", 1}, {"base", 0},
    };
    return floors;
}

bool MayInclude(const std::string& from, const std::string& to) {
    if (from == to) return true;
    const int a = Floors().at(from), b = Floors().at(to);
    return b < a || (a == b && a == 1);
}

TEST(Layering, EveryIncludeReadsDownward) {
    const fs::path src = fs::path(SONAVERT_SOURCE_DIR) / "src";
    const std::regex include(R"(^\s*#\s*include\s*"([^/"]+)/[^"]*")");
    std::vector<std::string> offences;
    int files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(src)) {
        if (!entry.is_regular_file()) continue;
        const std::string ext = entry.path().extension().string();
        if (ext != ".h" && ext != ".cpp") continue;
        const std::string folder = entry.path().lexically_relative(src).begin()->string();
        ASSERT_TRUE(Floors().count(folder)) << "src/" << folder << " has no floor: add it to the table";
        ++files;
        std::ifstream in(entry.path());
        std::string line;
        for (int number = 1; std::getline(in, line); ++number) {
            std::smatch m;
            if (!std::regex_search(line, m, include)) continue;
            const std::string target = m[1];
            if (!Floors().count(target)) continue;  // a header of the same folder or a library's
            if (!MayInclude(folder, target))
                offences.push_back(entry.path().lexically_relative(src).string() + ":" + std::to_string(number) +
                                   " includes " + target + "/");
        }
    }
    EXPECT_GT(files, 50);
    std::string all;
    for (const auto& o : offences) all += o + "\n";
    EXPECT_TRUE(offences.empty()) << all;
}

TEST(Layering, TheRuleItselfCatchesAnUpwardInclude) {
    EXPECT_FALSE(MayInclude("sources", "engine"));
    EXPECT_FALSE(MayInclude("base", "settings"));
    EXPECT_FALSE(MayInclude("cli", "ui"));
    EXPECT_FALSE(MayInclude("filelist", "engine"));
    EXPECT_TRUE(MayInclude("tags", "sources"));
    EXPECT_TRUE(MayInclude("engine", "filelist"));
    EXPECT_TRUE(MayInclude("ui", "base"));
}

}  // namespace
