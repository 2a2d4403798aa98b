// CFileFind over the real file system: what a pattern yields, and the full
// paths built from it.
#include <gtest/gtest.h>

#include <filesystem>

#include "../../platform/CFileFind.h"
#include "../../platform/PathMatch.h"
#include "TestSupport.h"

namespace {

// Names that the pattern yields, dots left out, in the order yielded.
std::vector<std::string> Names(const std::string& pattern) {
    std::vector<std::string> names;
    CFileFind finder;
    if (!finder.FindFile(CString(pattern))) return names;
    BOOL more;
    do {
        more = finder.FindNextFile();
        if (!finder.IsDots()) names.push_back(finder.GetFileName().str() + (finder.IsDirectory() ? "/" : ""));
    } while (more);
    return names;
}

class Search : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* f : {"a.dbr", "B.DBR", "c.txt", "noext", ".hidden.dbr", "ab.dbrx", "x y.dbr"})
            dir.Write(f, "");
        dir.MakeDir("Sub");
    }
    std::string P(const std::string& rest) const { return dir.Path(rest); }
    TempDir dir;
};

TEST_F(Search, WildcardsInTheLastComponent) {
    const struct {
        std::string pattern;
        std::vector<std::string> names;
    } cases[] = {
        {"*.*", {".hidden.dbr", "a.dbr", "ab.dbrx", "B.DBR", "c.txt", "noext", "Sub/", "x y.dbr"}},
        {"*", {".hidden.dbr", "a.dbr", "ab.dbrx", "B.DBR", "c.txt", "noext", "Sub/", "x y.dbr"}},
#ifdef _WIN32
        // Windows also matches three-letter extensions through short names.
        {"*.dbr", {".hidden.dbr", "a.dbr", "ab.dbrx", "B.DBR", "x y.dbr"}},
#else
        {"*.dbr", {".hidden.dbr", "a.dbr", "B.DBR", "x y.dbr"}},
#endif
        {"?.dbr", {"a.dbr", "B.DBR"}},
        {"A*", {"a.dbr", "ab.dbrx"}},
        {"sub", {"Sub/"}},  // plain names only as the system compares them
        {"*.none", {}},
        {"missing", {}},
        {"", {}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> got = Names(c.pattern.empty() ? "" : P(c.pattern));
#ifndef _WIN32
        if (c.pattern == "sub") continue;  // names are compared exactly here
#endif
        EXPECT_EQ(got, c.names) << c.pattern;
    }
}

TEST_F(Search, TrailingSeparatorMatchesNothing) {
    EXPECT_TRUE(Names(P("Sub") + kPathSeparator).empty());
    EXPECT_EQ(Names(P("Sub")), std::vector<std::string>{"Sub/"});
}

TEST_F(Search, FullPathsAreAbsoluteAndFolded) {
    std::string sep(1, kPathSeparator);
    const struct {
        std::string pattern;
        std::string path;
    } cases[] = {
        {P("a.dbr"), P("a.dbr")},
        {P("Sub") + sep + ".." + sep + "a.dbr", P("a.dbr")},
        {P("Sub") + sep + "." + sep + ".." + sep + "a*.dbr", P("a.dbr")},
    };
    for (const auto& c : cases) {
        CFileFind finder;
        ASSERT_TRUE(finder.FindFile(CString(c.pattern))) << c.pattern;
        finder.FindNextFile();
        EXPECT_EQ(finder.GetFilePath().str(), c.path) << c.pattern;
    }

    // Relative patterns are taken from the current directory.
    auto saved = std::filesystem::current_path();
    std::filesystem::current_path(P("Sub"));
    CFileFind finder;
    EXPECT_TRUE(finder.FindFile(CString(std::string("..") + sep + "c.txt")));
    finder.FindNextFile();
    EXPECT_EQ(finder.GetFilePath().str(), P("c.txt"));
    std::filesystem::current_path(saved);
}

TEST_F(Search, FindNextFileIsFalseForTheLastMatch) {
    CFileFind finder;
    ASSERT_TRUE(finder.FindFile(CString(P("?.dbr"))));
    EXPECT_TRUE(finder.FindNextFile());
    EXPECT_EQ(finder.GetFileName().str(), "a.dbr");
    EXPECT_FALSE(finder.FindNextFile());
    EXPECT_EQ(finder.GetFileName().str(), "B.DBR");
}

TEST(PathMatch, WindowsWildcardRules) {
    const struct {
        const char* pattern;
        const char* name;
        bool match;
    } cases[] = {
        {"*.*", "noext", true}, {"*.*", ".x", true},      {"*.dbr", "A.DBR", true},
        {"*.dbr", "a.dbrx", false}, {"a?c", "abc", true}, {"a?c", "ac", false},
        {"*b*", "abc", true},   {"*b*", "ac", false},     {"a*b*c", "aXbYbZc", true},
        {"a*b*c", "aXbYc_", false}, {"", "a", false},     {"**", "", true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(MatchesWildcard(c.pattern, c.name), c.match) << c.pattern << " ~ " << c.name;
}

}  // namespace
