// tervalo-cli merge: three versions in, OURS and the exit status out.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>

#include "../../console/MergeCommand.h"
#include "../../sorting/RecordText.h"
#include "TestSupport.h"
#include "VirtualFileSystem.h"

namespace {

const char kMissing[] = "<missing>";
const char kUnchanged[] = "<unchanged>";  // OURS keeps its bytes

struct MergeCase {
    const char* name;
    std::string base, ours, theirs;
    std::string merged;  // OURS afterwards
    int status;
    std::string err;  // the start of standard error
    std::vector<std::string> options = {};
};

const std::string T = "templateName,t\r\n";
const std::string kConflictB = "<<<<<<< ours\r\nb,2\r\n=======\r\nb,3\r\n>>>>>>> theirs\r\n";

const MergeCase kCases[] = {
    {"adjacent additions", T + "a,1\r\nc,1\r\n", T + "a,1\r\nb,1\r\nc,1\r\n", T + "a,1\r\nb2,1\r\nc,1\r\n",
     T + "a,1\r\nb,1\r\nb2,1\r\nc,1\r\n", 0, ""},
    {"one side changed", T + "a,1\r\nb,1\r\n", T + "a,1\r\nb,1\r\n", T + "a,2\r\n", T + "a,2\r\n", 0, ""},
    {"same change on both sides", T + "a,1\r\nb,1\r\n", T + "a,2\r\nb,1\r\n", T + "a,2\r\nb,1\r\n",
     T + "a,2\r\nb,1\r\n", 0, ""},
    {"same deletion on both sides", T + "a,1\r\nb,1\r\n", T + "b,1\r\n", T + "b,1\r\n", T + "b,1\r\n", 0, ""},
    {"different changes of one key", T + "a,1\r\nb,1\r\nc,1\r\n", T + "a,2\r\nb,2\r\nc,1\r\n",
     T + "a,1\r\nb,3\r\nc,3\r\n", T + "a,2\r\n" + kConflictB + "c,3\r\n", 1, "x.dbr: 1 key in conflict"},
    {"same key added differently", "a,1\r\n", "a,1\r\nb,2\r\n", "a,1\r\nb,3\r\n", "a,1\r\n" + kConflictB, 1, ""},
    {"deletion against modification", T + "a,1\r\nb,1\r\n", T + "a,1\r\n", T + "a,1\r\nb,3\r\n",
     T + "a,1\r\n<<<<<<< ours\r\n=======\r\nb,3\r\n>>>>>>> theirs\r\n", 1, ""},
    {"diff3 and marker size", "b,1\r\n", "b,2\r\n", "b,3\r\n", "<<< ours\r\nb,2\r\n||| base\r\nb,1\r\n===\r\nb,3\r\n>>> theirs\r\n",
     1, "", {"--diff3", "--marker-size", "3"}},
    {"template changed", T + "a,1\r\n", "templateName,u\r\na,1\r\n", T + "a,1\r\nb,1\r\n",
     "templateName,u\r\na,1\r\nb,1\r\n", 0, ""},
    {"template in conflict", T + "a,1\r\n", "TemplateName,u\r\na,1\r\n", "templateName,v\r\na,1\r\nb,1\r\n",
     "<<<<<<< ours\r\nTemplateName,u\r\n=======\r\ntemplateName,v\r\n>>>>>>> theirs\r\na,1\r\nb,1\r\n", 1, ""},
    {"duplicate keys as a set", "k,1\r\nk,2\r\n", "k,2\r\nk,1\r\nm,1\r\n", "k,1\r\nk,2\r\nk,3\r\n",
     "k,1\r\nk,2\r\nk,3\r\nm,1\r\n", 0, ""},
    {"duplicate keys in conflict", "k,1\r\n", "k,1\r\nk,2\r\n", "k,0\r\nk,1\r\n",
     "<<<<<<< ours\r\nk,1\r\nk,2\r\n=======\r\nk,0\r\nk,1\r\n>>>>>>> theirs\r\n", 1, ""},
    // A key's lines stand where "key," sorts: "a b" (a space) before "a", "a-b" after.
    {"key order is line order", "a,1\r\n", "a,1\r\na b,1\r\n", "a,1\r\na-b,1\r\n", "a b,1\r\na,1\r\na-b,1\r\n", 0, ""},
    {"inputs not in normal form", "b,1\na,1\n\ntemplateName,t\n", "b,1\r\n\r\nc,,\r\na,2\r\ntemplateName,t",
     "TEMPLATENAME,old\r\ntemplateName,t\r\nz,1\r\na,1\r\nb,1\r\n", T + "a,2\r\nb,1\r\nz,1\r\n", 0, ""},
    {"mark added by one side", "a,1\r\n", "a,2\r\n", "\xEF\xBB\xBF" "a,1\r\n", "\xEF\xBB\xBF" "a,2\r\n", 0, ""},
    {"mark-led first line gets a mark", "\xF0,1\r\n", "\xF0,1\r\n\xEF\xBB\xBF,1\r\n", "\xF0,1\r\n",
     "\xEF\xBB\xBF\xEF\xBB\xBF,1\r\n\xF0,1\r\n", 0, ""},
    {"all deleted", "a,1\r\n", "", "a,1\r\n", "", 0, ""},
    {"bad theirs", T + "a,1\r\n", "a,2\r\n", T + "a,1\r\nnocomma\r\n,x\r\n", kUnchanged, 3,
     "x.dbr (theirs):3:1: error: line has no comma\nx.dbr (theirs):4:1: error: line starts with a comma\n"},
    {"text after the end mark", "a,1\r\n", "a,2\r\n\x1A" "b,1\r\n", "a,1\r\n", kUnchanged, 3,
     "x.dbr (ours):2:2: error: text after the end-of-file mark\n"},
    {"base missing", kMissing, "a,2\r\n", "a,1\r\n", kUnchanged, 3, "x.dbr (base): error: "},
    // The result has OURS's line ends: LF only where OURS has nothing else.
    {"LF kept", "a,1\n", "a,1\nb,1\n", "a,1\nc,1\n", "a,1\nb,1\nc,1\n", 0, ""},
    {"mixed line ends give CR LF", "a,1\n", "a,1\nb,1\r\n", "a,1\r\nc,1\n", "a,1\r\nb,1\r\nc,1\r\n", 0, ""},
    // A marker at the very start stays at the start of its line.
    {"mark above a first conflict", "\xEF\xBB\xBF" "b,1\r\n", "\xEF\xBB\xBF" "b,2\r\n", "\xEF\xBB\xBF" "b,3\r\n",
     "\xEF\xBB\xBF\r\n" + kConflictB, 1, ""},
    {"bad line like a marker", "a,1\r\n", "a,2\r\n", "a,1\r\n>>>>>>> theirs\r\n", kUnchanged, 3,
     "x.dbr (theirs):2:1: error: conflict marker left by a merge\n"},
};

// The same case with OURS and THEIRS swapped: each conflict shows the two
// sides the other way round, and diagnostics name the other side.
MergeCase Swapped(const MergeCase& c) {
    MergeCase s = c;
    std::swap(s.ours, s.theirs);
    s.name = nullptr;
    for (size_t at = 0; (at = s.err.find('(', at)) != std::string::npos; ++at) {
        if (s.err.compare(at, 6, "(ours)") == 0) s.err.replace(at, 6, "(theirs)");
        else if (s.err.compare(at, 8, "(theirs)") == 0) s.err.replace(at, 8, "(ours)");
    }
    // Each side's lines move to the other's place; the base's stay.
    static const std::regex kConflict(R"((<+ ours\r?\n)([^]*?)((?:\|+ base\r?\n[^]*?)?)(=+\r?\n)([^]*?)(>+ theirs))");
    if (c.merged != kUnchanged) s.merged = std::regex_replace(c.merged, kConflict, "$1$5$3$4$2$6");
    return s;
}

struct MergeRun {
    int status;
    std::string out, err;
};

MergeRun RunMerge(std::vector<std::string> args, FileSystem& fs) {
    args.insert(args.begin(), "merge");
    std::vector<const char*> argv;
    for (const std::string& a : args) argv.push_back(a.c_str());
    std::ostringstream out, err;
    int status = TervaloMergeMain(static_cast<int>(argv.size()), argv.data(), out, err, fs);
    return {status, out.str(), err.str()};
}

// The three versions as files, and the arguments that merge them.
std::vector<std::string> Versions(VirtualFileSystem& fs, const MergeCase& c) {
    const std::string* bytes[] = {&c.base, &c.ours, &c.theirs};
    const char* names[] = {"base", "ours", "theirs"};
    std::vector<std::string> args = c.options;
    for (int i = 0; i < 3; ++i) {
        if (*bytes[i] != kMissing) fs.AddFile(names[i], *bytes[i]);
        args.push_back(VirtualFileSystem::Path(names[i]));
    }
    args.push_back("x.dbr");
    return args;
}

class MergeTable : public testing::TestWithParam<MergeCase> {};

TEST_P(MergeTable, MergesIntoOurs) {
    for (const MergeCase& c : {GetParam(), Swapped(GetParam())}) {
        SCOPED_TRACE(c.name ? "as given" : "sides swapped");
        VirtualFileSystem fs;
        MergeRun r = RunMerge(Versions(fs, c), fs);
        std::string ours = fs.Bytes(VirtualFileSystem::Path("ours"));
        EXPECT_EQ(ours, c.merged == kUnchanged ? c.ours : c.merged);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err.substr(0, c.err.size()), c.err);
        EXPECT_EQ(r.out, "");
        // A clean merge is in normal form as it stands, but for LF line ends.
        std::string normal;
        if (c.status == 0 && ours.find("\r\n") != std::string::npos) {
            EXPECT_EQ(NormalFormOf(ours, normal), NormalFormResult::Normal);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, MergeTable, testing::ValuesIn(kCases), NameFromCase());

TEST(Merge, ArgumentsAndFailedWrites) {
    const struct {
        std::vector<std::string> args;
        int status;
        std::string errStart;
        VirtualFileSystem::Op fail;  // the first such call fails (Search: none)
    } cases[] = {
        {{"a", "b"}, 2, "tervalo-cli merge: BASE, OURS and THEIRS are needed", VirtualFileSystem::Op::Search},
        {{"a", "b", "c", "d", "e"}, 2, "tervalo-cli merge: BASE, OURS", VirtualFileSystem::Op::Search},
        {{"--marker-size", "0", "a", "b", "c"}, 2, "tervalo-cli merge: --marker-size", VirtualFileSystem::Op::Search},
        {{"--marker-size"}, 2, "tervalo-cli merge: --marker-size", VirtualFileSystem::Op::Search},
        {{"--bogus", "a", "b", "c"}, 2, "tervalo-cli merge: unknown option '--bogus'", VirtualFileSystem::Op::Search},
        {{"--install", "a"}, 2, "tervalo-cli merge: --install takes no files", VirtualFileSystem::Op::Search},
        {{}, 3, " (ours): error: ", VirtualFileSystem::Op::Replace},
        {{}, 3, " (ours): error: ", VirtualFileSystem::Op::Write},
        {{}, 3, " (ours): error: ", VirtualFileSystem::Op::CreateTemp},
    };
    for (const auto& c : cases) {
        VirtualFileSystem fs;
        fs.AddFile("base", "a,1\r\n");
        fs.AddFile("ours", "a,1\r\nb,1\r\n");
        fs.AddFile("theirs", "a,2\r\n");
        std::vector<std::string> args = c.args;
        if (args.empty())
            args = {VirtualFileSystem::Path("base"), VirtualFileSystem::Path("ours"), VirtualFileSystem::Path("theirs")};
        std::string err = c.errStart;
        if (c.fail != VirtualFileSystem::Op::Search) {
            fs.FailAt(c.fail, 1);
            err = VirtualFileSystem::Path("ours") + err;
        }
        MergeRun r = RunMerge(args, fs);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err.substr(0, err.size()), err);
        EXPECT_EQ(fs.Bytes(VirtualFileSystem::Path("ours")), "a,1\r\nb,1\r\n");
    }
    VirtualFileSystem fs;
    EXPECT_EQ(RunMerge({"--help"}, fs).out.substr(0, 24), "usage: tervalo-cli merge");
}

// OURS changed by someone else between its read and the write: the merge
// must not put older content over the change.
TEST(Merge, OursChangedDuringTheMerge) {
    VirtualFileSystem fs;
    fs.AddFile("base", "a,1\r\n");
    fs.AddFile("ours", "a,1\r\nb,1\r\n");
    fs.AddFile("theirs", "a,2\r\n");
    const std::string ours = VirtualFileSystem::Path("ours");
    int opens = 0;
    fs.beforeCall = [&](VirtualFileSystem::Op op, const std::string& path) {
        if (op == VirtualFileSystem::Op::Open && path == ours && ++opens == 2) fs.WriteInPlace(ours, "c,1\r\n");
    };
    MergeRun r = RunMerge({VirtualFileSystem::Path("base"), ours, VirtualFileSystem::Path("theirs")}, fs);
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("(ours): error: changed while it was being merged"), std::string::npos) << r.err;
    EXPECT_EQ(fs.Bytes(ours), "c,1\r\n");
}

}  // namespace
