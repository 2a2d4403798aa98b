// The sorter on files large enough that lines cross read buffers and the
// blocks the sorter keeps them in: the rewritten file must hold exactly the
// kept lines, in the order that CompareLines gives.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "TestSupport.h"

namespace {

struct LargeCase {
    const char* name;
    int lines;
    size_t longLine;  // every 1000th line is this long (0: none)
    bool oddBytes;    // NUL, CR, bytes >= 0x80 inside lines
};

const LargeCase kLargeCases[] = {
    {"many short lines", 30000, 0, false},
    {"odd bytes", 20000, 0, true},
    {"long lines among short ones", 5000, 100000, false},
    {"lines longer than a block", 3000, 5 * 1024 * 1024 + 7, true},
};

void PrintTo(const LargeCase& c, std::ostream* os) { *os << c.name; }

std::string RandomText(std::mt19937& rng, size_t length, bool oddBytes) {
    static const char kPlain[] = "abcXYZ019_ .\\";
    static const char kOdd[] = {'\0', '\r', '\x80', '\xE9', '\xFF', 'a', 'Z', ','};
    std::string text;
    text.reserve(length);
    for (size_t i = 0; i < length; ++i) {
        if (oddBytes && rng() % 4 == 0)
            text += kOdd[rng() % sizeof kOdd];
        else
            text += kPlain[rng() % (sizeof kPlain - 1)];
    }
    return text;
}

class LargeSortTest : public ::testing::TestWithParam<LargeCase> {};

TEST_P(LargeSortTest, KeepsEveryLineInOrder) {
    const LargeCase& c = GetParam();
    std::mt19937 rng(7);
    std::string before;
    std::vector<CString> kept;
    for (int i = 0; i < c.lines; ++i) {
        if (i == c.lines / 2) before += "templateName,middle.tpl,\n";
        switch (rng() % 20) {
        case 0: before += "\r\n"; continue;                    // blank
        case 1: before += "k" + std::to_string(i) + ",,\n"; continue;  // empty value
        default: break;
        }
        // Keys that share prefixes, so that comparisons reach far in.
        std::string key = "key" + std::to_string(rng() % 50);
        if (c.oddBytes) key += RandomText(rng, rng() % 3, false);
        size_t length = (c.longLine && i % 1000 == 999) ? c.longLine : 1 + rng() % 40;
        // The value starts with a letter: a comma there would make the line
        // an empty value.
        std::string line = key + ",v" + RandomText(rng, length, c.oddBytes);
        // A CR before a lone LF would be taken for part of a CR LF.
        bool lfOnly = rng() % 2 == 0;
        if (lfOnly && line.back() == '\r') line += 'x';
        before += line + (lfOnly ? "\n" : "\r\n");
        kept.emplace_back(line);
    }
    std::sort(kept.begin(), kept.end(),
              [](const CString& a, const CString& b) { return CRecordSorter::CompareLines(&a, &b) < 0; });
    std::string after = "templateName,middle.tpl,\r\n";
    for (const CString& line : kept) after += line.str() + "\r\n";

    TempDir dir;
    dir.Write("big.dbr", before);
    RecordingSink sink;
    CRecordSorter sorter(sink);
    ASSERT_TRUE(sorter.SortRecordFile(CString(dir.Path("big.dbr"))));
    EXPECT_TRUE(sink.messages.empty());
    std::string written = dir.Read("big.dbr");
    ASSERT_EQ(written.size(), after.size());
    EXPECT_TRUE(written == after) << "content differs at byte "
                                  << std::mismatch(written.begin(), written.end(), after.begin()).first -
                                         written.begin();
}

INSTANTIATE_TEST_SUITE_P(Table, LargeSortTest, ::testing::ValuesIn(kLargeCases), NameFromCase());

}  // namespace
