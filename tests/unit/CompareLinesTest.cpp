#include <gtest/gtest.h>

#include "../../sorting/RecordSorter.h"

namespace {
int Compare(const std::string& a, const std::string& b) {
    CString x(a), y(b);
    return CRecordSorter::CompareLines(&x, &y);
}
}  // namespace

TEST(CompareLines, OrdersUnsignedBytesWithPrefixFirst) {
    struct Case {
        std::string a, b;
        int expected;
    } cases[] = {
        {"a,1,", "a,1,", 0},
        {"Zeta,1,", "alpha,1,", -1},        // capitals first
        {"size,4,", "size2,4,", -1},        // comma below digits
        {"size2,4,", "sizeX,4,", -1},
        {" key,1,", "key,1,", -1},
        {"ab", "abc", -1},                  // prefix first
        {"abc", "ab", 1},
        {"a\x80,1,", "a\x7f,1,", 1},        // high bytes are large, not negative
        {std::string("a\0b", 3), std::string("a\0c", 3), -1},  // NUL is an ordinary byte
        {std::string("a\0", 2), "a", 1},
        {"", "", 0},
        {"", "a", -1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Compare(c.a, c.b), c.expected) << "'" << c.a << "' vs '" << c.b << "'";
        EXPECT_EQ(Compare(c.b, c.a), -c.expected) << "'" << c.b << "' vs '" << c.a << "'";
    }
}
