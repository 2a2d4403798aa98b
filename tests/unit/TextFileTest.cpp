// Text-mode reading and writing of CStdioFile.
#include <gtest/gtest.h>

#include "../../platform/CStdioFile.h"
#include "TestSupport.h"

namespace {

struct ReadCase {
    std::string bytes;
    std::vector<std::string> lines;
    bool dataAfterEndMark;
};

std::vector<std::string> ReadAll(const std::string& path, bool* afterMark = nullptr) {
    CStdioFile f;
    EXPECT_TRUE(f.Open(CString(path), CFile::modeRead | CFile::typeText));
    std::vector<std::string> lines;
    CString line;
    while (f.ReadString(line)) lines.push_back(line.str());
    if (afterMark) *afterMark = f.HasDataAfterEndMark();
    return lines;
}

TEST(TextFile, ReadsLinesInTextMode) {
    const ReadCase cases[] = {
        {"", {}, false},
        {"a", {"a"}, false},
        {"a\r\nb\nc", {"a", "b", "c"}, false},
        {"a\n\n\r\nb\n", {"a", "", "", "b"}, false},
        {"a\rb\r\n", {"a\rb"}, false},
        {"a\r", {"a\r"}, false},
        {"a\r\r\n", {"a\r"}, false},
        {"\n", {""}, false},
        {"a\x1A", {"a"}, false},
        {"a\n\x1A\x1A", {"a"}, false},
        {"\x1A" "b\n", {}, true},
        {"a\nb\x1A\x1A c", {"a", "b"}, true},
        {std::string("a\0b\n", 4), {std::string("a\0b", 3)}, false},
    };
    TempDir dir;
    for (const ReadCase& c : cases) {
        dir.Write("t.txt", c.bytes);
        bool afterMark = false;
        EXPECT_EQ(ReadAll(dir.Path("t.txt"), &afterMark), c.lines) << "bytes: " << c.bytes;
        EXPECT_EQ(afterMark, c.dataAfterEndMark) << "bytes: " << c.bytes;
    }
}

TEST(TextFile, LineBreaksAcrossBufferBoundaries) {
    // CR LF pairs and marks that fall on every offset around the 64 KiB
    // buffer edge.
    TempDir dir;
    for (size_t pad = 65530; pad < 65540; ++pad) {
        std::string first(pad, 'x');
        dir.Write("t.txt", first + "\r\nsecond\r\n\x1A");
        EXPECT_EQ(ReadAll(dir.Path("t.txt")), (std::vector<std::string>{first, "second"})) << pad;
    }
}

TEST(TextFile, ByteOrderMarkOnlyAtStart) {
    const struct {
        std::string bytes;
        bool mark;
        std::vector<std::string> lines;
    } cases[] = {
        {"\xEF\xBB\xBF" "a\n", true, {"a"}},
        {"\xEF\xBB\xBF", true, {}},
        {"\xEF\xBB", false, {"\xEF\xBB"}},
        {"a\xEF\xBB\xBF\n", false, {"a\xEF\xBB\xBF"}},
        {"", false, {}},
    };
    TempDir dir;
    for (const auto& c : cases) {
        dir.Write("t.txt", c.bytes);
        CStdioFile f;
        ASSERT_TRUE(f.Open(CString(dir.Path("t.txt")), CFile::modeRead | CFile::typeText));
        EXPECT_EQ(f.SkipByteOrderMark() != FALSE, c.mark) << c.bytes;
        std::vector<std::string> lines;
        CString line;
        while (f.ReadString(line)) lines.push_back(line.str());
        EXPECT_EQ(lines, c.lines) << c.bytes;
    }
}

TEST(TextFile, WritesLfAsCrLfAndReplacesOnlyOnCommit) {
    TempDir dir;
    dir.Write("t.txt", "old");
    {
        CStdioFile f;
        ASSERT_TRUE(f.Open(CString(dir.Path("t.txt")), CFile::modeCreate | CFile::modeWrite | CFile::typeText));
        f.WriteString("a\nb\r\n\n");
        f.WriteString(CString(std::string("c\0d", 3)));
#ifndef _WIN32  // Windows holds the file for exclusive use until the commit
        EXPECT_EQ(dir.Read("t.txt"), "old") << "replaced before Commit";
#endif
    }
    // Abandoned: old content, no temporary file.
    EXPECT_EQ(dir.Read("t.txt"), "old");
    EXPECT_EQ(dir.Files(), std::vector<std::string>{"t.txt"});

    CStdioFile f;
    ASSERT_TRUE(f.Open(CString(dir.Path("t.txt")), CFile::modeCreate | CFile::modeWrite | CFile::typeText));
    f.WriteString("a\nb\r\n\n");
    f.WriteString(CString(std::string("c\0d", 3)));
    EXPECT_TRUE(f.Commit());
    EXPECT_EQ(dir.Read("t.txt"), std::string("a\r\nb\r\r\n\r\nc\0d", 12));
    EXPECT_EQ(dir.Files(), std::vector<std::string>{"t.txt"});
}

TEST(TextFile, OpenFailures) {
    TempDir dir;
    CStdioFile f;
    EXPECT_FALSE(f.Open(CString(dir.Path("missing")), CFile::modeRead | CFile::typeText));
    EXPECT_FALSE(f.Open(CString(dir.Path("missing")), CFile::modeCreate | CFile::modeWrite | CFile::typeText));
    dir.MakeDir("sub");
    EXPECT_FALSE(f.Open(CString(dir.Path("sub")), CFile::modeRead | CFile::typeText));
    EXPECT_EQ(dir.Files(), std::vector<std::string>{});
}

}  // namespace
