// The HTML manual the help window shows: it must sit beside the executables as the current copy of
// its source, be well-formed enough for the rich-text viewer (balanced elements, known entities,
// every in-page link landing on an anchor), and cover every output format.
#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "engine/OutputFormats.h"
#include "settings/SettingsStore.h"
#include "support/TestUtil.h"

using namespace sonavert;
namespace fs = std::filesystem;

namespace {

std::string ReadText(const fs::path& path) {
    std::vector<uint8_t> bytes = testutil::ReadFileBytes(path.string());
    return std::string(bytes.begin(), bytes.end());
}

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// What a scan of the manual found: structural errors, anchor names and in-page link targets.
struct HtmlScan {
    std::vector<std::string> errors;
    std::multiset<std::string> anchors;
    std::set<std::string> fragmentLinks;
    std::set<std::string> fileLinks;
};

HtmlScan Scan(const std::string& html) {
    static const std::set<std::string> kVoid = {"br", "hr", "img", "meta", "link", "col", "input", "area", "base"};
    static const std::set<std::string> kEntities = {"amp", "lt", "gt", "quot", "nbsp", "mdash", "ndash", "micro"};
    static const std::regex kAttribute(R"re(([A-Za-z-]+)\s*=\s*"([^"]*)")re");
    HtmlScan scan;
    std::vector<std::string> open;
    size_t i = 0;
    while (i < html.size()) {
        if (html.compare(i, 4, "<!--") == 0) {
            size_t end = html.find("-->", i + 4);
            if (end == std::string::npos) {
                scan.errors.push_back("unterminated comment");
                break;
            }
            i = end + 3;
        } else if (html.compare(i, 2, "<!") == 0) {
            i = html.find('>', i);
            if (i == std::string::npos) break;
            ++i;
        } else if (html[i] == '<') {
            size_t end = html.find('>', i);
            if (end == std::string::npos) {
                scan.errors.push_back("unterminated tag at " + std::to_string(i));
                break;
            }
            std::string tag = html.substr(i + 1, end - i - 1);
            bool closing = !tag.empty() && tag[0] == '/';
            size_t nameStart = closing ? 1 : 0, nameEnd = nameStart;
            while (nameEnd < tag.size() && std::isalnum(static_cast<unsigned char>(tag[nameEnd]))) ++nameEnd;
            std::string name = Lower(tag.substr(nameStart, nameEnd - nameStart));
            if (name.empty()) {
                scan.errors.push_back("stray '<' at " + std::to_string(i));
            } else if (closing) {
                if (open.empty() || open.back() != name)
                    scan.errors.push_back("</" + name + "> closes <" + (open.empty() ? "nothing" : open.back()) + ">");
                else
                    open.pop_back();
            } else {
                for (std::sregex_iterator a(tag.begin(), tag.end(), kAttribute), e; a != e; ++a) {
                    std::string attribute = Lower((*a)[1]), value = (*a)[2];
                    if (attribute == "name" || attribute == "id") scan.anchors.insert(value);
                    if (attribute == "href") {
                        if (value.rfind("#", 0) == 0)
                            scan.fragmentLinks.insert(value.substr(1));
                        else if (value.find(':') == std::string::npos)
                            scan.fileLinks.insert(value);
                    }
                }
                if (name == "script") scan.errors.push_back("script element");
                if (!kVoid.count(name)) open.push_back(name);
            }
            i = end + 1;
        } else if (html[i] == '&') {
            size_t end = html.find(';', i);
            std::string entity = end == std::string::npos ? std::string() : html.substr(i + 1, end - i - 1);
            bool numeric = entity.size() > 1 && entity[0] == '#' &&
                           entity.find_first_not_of("0123456789", 1) == std::string::npos;
            if (!numeric && !kEntities.count(entity)) scan.errors.push_back("bad entity at " + std::to_string(i));
            ++i;
        } else {
            ++i;
        }
    }
    for (const std::string& name : open)
        if (name != "html" && name != "body") scan.errors.push_back("<" + name + "> is never closed");
    if (!open.empty() && open.front() != "html") scan.errors.push_back("document does not end inside <html>");
    return scan;
}

fs::path BuiltManual() { return fs::path(testutil::BinDir()) / kHelpFileName; }

}  // namespace

TEST(ManualTest, SitsBesideTheExecutablesAsTheCurrentSource) {
    ASSERT_TRUE(fs::is_regular_file(BuiltManual())) << BuiltManual();
    const fs::path source = fs::path(SONAVERT_SOURCE_DIR) / "docs" / "manual" / "sonavert.html";
    EXPECT_EQ(ReadText(BuiltManual()), ReadText(source)) << "the copy beside the executables is stale";
}

TEST(ManualTest, IsWellFormedAndEveryLinkLands) {
    const std::string html = ReadText(BuiltManual());
    ASSERT_GT(html.size(), 10000u);
    HtmlScan scan = Scan(html);
    EXPECT_TRUE(scan.errors.empty()) << scan.errors.front();

    // Every table-of-contents and cross-reference link has its anchor, and no anchor is doubled.
    EXPECT_GE(scan.fragmentLinks.size(), 30u);
    for (const std::string& target : scan.fragmentLinks) EXPECT_EQ(scan.anchors.count(target), 1u) << "#" << target;
    for (const std::string& anchor : scan.anchors) EXPECT_EQ(scan.anchors.count(anchor), 1u) << anchor;
    // Local files the manual refers to (style sheets, pictures) ship beside it.
    for (const std::string& file : scan.fileLinks) EXPECT_TRUE(fs::exists(BuiltManual().parent_path() / file)) << file;

    // The scanner itself notices the faults it is meant to catch.
    EXPECT_FALSE(Scan("<html><body><p>a <b>b</p></b></body></html>").errors.empty());
    EXPECT_FALSE(Scan("<html><body><p>Q & A</p></body></html>").errors.empty());
    EXPECT_TRUE(Scan("<html><body><p>Q &amp; A<br></p></body></html>").errors.empty());
}

TEST(ManualTest, CoversEveryOutputFormatAndTheCommandLine) {
    const std::string html = ReadText(BuiltManual());
    for (const OutputFormatInfo& format : OutputFormats()) {
        EXPECT_NE(html.find(std::string("to ") + format.name), std::string::npos) << format.name;
        EXPECT_NE(html.find(format.extension), std::string::npos) << format.extension;
    }
    for (const char* text : {"Conversion Failure", "Target exists and skipped",
                             "Failure. Requires file \"ct4mgm.sf2\".", "Cancelled", "sonavert-cli", "--output-dir",
                             "Sonavert.ini", "Ctrl+O", "F1", "Target is up to date", "--update", "--json",
                             "--shard K/N", "KeepAddedFolderTree", "TargetNamePattern"})
        EXPECT_NE(html.find(text), std::string::npos) << text;
    // The manual speaks of this program on this desktop only.
    const std::string lower = Lower(html);
    for (const char* word : {"windows", "registry", ".chm", "explorer"})
        EXPECT_EQ(lower.find(word), std::string::npos) << word;
    // The General page's texts as the page shows them, with this platform's paths.
    for (const char* text : {"Output files to the Documents folder if creating file failure",
                             "<code>/home/user/Music/pop/1.mp3</code>", "<code>/home/user/Output</code>",
                             "<code>/home/user/Output/home/user/Music/pop</code>"})
        EXPECT_NE(html.find(text), std::string::npos) << text;
    for (const char* text : {"my documents", "c:\\", "d:\\"}) EXPECT_EQ(lower.find(text), std::string::npos) << text;
}

// The README's picture of the main window is committed, and the README names what it shows.
TEST(ReadmeTest, ShowsTheMainWindowAndSaysWhereTargetsGo) {
    const fs::path root(SONAVERT_SOURCE_DIR);
    const std::string readme = ReadText(root / "README.md");
    const size_t image = readme.find("](docs/main-window.png)");
    ASSERT_NE(image, std::string::npos);
    const std::vector<uint8_t> png = testutil::ReadFileBytes((root / "docs" / "main-window.png").string());
    ASSERT_GT(png.size(), 8u);
    EXPECT_EQ(std::string(png.begin() + 1, png.begin() + 4), "PNG");
    for (const char* text : {"## What it reads and writes", "## Where converted files go", "## The Status column",
                             "Documents folder", "Conversion Failure", "sonavert FILE...", "Target is up to date",
                             "parallel --sshlogin", "--shard \"$SLURM_ARRAY_TASK_ID/$SLURM_ARRAY_TASK_COUNT\"",
                             "--array=1-"})
        EXPECT_NE(readme.find(text), std::string::npos) << text;
    for (const OutputFormatInfo& format : OutputFormats()) {
        std::string upper = format.extension + 1;  // ".mp3" -> "MP3"
        for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        EXPECT_NE(readme.find(upper), std::string::npos) << upper;
    }
}
