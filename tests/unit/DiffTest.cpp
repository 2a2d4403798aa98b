// Unified diffs: the exact text of small ones, and for generated inputs a diff
// that turns before into after when applied.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>

#include "../../console/UnifiedDiff.h"
#include "TestSupport.h"

namespace {

// Lines 1 to n, each LF-ended; line k is swaps[k] instead where that is not a dot.
std::string Numbers(int n, const std::string& swaps = "") {
    std::string s;
    for (int k = 1; k <= n; ++k)
        s += (k < static_cast<int>(swaps.size()) && swaps[k] != '.' ? std::string(1, swaps[k])
                                                                     : std::to_string(k)) + "\n";
    return s;
}

template <size_t N>
std::string Bytes(const char (&s)[N]) {
    return std::string(s, N - 1);
}

struct ExactCase {
    const char* name;
    std::string before, after, diff;
    std::string oldName = "f", newName = "f";
    bool color = false;
};

const char kNoEol[] = "\\ No newline at end of file\n";
const std::string kHead = "--- f\n+++ f\n";
const ExactCase kExact[] = {
    {"Equal", "a\r\nb", "a\r\nb", ""},
    {"MiddleChange", Numbers(9), Numbers(9, ".....X"),
     kHead + "@@ -2,7 +2,7 @@\n 2\n 3\n 4\n-5\n+X\n 6\n 7\n 8\n"},
    // Six lines between changes share a hunk, seven do not.
    {"HunksJoinAcrossSixLines", Numbers(20), Numbers(20, "..X......Y.......Z"),
     kHead + "@@ -1,12 +1,12 @@\n 1\n-2\n+X\n 3\n 4\n 5\n 6\n 7\n 8\n-9\n+Y\n 10\n 11\n 12\n"
             "@@ -14,7 +14,7 @@\n 14\n 15\n 16\n-17\n+Z\n 18\n 19\n 20\n"},
    {"CrLfLinesKeepTheirCr", "a\r\nb\r\n", "b\r\na\r\n",
     kHead + "@@ -1,2 +1,2 @@\n-a\r\n b\r\n+a\r\n"},
    {"NoFinalNewlineBefore", "a\nb", "a\nb\n", kHead + "@@ -1,2 +1,2 @@\n a\n-b\n" + kNoEol + "+b\n"},
    {"NoFinalNewlineAfter", "a\nb\n", "a\nc", kHead + "@@ -1,2 +1,2 @@\n a\n-b\n+c\n" + kNoEol},
    {"NoFinalNewlineInContext", "x\ny", "z\ny", kHead + "@@ -1,2 +1,2 @@\n-x\n+z\n y\n" + kNoEol},
    {"EmptyBefore", "", "a\nb\n", kHead + "@@ -0,0 +1,2 @@\n+a\n+b\n"},
    {"EmptyAfter", "a\n", "", kHead + "@@ -1 +0,0 @@\n-a\n"},
    {"AnyBytes", Bytes("\0\rq\n\xff\n"), Bytes("\xff\n\0\rq\n"),
     kHead + Bytes("@@ -1,2 +1,2 @@\n-\0\rq\n \xff\n+\0\rq\n")},
    {"NamesPatchWouldSplitAreQuoted", "a\n", "b\n",
     "--- \"recs/a b.dbr\"\n+++ \"q\\\"\\\\\\t\\001\xc3\xa9\"\n@@ -1 +1 @@\n-a\n+b\n", "recs/a b.dbr",
     "q\"\\\t\x01\xc3\xa9"},
    {"ColourResetsBeforeTheLineBreak", "a\nb\r\n", "a\nc",
     "\x1b[1m--- f\x1b[0m\n\x1b[1m+++ f\x1b[0m\n\x1b[36m@@ -1,2 +1,2 @@\x1b[0m\n a\n"
     "\x1b[31m-b\x1b[0m\r\n\x1b[32m+c\x1b[0m\n" + std::string(kNoEol), "f", "f", true},
};

void PrintTo(const ExactCase& c, std::ostream* os) { *os << c.name; }

class DiffExact : public ::testing::TestWithParam<ExactCase> {};

TEST_P(DiffExact, WritesTheDiff) {
    const ExactCase& c = GetParam();
    std::string out = "kept";
    AppendUnifiedDiff(out, c.before, c.after, c.oldName, c.newName, DiffStyle{c.color});
    EXPECT_EQ(out, "kept" + c.diff);
}
INSTANTIATE_TEST_SUITE_P(Table, DiffExact, ::testing::ValuesIn(kExact), NameFromCase());

std::vector<std::string> SplitAfterLf(const std::string& s) {
    std::vector<std::string> lines;
    for (size_t at = 0, end; at < s.size(); at = end) {
        end = std::min(s.find('\n', at), s.size() - 1) + 1;
        lines.push_back(s.substr(at, end - at));
    }
    return lines;
}

// Applies a diff to before as patch does, but insisting that every context
// and deleted line and every hunk's numbers fit exactly. Counts the + and -
// lines in edits.
::testing::AssertionResult Applies(const std::string& before, const std::string& diff,
                                   const std::string& after, size_t& edits) {
    const std::vector<std::string> old = SplitAfterLf(before), d = SplitAfterLf(diff);
    std::string result;
    long next = 0, made = 0;  // lines of before used, lines of result made
    for (size_t k = 2; k < d.size();) {
        long o, oc = 1, n, nc = 1;
        if (std::sscanf(d[k].c_str(), "@@ -%ld,%ld +%ld,%ld", &o, &oc, &n, &nc) != 4 &&
            std::sscanf(d[k].c_str(), "@@ -%ld +%ld,%ld", &o, &n, &nc) != 3 &&
            std::sscanf(d[k].c_str(), "@@ -%ld,%ld +%ld", &o, &oc, &n) != 3 &&
            std::sscanf(d[k].c_str(), "@@ -%ld +%ld", &o, &n) != 2)
            return ::testing::AssertionFailure() << "no hunk at line " << k << ": " << d[k];
        for (; next < (oc ? o - 1 : o) && next < static_cast<long>(old.size()); ++made)
            result += old[next++];
        if (next != (oc ? o - 1 : o) || made != (nc ? n - 1 : n))
            return ::testing::AssertionFailure() << "misplaced hunk " << d[k];
        for (++k; k < d.size() && d[k][0] != '@'; ++k, ++edits) {
            std::string text = d[k].substr(1);
            const char tag = d[k][0];
            if (k + 1 < d.size() && d[k + 1][0] == '\\') text.pop_back(), ++k;
            if (tag != '+' && (next >= static_cast<long>(old.size()) || old[next++] != text))
                return ::testing::AssertionFailure() << "no such line: " << text;
            if (tag != '-') result += text, ++made;
            oc -= tag != '+', nc -= tag != '-', edits -= tag == ' ';
        }
        if (oc || nc) return ::testing::AssertionFailure() << "hunk counts wrong";
    }
    while (next < static_cast<long>(old.size())) result += old[next++];
    if (result != after) return ::testing::AssertionFailure() << "result differs";
    return ::testing::AssertionSuccess();
}

std::vector<std::string> Records(size_t count, size_t distinct, unsigned seed) {
    std::mt19937 random(seed);
    std::vector<std::string> lines;
    for (size_t i = 0; i < count; ++i)
        lines.push_back("k" + std::to_string(random() % distinct) + ",v,\r\n");
    return lines;
}
std::string Join(const std::vector<std::string>& lines) {
    std::string s;
    for (const std::string& line : lines) s += line;
    return s;
}

TEST(Diff, AppliesForGeneratedInputs) {
    std::mt19937 random(7);
    auto shuffled = [&](std::vector<std::string> v) {
        return std::shuffle(v.begin(), v.end(), random), v;
    };
    auto sorted = [](std::vector<std::string> v) { return std::sort(v.begin(), v.end()), v; };
    const std::vector<std::string> big = Records(50000, 1000000, 1);
    auto swapped = [&](std::vector<std::string> v, int swaps) {
        while (swaps--) std::swap(v[random() % v.size()], v[random() % v.size()]);
        return Join(v);
    };
    std::string noise;
    for (int i = 0; i < 20000; ++i) noise += "\n\r\0a"[random() % 4];
    const struct {
        const char* name;
        std::string before, after;
        size_t maxEdits;  // what a shortest script needs at most; 0: any
    } rows[] = {
        {"shuffled", Join(shuffled(Records(3000, 99999, 2))), Join(sorted(Records(3000, 99999, 2))), 0},
        {"duplicates", Join(Records(3000, 20, 3)), Join(sorted(Records(3000, 20, 3))), 0},
        {"reversed", Join(big), Join(std::vector<std::string>(big.rbegin(), big.rend())), 0},
        {"few moves", swapped(sorted(big), 20), Join(sorted(big)), 80},
        // Past what Myers' search takes on: lines found once keep most in place.
        {"many moves", swapped(sorted(big), 3000), Join(sorted(big)), 13000},
        {"bytes", noise.substr(0, 12000) + "x", noise.substr(8000), 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        std::string diff;
        AppendUnifiedDiff(diff, row.before, row.after, "f", "f", DiffStyle());
        size_t edits = 0;
        EXPECT_TRUE(Applies(row.before, diff, row.after, edits));
        if (row.maxEdits) {
            EXPECT_LE(edits, row.maxEdits);
        }
    }
}

}  // namespace
