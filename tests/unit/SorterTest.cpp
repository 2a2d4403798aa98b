// The sorter on real files: content in, content out (or the file judged bad
// and left alone).
#include <gtest/gtest.h>

#include <filesystem>

#ifdef _WIN32
#include <windows.h>
#endif

#include "../../platform/Types.h"
#include "../../sorting/RecordText.h"
#include "TestSupport.h"

namespace {

const char kBad[] = "<bad>";

struct SortCase {
    const char* name;
    std::string before;
    std::string after;  // kBad: the file is bad and must stay as it was
};

std::string Z(const char* s, size_t n) { return std::string(s, n); }

const SortCase kCases[] = {
    {"template first", "b,2,\r\ntemplateName,t.tpl,\r\na,1,\r\n", "templateName,t.tpl,\r\na,1,\r\nb,2,\r\n"},
    {"no template", "b,2,\r\na,1,\r\n", "a,1,\r\nb,2,\r\n"},
    {"last template wins", "templateName,x.tpl,\r\na,1,\r\ntemplateName,y.tpl,\r\n",
     "templateName,y.tpl,\r\na,1,\r\n"},
    {"template key in capitals", "a,1,\r\nTEMPLATENAME,x.tpl,\r\n", "TEMPLATENAME,x.tpl,\r\na,1,\r\n"},
    {"near-template keys are records", "templateNameX,1,\r\ntemplate,2,\r\n",
     "template,2,\r\ntemplateNameX,1,\r\n"},
    {"blank and empty values dropped", "a,1,\r\n\r\nkey,,\r\ntemplateName,,\r\nb,2,\r\n", "a,1,\r\nb,2,\r\n"},
    {"nothing left", "\r\nkey,,\r\n", ""},
    {"empty file", "", ""},
    {"capitals first", "alpha,1,\r\nZeta,1,\r\n", "Zeta,1,\r\nalpha,1,\r\n"},
    {"comma below digits", "size2,4,\r\nsize,4,\r\nsizeX,4,\r\n", "size,4,\r\nsize2,4,\r\nsizeX,4,\r\n"},
    {"leading space kept", "key,1,\r\n key,1,\r\n", " key,1,\r\nkey,1,\r\n"},
    {"duplicates stay", "a,1,\r\na,1,\r\n", "a,1,\r\na,1,\r\n"},
    {"LF breaks become CR LF", "b,2,\na,1,", "a,1,\r\nb,2,\r\n"},
    {"lone CR stays in the line", "b,2,\ra,1,\r\n", "b,2,\ra,1,\r\n"},
    {"CR before CR LF kept", "b,2,\r\r\na,1,\r\n", "a,1,\r\nb,2,\r\r\n"},
    {"values not examined", "k,v,,x, y \r\nj,\"q\",\r\n", "j,\"q\",\r\nk,v,,x, y \r\n"},
    {"value need not end in comma", "k,v\r\n", "k,v\r\n"},
    {"ctrl-z ends input", "b,2,\r\na,1,\r\n\x1A", "a,1,\r\nb,2,\r\n"},
    {"ctrl-z mid line", "b,2,\r\na,1,\x1A\x1A\x1A", "a,1,\r\nb,2,\r\n"},
    {"data after ctrl-z is bad", "b,2,\r\n\x1A" "a,1,\r\n", kBad},
    {"byte-order mark stays first", "\xEF\xBB\xBFtemplateName,t,\r\nb,1,\r\na,1,\r\n",
     "\xEF\xBB\xBFtemplateName,t,\r\na,1,\r\nb,1,\r\n"},
    {"mark elsewhere is ordinary", "b,1,\r\n\xEF\xBB\xBF" "a,1,\r\n", "b,1,\r\n\xEF\xBB\xBF" "a,1,\r\n"},
    // A line that begins with the mark's bytes and sorts first must not turn
    // into a mark: the next pass would drop its bytes, reorder or reject it.
    {"mark-led line sorted first", "\r\n\xEF\xBB\xBF" "a,1,\r\n", "\xEF\xBB\xBF\xEF\xBB\xBF" "a,1,\r\n"},
    {"mark-led line before higher bytes", "\xF7,1\r\n\xEF\xBB\xBF,x\r\n",
     "\xEF\xBB\xBF\xEF\xBB\xBF,x\r\n\xF7,1\r\n"},
    {"NUL bytes kept", Z("b,\0,\r\na,x\0y,\r\n", 14), Z("a,x\0y,\r\nb,\0,\r\n", 14)},
    {"high bytes sort high", "\xE9,1,\r\nz,1,\r\n", "z,1,\r\n\xE9,1,\r\n"},
    {"no comma", "a,1,\r\nnocomma\r\n", kBad},
    {"leading comma", ",a,\r\n", kBad},
    {"key and single comma", "a,1,\r\nkey,\r\n", kBad},
    {"template key and single comma", "templateName,\r\n", kBad},
    {"bad line after good ones", "a,1,\r\nb,2,\r\n,x\r\n", kBad},
    {"single comma line", ",\r\n", kBad},
    {"empty value first comma", "k,,\r\n", ""},
    // Lines alike in their first 8 or 16 bytes, and NUL bytes that must not
    // pass for the end of a shorter line.
    {"alike past sixteen bytes", "abcdefghijklmnop,2,\r\nabcdefghijklmnop,1,\r\n",
     "abcdefghijklmnop,1,\r\nabcdefghijklmnop,2,\r\n"},
    {"alike past eight bytes", "abcdefgh2,1,\r\nabcdefgh1,1,\r\n", "abcdefgh1,1,\r\nabcdefgh2,1,\r\n"},
    {"NUL within the head", Z("ab,c\0\0\0\r\nab,c\r\n", 15), Z("ab,c\r\nab,c\0\0\0\r\n", 15)},
    {"NUL past the head", Z("abcdefghijklmn,1\0\0\r\nabcdefghijklmn,1\r\n", 38), Z("abcdefghijklmn,1\r\nabcdefghijklmn,1\0\0\r\n", 38)},
    // Already in normal form only when the bytes are exactly those a rewrite
    // writes.
    {"normal with mark and template", "\xEF\xBB\xBFtemplateName,t,\r\na,1,\r\n", "\xEF\xBB\xBFtemplateName,t,\r\na,1,\r\n"},
    {"template line twice", "templateName,t,\r\ntemplateName,t,\r\na,1,\r\n", "templateName,t,\r\na,1,\r\n"},
    {"in order, no final break", "a,1,\r\nb,1,", "a,1,\r\nb,1,\r\n"},
    {"in order, LF break", "a,1,\nb,1,\r\n", "a,1,\r\nb,1,\r\n"},
    {"in order, ends in ctrl-z", "a,1,\r\n\x1A", "a,1,\r\n"},
    {"only a ctrl-z", "\x1A", ""},
    {"only a mark", "\xEF\xBB\xBF", "\xEF\xBB\xBF"},
};

void PrintTo(const SortCase& c, std::ostream* os) { *os << c.name; }

class SortRecordFileTest : public ::testing::TestWithParam<SortCase> {};

TEST_P(SortRecordFileTest, RewritesOrLeavesAlone) {
    const SortCase& c = GetParam();
    TempDir dir;
    dir.Write("r.dbr", c.before);
    // A check writes nothing, goes on after a failure, and knows whether a
    // run would change the bytes.
    RecordingSink checkSink;
    CRecordSorter checker(checkSink);
    checker.SetMode(SortMode::Check);
    EXPECT_TRUE(checker.SortRecordFile(CString(dir.Path("r.dbr"))));
    EXPECT_EQ(dir.Read("r.dbr"), c.before);
    if (c.after != kBad) {
        EXPECT_EQ(checkSink.changed, std::vector<bool>{c.before != c.after});
    }
    EXPECT_EQ(checkSink.messages.size(), c.after == kBad ? 1u : 0u);

    RecordingSink sink;
    CRecordSorter sorter(sink);
    BOOL ok = sorter.SortRecordFile(CString(dir.Path("r.dbr")));
    if (c.after == kBad) {
        EXPECT_FALSE(ok);
        EXPECT_EQ(dir.Read("r.dbr"), c.before);
        ASSERT_EQ(sink.messages.size(), 1u);
        EXPECT_EQ(sink.messages[0], "Error detected within file:\r\n" + dir.Path("r.dbr"));
    } else {
        EXPECT_TRUE(ok);
        EXPECT_EQ(dir.Read("r.dbr"), c.after);
        EXPECT_TRUE(sink.messages.empty());
        // A second pass changes nothing, and says so.
        EXPECT_TRUE(sorter.SortRecordFile(CString(dir.Path("r.dbr"))));
        EXPECT_EQ(dir.Read("r.dbr"), c.after);
        EXPECT_EQ(sink.changed, (std::vector<bool>{c.before != c.after, false}));
    }
    EXPECT_EQ(dir.Files(), std::vector<std::string>{"r.dbr"}) << "temporary file left behind";
}

INSTANTIATE_TEST_SUITE_P(Table, SortRecordFileTest, ::testing::ValuesIn(kCases), NameFromCase());

TEST(SortRecordFile, MissingFileCannotBeOpened) {
    TempDir dir;
    RecordingSink sink;
    CRecordSorter sorter(sink);
    EXPECT_FALSE(sorter.SortRecordFile(CString(dir.Path("gone.dbr"))));
    ASSERT_EQ(sink.messages.size(), 1u);
    EXPECT_EQ(sink.messages[0], "Cannot open file:\r\n" + dir.Path("gone.dbr"));
}

TEST(SortRecordFile, DirectoryInPlaceOfFileCannotBeOpened) {
    TempDir dir;
    dir.MakeDir("d.dbr");
    RecordingSink sink;
    CRecordSorter sorter(sink);
    EXPECT_FALSE(sorter.SortRecordFile(CString(dir.Path("d.dbr"))));
    ASSERT_EQ(sink.messages.size(), 1u);
    EXPECT_EQ(sink.messages[0], "Cannot open file:\r\n" + dir.Path("d.dbr"));
}

TEST(SortRecordFile, LongLinesAndManyLines) {
    TempDir dir;
    std::string longValue(3 * 1024 * 1024 + 7, 'v');  // spans many read buffers
    std::string before, after;
    const int kLines = 50000;
    for (int i = kLines - 1; i >= 0; --i) before += "k" + std::to_string(100000 + i) + ",1,\n";
    before += "a," + longValue + "\r\n";
    after = "a," + longValue + "\r\n";
    for (int i = 0; i < kLines; ++i) after += "k" + std::to_string(100000 + i) + ",1,\r\n";
    dir.Write("big.dbr", before);
    RecordingSink sink;
    CRecordSorter sorter(sink);
    EXPECT_TRUE(sorter.SortRecordFile(CString(dir.Path("big.dbr"))));
    EXPECT_TRUE(dir.Read("big.dbr") == after);
}

TEST(SortRecordFile, ReadOnlyFileIsRewrittenAndWritable) {
    TempDir dir;
    dir.Write("ro.dbr", "b,1,\r\na,1,\r\n");
#ifdef _WIN32
    SetFileAttributesA(dir.Path("ro.dbr").c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
#else
    std::filesystem::permissions(dir.Path("ro.dbr"), std::filesystem::perms::owner_read |
                                                         std::filesystem::perms::group_read);
#endif
    RecordingSink sink;
    CRecordSorter sorter(sink);
    EXPECT_TRUE(sorter.SortRecordFile(CString(dir.Path("ro.dbr"))));
    EXPECT_EQ(dir.Read("ro.dbr"), "a,1,\r\nb,1,\r\n");
#ifdef _WIN32
    DWORD attrs = GetFileAttributesA(dir.Path("ro.dbr").c_str());
    EXPECT_EQ(attrs & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM), 0u);
#else
    auto perms = std::filesystem::status(dir.Path("ro.dbr")).permissions();
    EXPECT_EQ(perms, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write |
                         std::filesystem::perms::group_read);
#endif
}

}  // namespace

// Where diagnostics place each fault: lines as editors count them (LF, CR LF
// and a lone CR each end one), columns in bytes after any byte-order mark.
TEST(LocateFaults, LineAndColumnOfEachFault) {
    std::string many;
    for (int i = 0; i < 25; ++i) many += "x\n";
    const struct {
        std::string bytes;
        std::string faults;  // "LINE:COL reason" each, joined by "; "
        size_t total;
    } cases[] = {
        {"a,1\r\nb,2\r\n\r\nc,,\r\n", "", 0},
        {"a,1\r\nnocomma\r\n", "2:1 line has no comma", 1},
        {"\xEF\xBB\xBF,x\r\nab,\r\n", "1:1 line starts with a comma; 2:3 nothing after the comma", 2},
        {"\xEF\xBB\xBF" "ab,\n", "1:3 nothing after the comma", 1},
        {"x\ry,\n", "2:2 nothing after the comma", 1},
        {"a,1\r\r\nz", "3:1 line has no comma", 1},
        {"a,1\n\n,q\n", "3:1 line starts with a comma", 1},
        {"a,1\r\n\x1A\x1A\x1A", "", 0},
        {"a,1\r\nq\x1A\x1A\r\nb", "2:1 line has no comma; 2:4 text after the end-of-file mark", 2},
        {many, "1:1 line has no comma; 2:1 line has no comma", 25},
        {"<<<<<<< ours\n>>>>>>>,\n", "1:1 conflict marker left by a merge; 2:1 conflict marker left by a merge", 2},
        {"||||||| base,x\n<<<<<<\n=======\n", "2:1 line has no comma; 3:1 conflict marker left by a merge", 2},
    };
    for (const auto& c : cases) {
        FaultList list = LocateFaults(c.bytes, 2);
        std::string got;
        for (const LineFault& f : list.faults)
            got += (got.empty() ? "" : "; ") + std::to_string(f.line) + ":" + std::to_string(f.column) + " " + f.reason;
        EXPECT_EQ(got, c.faults) << c.bytes;
        EXPECT_EQ(list.total, c.total) << c.bytes;
    }
}
