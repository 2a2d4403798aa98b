// Every call that a run makes to the file system is made to fail in turn, on
// a tree held in memory. Whatever fails, each record file must hold either its
// old bytes or exactly its normal form, no temporary file may be left, the
// failure must be reported, and nothing after the failing file is touched.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <iostream>

#include "FaultSupport.h"
#include "VirtualFileSystem.h"

namespace {

using Op = VirtualFileSystem::Op;

const char kBad[] = "<bad>";
const char kNotRecord[] = "<not a record file>";

struct TreeFile {
    std::string name;
    std::string before;
    std::string after;  // kBad or kNotRecord: must keep its bytes
    DWORD attributes;
};

std::string BigFile(bool sorted) {
    // Large enough for several reads and writes of the text file buffers.
    std::string s;
    const int kLines = 3000;
    for (int i = 0; i < kLines; ++i) {
        int n = sorted ? i : kLines - 1 - i;
        std::string key = std::to_string(100000 + n);
        s += "key" + key + ",value of a moderately long record line " + key + (sorted ? ",\r\n" : ",\n");
    }
    return s;
}

// The files in the order in which the walk meets them (names in case-folded
// order, directories searched where they are met). The bad file ends every
// run that gets that far; the two files after it must never be touched.
std::vector<TreeFile> Tree(bool withBigFile) {
    const DWORD kArchive = FILE_ATTRIBUTE_ARCHIVE;
    std::vector<TreeFile> t = {
        {"a-sorted.dbr", "templateName,rec.tpl,\r\nalpha,1,\r\nbeta,2,\r\n",
         "templateName,rec.tpl,\r\nalpha,1,\r\nbeta,2,\r\n", kArchive},
        {"b-unsorted.DBR", "zeta,26,\nTemplateName,x.tpl,\nMid,13,\nalpha,1,",
         "TemplateName,x.tpl,\r\nMid,13,\r\nalpha,1,\r\nzeta,26,\r\n", kArchive},
        {"c-notes.txt", "b,1,\r\na,1,\r\n", kNotRecord, kArchive},
        {"d/big.dbr", BigFile(false), BigFile(true), kArchive},
        {"d/e/bom.dbr", "\xEF\xBB\xBFtemplateName,b.tpl,\r\nz,1,\r\ny,2,\r\n\x1A\x1A",
         "\xEF\xBB\xBFtemplateName,b.tpl,\r\ny,2,\r\nz,1,\r\n", kArchive},
        {"d/e/locked.dbr", "b,1,\r\na,1,\r\n", "a,1,\r\nb,1,\r\n",
         FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM},
        {"d/f.dbr.bak", "b,1,\r\na,1,\r\n", kNotRecord, kArchive},
        {"g-empty-values.dbr", "\r\nk,,\r\nq,2,\r\n\r\np,1,\r\n", "p,1,\r\nq,2,\r\n", kArchive},
        {"h/i-bad.dbr", "a,1,\r\nnocomma\r\n", kBad, kArchive},
        {"h/j-after.dbr", "b,1,\r\na,1,\r\n", "a,1,\r\nb,1,\r\n", kArchive},
        {"k-after.dbr", "b,1,\r\na,1,\r\n", "a,1,\r\nb,1,\r\n", kArchive},
    };
    if (!withBigFile) t.erase(t.begin() + 3);
    return t;
}

bool IsRecord(const TreeFile& f) { return f.after != kNotRecord; }

struct Scenario {
    const char* name;
    bool withBigFile;
    size_t readChunk;  // 0: whole buffers
    bool searchErrors;  // a search that fails to start cannot list, rather than finds nothing
};

void PrintTo(const Scenario& s, std::ostream* os) { *os << s.name; }

class FaultInjection : public ::testing::TestWithParam<Scenario> {
protected:
    void SetUp() override { m_tree = Tree(GetParam().withBigFile); }

    void Build(VirtualFileSystem& vfs) const {
        for (const TreeFile& f : m_tree) vfs.AddFile(f.name, f.before, f.attributes);
        vfs.SetReadChunk(GetParam().readChunk);
        vfs.SetSearchFaultsAreErrors(GetParam().searchErrors);
    }

    int IndexOf(const std::string& path) const {
        for (size_t i = 0; i < m_tree.size(); ++i)
            if (VirtualFileSystem::Path(m_tree[i].name) == path) return static_cast<int>(i);
        return -1;
    }

    // What must hold after any run, however it ended.
    void CheckInvariants(const VirtualFileSystem& vfs, const VirtualFileSystem& pristine,
                         const std::string& label) const {
        EXPECT_EQ(vfs.Entries(), pristine.Entries()) << label << ": a file was left behind or lost";
        for (const TreeFile& f : m_tree) {
            std::string path = VirtualFileSystem::Path(f.name);
            std::string now = vfs.Bytes(path);
            if (!IsRecord(f)) {
                EXPECT_EQ(now, f.before) << label << ": " << f.name;
                EXPECT_FALSE(vfs.Touched(path)) << label << ": " << f.name;
            } else if (f.after == kBad) {
                EXPECT_EQ(now, f.before) << label << ": " << f.name;
            } else {
                EXPECT_TRUE(now == f.before || now == f.after)
                    << label << ": " << f.name << " holds neither its old bytes nor its normal form";
            }
        }
    }

    // Files before the one at index stop are in normal form; it and every
    // file after it keep their bytes, and those after it were never changed
    // (they may have been read: new content waits for a batch's flush).
    void CheckStoppedAt(const VirtualFileSystem& vfs, int stop, const std::string& label) const {
        for (int i = 0; i < static_cast<int>(m_tree.size()); ++i) {
            const TreeFile& f = m_tree[static_cast<size_t>(i)];
            if (!IsRecord(f)) continue;
            std::string path = VirtualFileSystem::Path(f.name);
            std::string now = vfs.Bytes(path);
            if (i < stop) {
                EXPECT_TRUE(now == f.after) << label << ": " << f.name << " should have been rewritten";
            } else {
                EXPECT_TRUE(now == f.before) << label << ": " << f.name << " should be as it was";
            }
            if (i > stop) {
                EXPECT_FALSE(vfs.Modified(path)) << label << ": " << f.name << " changed after the failure";
            }
        }
    }

    // The run stopped somewhere: the files it opened, in walk order, are
    // rewritten (bad files excepted); from the first one it did not open
    // on, none was touched.
    void CheckStoppedPartWay(const VirtualFileSystem& vfs, const std::string& label) const {
        bool stopped = false;
        for (const TreeFile& f : m_tree) {
            if (!IsRecord(f)) continue;
            std::string path = VirtualFileSystem::Path(f.name);
            stopped = stopped || !vfs.Touched(path);
            if (stopped) {
                EXPECT_FALSE(vfs.Touched(path)) << label << ": " << f.name << " touched after the failure";
            }
            if (f.after != kBad) {
                EXPECT_TRUE(vfs.Bytes(path) == (stopped ? f.before : f.after)) << label << ": " << f.name;
            }
        }
    }

    // The run went on past the fault: what was opened is rewritten (bad
    // files excepted), what was not keeps its bytes.
    void CheckWentOn(const VirtualFileSystem& vfs, const std::string& label) const {
        for (const TreeFile& f : m_tree) {
            if (!IsRecord(f) || f.after == kBad) continue;
            std::string path = VirtualFileSystem::Path(f.name);
            bool opened = false;
            for (const std::string& line : vfs.Log()) opened = opened || line == "open " + path;
            EXPECT_TRUE(vfs.Bytes(path) == (opened ? f.after : f.before)) << label << ": " << f.name;
        }
    }

    std::vector<TreeFile> m_tree;
};

TEST_P(FaultInjection, EveryCallFailingInTurn) {
    VirtualFileSystem pristine;
    Build(pristine);

    // The run without faults: it counts the calls and stops at the bad file.
    VirtualFileSystem clean;
    Build(clean);
    RunOutcome cleanOutcome = RunCatching(clean, VirtualFileSystem::Top());
    int badIndex = -1;
    for (size_t i = 0; i < m_tree.size(); ++i)
        if (m_tree[i].after == kBad) badIndex = static_cast<int>(i);
    const std::string badPath = VirtualFileSystem::Path(m_tree[static_cast<size_t>(badIndex)].name);
    ASSERT_FALSE(cleanOutcome.threw);
    ASSERT_EQ(cleanOutcome.messages, (std::vector<std::string>{kBadFileMessage + badPath, kCompleteMessage}));
    CheckInvariants(clean, pristine, "no fault");
    CheckStoppedAt(clean, badIndex, "no fault");

    int total = 0;
    std::string perKind;
    for (int k = 0; k < VirtualFileSystem::kOpCount; ++k) {
        Op op = VirtualFileSystem::OpAt(k);
        int calls = clean.Calls(op);
        perKind += std::string(" ") + VirtualFileSystem::OpName(op) + "=" + std::to_string(calls);
        for (int n = 1; n <= calls; ++n) {
            ++total;
            std::string label = std::string(VirtualFileSystem::OpName(op)) + " call " + std::to_string(n);
            VirtualFileSystem vfs;
            Build(vfs);
            vfs.FailAt(op, n);
            RunOutcome got = RunCatching(vfs, VirtualFileSystem::Top());
            ASSERT_TRUE(vfs.Faulted()) << label << ": the run took another course than without faults";
            CheckInvariants(vfs, pristine, label);

            const std::string& at = vfs.FaultPath();
            int stop = IndexOf(at);
            bool lockedFile = stop >= 0 && (m_tree[static_cast<size_t>(stop)].attributes & FILE_ATTRIBUTE_READONLY);
            switch (op) {
            case Op::Open:
                EXPECT_EQ(got.messages, (std::vector<std::string>{kCannotOpenMessage + at, kCompleteMessage})) << label;
                CheckStoppedAt(vfs, stop, label);
                break;
            case Op::CreateTemp:
            case Op::Replace:
                EXPECT_EQ(got.messages, (std::vector<std::string>{kCannotWriteMessage + at, kCompleteMessage})) << label;
                CheckStoppedAt(vfs, stop, label);
                break;
            case Op::Read:
            case Op::Write:
            case Op::Close:
                // An I/O error part-way ends the run before "Complete!".
                EXPECT_TRUE(got.threw) << label;
                EXPECT_EQ(got.thrownPath, at) << label;
                EXPECT_EQ(got.cause, op == Op::Read ? CFileException::readError : CFileException::writeError) << label;
                EXPECT_TRUE(got.messages.empty()) << label;
                CheckStoppedAt(vfs, stop, label);
                break;
            case Op::Attributes:
                if (lockedFile) {
                    // Still read-only: the new content cannot be moved over it.
                    EXPECT_EQ(got.messages, (std::vector<std::string>{kCannotWriteMessage + at, kCompleteMessage}))
                        << label;
                    CheckStoppedAt(vfs, stop, label);
                } else {
                    // Its result is of no account: the run is as without faults.
                    EXPECT_EQ(got.messages, cleanOutcome.messages) << label;
                    CheckStoppedAt(vfs, badIndex, label);
                }
                break;
            case Op::Search:
                if (!vfs.FaultAtSearchStart() || GetParam().searchErrors) {
                    // The directory that cannot be listed, or whose listing
                    // breaks off (or the entry itself), is reported; the run
                    // ends there.
                    const std::string all = std::string(1, kPathSeparator) + "*.*";
                    std::string name = at;
                    if (name.size() > all.size() && name.compare(name.size() - all.size(), all.size(), all) == 0)
                        name.erase(name.size() - all.size());
                    // A listing breaks off after the entry it last gave,
                    // so a failure inside that entry comes first.
                    EXPECT_TRUE(got.messages == (std::vector<std::string>{kCannotOpenMessage + name, kCompleteMessage}) ||
                                (!vfs.FaultAtSearchStart() && got.messages == cleanOutcome.messages))
                        << label << ": " << (got.messages.empty() ? "" : got.messages[0]);
                    CheckStoppedPartWay(vfs, label);
                    break;
                }
                // A search that finds nothing is a directory with nothing in
                // it.
                [[fallthrough]];
            case Op::Identify:
                if (stop >= 0) {
                    // The look before the replace: the file is not replaced.
                    EXPECT_EQ(got.messages, (std::vector<std::string>{kCannotWriteMessage + at, kCompleteMessage})) << label;
                    CheckStoppedAt(vfs, stop, label);
                    break;
                }
                // Without a directory's identity the walk still enters it.
                EXPECT_FALSE(got.threw) << label;
                EXPECT_TRUE(got.messages == cleanOutcome.messages ||
                            got.messages == std::vector<std::string>{kCompleteMessage})
                    << label;
                CheckWentOn(vfs, label);
                break;
            }
            if (HasFailure()) return;  // one broken fault point tells enough
        }
    }
    std::cout << "[ fault points ] " << GetParam().name << ": " << total << " tried, " << total
              << " survived;" << perKind << std::endl;
    RecordProperty("fault_points", total);
}

// The same faults in a run that keeps going: it never leaves early, reports
// the failure and the bad file, and sorts every other file that it reaches.
TEST_P(FaultInjection, KeepGoingPastEveryCallFailing) {
    VirtualFileSystem pristine, clean;
    Build(pristine);
    Build(clean);
    ASSERT_FALSE(RunCatching(clean, VirtualFileSystem::Top(), true).threw);
    std::string badPath;
    for (const TreeFile& f : m_tree)
        if (f.after == kBad) badPath = VirtualFileSystem::Path(f.name);
    for (int k = 0; k < VirtualFileSystem::kOpCount; ++k) {
        Op op = VirtualFileSystem::OpAt(k);
        for (int n = 1; n <= clean.Calls(op); ++n) {
            std::string label = std::string(VirtualFileSystem::OpName(op)) + " call " + std::to_string(n);
            VirtualFileSystem vfs;
            Build(vfs);
            vfs.FailAt(op, n);
            RunOutcome got = RunCatching(vfs, VirtualFileSystem::Top(), true);
            CheckInvariants(vfs, pristine, label);
            EXPECT_FALSE(got.threw) << label;
            ASSERT_FALSE(got.messages.empty()) << label;
            EXPECT_EQ(got.messages.back(), kCompleteMessage) << label;
            std::string all;
            for (const std::string& m : got.messages) all += m + "\n";
            bool quiet = op == Op::Search || op == Op::Identify || op == Op::Attributes;
            EXPECT_TRUE(quiet || all.find(vfs.FaultPath()) != std::string::npos) << label << all;
            // A search that fails hides what lies below it; what is reached
            // is reported or sorted.
            for (const TreeFile& f : m_tree) {
                std::string path = VirtualFileSystem::Path(f.name);
                bool reached = false;
                for (const std::string& line : vfs.Log()) reached = reached || line == "open " + path;
                bool good = IsRecord(f) && f.after != kBad;
                bool reported = all.find(path) != std::string::npos;
                EXPECT_TRUE(!reached || good || !IsRecord(f) || path == vfs.FaultPath() ||
                            all.find(kBadFileMessage + path) != std::string::npos) << label;
                EXPECT_TRUE(!good || !reached || reported || vfs.Bytes(path) == f.after) << label << ": " << f.name;
                EXPECT_TRUE(quiet || !good || reached) << label << ": " << f.name;
            }
            if (HasFailure()) return;
        }
    }
}

const Scenario kScenarios[] = {
    {"WholeBuffers", true, 0, false},
    {"ThreeByteReads", false, 3, false},
    {"SearchErrors", true, 0, true},
};

INSTANTIATE_TEST_SUITE_P(Trees, FaultInjection, ::testing::ValuesIn(kScenarios),
                         [](const ::testing::TestParamInfo<Scenario>& info) { return std::string(info.param.name); });

// Another program at work, links, and a listing that breaks off: each row
// changes the tree once, just before the first call of kind when on trigger.
TEST(VirtualFileSystem, ChangesBetweenTheCalls) {
    using Change = std::function<void(VirtualFileSystem&)>;
    const std::string kOther = "c,3,\r\n";
    const std::string kBadLine = "a,1,\r\nnocomma\r\n";
    struct Case {
        const char* name;
        Change tree;
        std::string entry;
        SortMode mode;
        Op when;
        std::string trigger;
        Change change;
        std::vector<std::string> messages;  // "" stands for "Complete!"; others are words + Path(name)
        std::vector<std::pair<std::string, std::string>> after;
        std::vector<std::pair<std::string, uint32_t>> modes = {};  // permission bits after
    };
    auto linked = [&](VirtualFileSystem& v) {
        v.AddFile("t1.rec", kUnsorted);
        v.AddFile("t2.rec", kOther);
        v.AddLink("m.dbr", "t1.rec");
    };
    auto plain = [&](VirtualFileSystem& v) { v.AddFile("m.dbr", kUnsorted); };
    auto twoNames = [&](VirtualFileSystem& v) {
        v.AddFile("m.dbr", kUnsorted);
        v.AddHardLink("m.two", "m.dbr");
    };
    auto readOnly = [&](VirtualFileSystem& v) { v.AddFile("m.dbr", kUnsorted, FILE_ATTRIBUTE_READONLY); };
    // Made by an ordinary user (1000), whose file it is, or by root.
    auto usersReadOnly = [&](VirtualFileSystem& v) {
        v.SetUser(1000, {1000});
        readOnly(v);
    };
    auto rootsReadOnly = [&](VirtualFileSystem& v) {
        readOnly(v);
        v.SetUser(1000, {1000});
    };
    const std::string m = VirtualFileSystem::Path("m.dbr");
    const std::string cannotWrite = std::string(kCannotWriteMessage) + "m.dbr";
    const Case cases[] = {
        {"nothing changes", plain, "m.dbr", SortMode::RewriteAlways, Op::CreateTemp, "m.dbr", [](VirtualFileSystem&) {},
         {""}, {{"m.dbr", kSorted}}},
        {"link pointed elsewhere", linked, "m.dbr", SortMode::RewriteAlways, Op::CreateTemp, "t1.rec",
         [](VirtualFileSystem& v) { v.AddLink("m.dbr", "t2.rec"); },
         {std::string(kCannotWriteMessage) + "m.dbr", ""}, {{"t1.rec", kUnsorted}, {"t2.rec", kOther}}},
        {"file replaced", plain, "m.dbr", SortMode::RewriteAlways, Op::CreateTemp, "m.dbr",
         [&](VirtualFileSystem& v) { v.ReplaceWithNew(VirtualFileSystem::Path("m.dbr"), kOther); },
         {std::string(kCannotWriteMessage) + "m.dbr", ""}, {{"m.dbr", kOther}}},
        {"file written in place", plain, "m.dbr", SortMode::RewriteAlways, Op::CreateTemp, "m.dbr",
         [&](VirtualFileSystem& v) { v.WriteInPlace(VirtualFileSystem::Path("m.dbr"), kOther); },
         {std::string(kCannotWriteMessage) + "m.dbr", ""}, {{"m.dbr", kOther}}},
        // Written in place, as a file of two names is: the look before the
        // write finds the other program's.
        {"file of two names written in place", twoNames, "m.dbr", SortMode::RewriteAlways, Op::CreateTemp, "m.dbr",
         [&](VirtualFileSystem& v) { v.WriteInPlace(m, kOther); }, {cannotWrite, ""},
         {{"m.dbr", kOther}, {"m.two", kOther}}},
        // What changes the file but not its content: the new file would
        // undo it.
        {"mode changed", plain, "m.dbr", SortMode::RewriteAlways, Op::CreateTemp, "m.dbr",
         [&](VirtualFileSystem& v) { v.Chmod(m, 0600); }, {cannotWrite, ""}, {{"m.dbr", kUnsorted}}, {{"m.dbr", 0600}}},
        {"owner changed", plain, "m.dbr", SortMode::RewriteAlways, Op::CreateTemp, "m.dbr",
         [&](VirtualFileSystem& v) { v.Chown(m, 1000, 1000); }, {cannotWrite, ""}, {{"m.dbr", kUnsorted}}},
        {"second name made", plain, "m.dbr", SortMode::RewriteAlways, Op::CreateTemp, "m.dbr",
         [&](VirtualFileSystem& v) { v.AddHardLink("m.two", "m.dbr"); }, {cannotWrite, ""},
         {{"m.dbr", kUnsorted}, {"m.two", kUnsorted}}},
        {"extended attribute added", plain, "m.dbr", SortMode::RewriteAlways, Op::CreateTemp, "m.dbr",
         [&](VirtualFileSystem& v) { v.SetXattr(m, "user.origin", "staging"); }, {cannotWrite, ""},
         {{"m.dbr", kUnsorted}}},
        // The attributes step acts on the file that was read: the private
        // file put under the name keeps its bits.
        {"private file put under a read-only file's name", readOnly, "m.dbr", SortMode::RewriteAlways, Op::CreateTemp,
         "m.dbr",
         [&](VirtualFileSystem& v) {
             v.ReplaceWithNew(m, kOther);
             v.Chmod(m, 0600);
         },
         {cannotWrite, ""}, {{"m.dbr", kOther}}, {{"m.dbr", 0600}}},
        // An ordinary user's own read-only file is its to write, once the
        // attributes step has let it; another's is not.
        {"a user's own read-only file", usersReadOnly, "m.dbr", SortMode::RewriteAlways, Op::CreateTemp, "m.dbr",
         [](VirtualFileSystem&) {}, {""}, {{"m.dbr", kSorted}}, {{"m.dbr", 0644}}},
        // A new file could not be given root's owner: written in place,
        // the file keeps it, and its group's write.
        {"group-writable file of root's, for a user of that group",
         [&](VirtualFileSystem& v) {
             plain(v);
             v.Chown(m, 0, 1234);
             v.Chmod(m, 0664);
             v.SetUser(1000, {1000, 1234});
         },
         "m.dbr", SortMode::RewriteAlways, Op::CreateTemp, "m.dbr", [](VirtualFileSystem&) {}, {""},
         {{"m.dbr", kSorted}}, {{"m.dbr", 0664}}},
        {"root's read-only file, for a user", rootsReadOnly, "m.dbr", SortMode::RewriteAlways, Op::CreateTemp, "m.dbr",
         [](VirtualFileSystem&) {}, {cannotWrite, ""}, {{"m.dbr", kUnsorted}}, {{"m.dbr", 0444}}},
        // The search is a step ahead of the walk: it breaks off when the walk
        // reaches a, after it has given b.
        {"listing breaks off after the second file",
         [&](VirtualFileSystem& v) { v.AddFile("a.dbr", kUnsorted); v.AddFile("b.dbr", kUnsorted); v.AddFile("c.dbr", kUnsorted); },
         "", SortMode::RewriteAlways, Op::Open, "a.dbr",
         [](VirtualFileSystem& v) { v.FailAt(Op::Search, v.Calls(Op::Search) + 1); },
         {std::string(kCannotOpenMessage), ""}, {{"a.dbr", kSorted}, {"b.dbr", kSorted}, {"c.dbr", kUnsorted}}},
        // The wildcard's directory is walked by its listing: a link back to it
        // is passed over, so the bad file is reported once, by its own name.
        {"wildcard directory reached again through a link",
         [&](VirtualFileSystem& v) { v.AddFile("d/x.dbr", kBadLine); v.AddLink("d/loop", "d"); },
         "d/*", SortMode::Check, Op::Open, "none", [](VirtualFileSystem&) {},
         {std::string(kBadFileMessage) + "d/x.dbr", ""}, {{"d/x.dbr", kBadLine}}},
    };
    for (const Case& c : cases) {
        VirtualFileSystem vfs;
        c.tree(vfs);
        bool done = false;
        vfs.beforeCall = [&](Op op, const std::string& path) {
            if (done || op != c.when || path != VirtualFileSystem::Path(c.trigger)) return;
            done = true;
            c.change(vfs);
        };
        RecordingSink sink;
        CRecordSorter sorter(sink, vfs);
        sorter.SetMode(c.mode);
        sorter.Run(CString(VirtualFileSystem::Path(c.entry)));
        std::vector<std::string> expected;
        for (const std::string& m : c.messages) {
            size_t cut = m.find("\r\n");
            expected.push_back(m.empty() ? kCompleteMessage : m.substr(0, cut + 2) + VirtualFileSystem::Path(m.substr(cut + 2)));
        }
        EXPECT_EQ(sink.messages, expected) << c.name;
        for (const auto& f : c.after) EXPECT_EQ(vfs.Bytes(VirtualFileSystem::Path(f.first)), f.second) << c.name << ": " << f.first;
        for (const auto& f : c.modes) EXPECT_EQ(vfs.Mode(VirtualFileSystem::Path(f.first)), f.second) << c.name << ": " << f.first;
        for (const std::string& e : vfs.Entries())
            EXPECT_EQ(e.find("tvtmp"), std::string::npos) << c.name << ": " << e << " left behind";
    }
}

// Power lost at every step of a run, in the manner of a crash test: the disk
// then holds only what was flushed (names are kept, as a journal keeps
// them). Every record file must hold its old or its new content; one being
// written in place may hold neither, but only with all of its new content
// on the disk beside it. A file reported done must hold its new content,
// also when the power goes once the run is over.
TEST(VirtualFileSystem, PowerLossAtEveryStep) {
    struct PowerLoss {};
    const std::vector<TreeFile> tree = {
        {"a.dbr", "b,1,\r\na,1,\r\n", "a,1,\r\nb,1,\r\n", FILE_ATTRIBUTE_ARCHIVE},
        {"b.dbr", "templateName,t,\r\nz,1,\r\n", "templateName,t,\r\nz,1,\r\n", FILE_ATTRIBUTE_READONLY},
        {"d/c.dbr", "y,1,\nx,2,\n", "x,2,\r\ny,1,\r\n", FILE_ATTRIBUTE_ARCHIVE},
        {"d/linked.dbr", "q,1,\r\np,1,\r\n", "p,1,\r\nq,1,\r\n", FILE_ATTRIBUTE_ARCHIVE},
    };
    auto build = [&](VirtualFileSystem& vfs) {
        for (const TreeFile& f : tree) vfs.AddFile(f.name, f.before, f.attributes);
        vfs.AddHardLink("other.name", "d/linked.dbr");  // written in place
    };
    int steps = 0;
    {
        VirtualFileSystem clean;
        build(clean);
        clean.beforeCall = [&](Op, const std::string&) { ++steps; };
        ASSERT_EQ(RunCatching(clean, VirtualFileSystem::Top()).messages, std::vector<std::string>{kCompleteMessage});
        for (const TreeFile& f : tree) ASSERT_EQ(clean.Bytes(VirtualFileSystem::Path(f.name)), f.after) << f.name;
    }
    int checked = 0;
    // The last one cuts the power after the run.
    for (int crashAt = 1; crashAt <= steps + 1; ++crashAt) {
        VirtualFileSystem vfs;
        build(vfs);
        int step = 0;
        vfs.beforeCall = [&](Op, const std::string&) {
            if (++step != crashAt) return;
            vfs.Crash();
            throw PowerLoss();
        };
        RecordingSink sink;
        try {
            CRecordSorter(sink, vfs).Run(CString(VirtualFileSystem::Top()));
        } catch (const PowerLoss&) {
        }
        if (crashAt > steps) vfs.Crash();
        ASSERT_TRUE(vfs.Crashed()) << crashAt;
        for (const TreeFile& f : tree) {
            const std::string path = VirtualFileSystem::Path(f.name);
            std::string now = vfs.Bytes(path);
            bool copyBeside = false;
            for (const std::string& e : vfs.Entries())
                copyBeside = copyBeside || (e.find("tvtmp") != std::string::npos && vfs.Bytes(e) == f.after);
            bool done = std::find(sink.done.begin(), sink.done.end(), path) != sink.done.end();
            EXPECT_TRUE(done ? now == f.after : now == f.before || now == f.after || copyBeside)
                << "power lost at step " << crashAt << ": " << f.name << " holds \"" << now << "\""
                << (done ? ", though reported done" : "");
            ++checked;
        }
        if (HasFailure()) return;
    }
    std::cout << "[ power loss ] " << steps + 1 << " steps crashed, " << checked << " files checked, none lost"
              << std::endl;
}

// The double itself: a search yields what a real one would, so that the
// sweep above walks the tree as the real file systems are walked.
TEST(VirtualFileSystem, SearchesLikeWindows) {
    VirtualFileSystem vfs;
    vfs.AddFile("B.dbr", "");
    vfs.AddFile("a.dbr", "");
    vfs.AddFile("sub/c.dbr", "");
    struct Case {
        std::string pattern;
        std::vector<std::string> names;
        std::string root;
    };
    const std::string top = VirtualFileSystem::Top();
    const Case cases[] = {
        {VirtualFileSystem::Path("*.*"), {".", "..", "a.dbr", "B.dbr", "sub"}, top},
        {VirtualFileSystem::Path("?.DBR"), {"a.dbr", "B.dbr"}, top},
        {VirtualFileSystem::Path("sub"), {"sub"}, top},
        {VirtualFileSystem::Path("sub/c.dbr"), {"c.dbr"}, VirtualFileSystem::Path("sub")},
        {top, {top.substr(top.rfind(kPathSeparator) + 1)}, top.substr(0, top.rfind(kPathSeparator) + 1)},
        {VirtualFileSystem::Path("nothing*"), {}, ""},
        {VirtualFileSystem::Path("sub") + kPathSeparator, {}, ""},
    };
    for (const Case& c : cases) {
        FoundEntry entry;
        CString root;
        std::vector<std::string> names;
        FileError error;
        auto listing = vfs.FindFirst(CString(c.pattern), root, error);
        if (listing) {
            while (listing->Next(entry, error) == DirectoryListing::Step::Entry) names.push_back(entry.name.str());
            EXPECT_EQ(root.str(), c.root) << c.pattern;
        }
        EXPECT_EQ(names, c.names) << c.pattern;
    }
}

}  // namespace

// A read error that throws out of a deep walk must not leave the sorter
// thinking it is still inside those directories: the next walk over the same
// tree, with the same sorter, reaches every file.
TEST(FaultInjection, NextWalkAfterAnErrorIsWhole) {
    VirtualFileSystem vfs;
    vfs.AddFile("t/a/b/x.dbr", "b,1,\r\na,1,\r\n");
    vfs.AddFile("t/a/b/y.dbr", "b,1,\r\na,1,\r\n");
    RecordingSink sink;
    CRecordSorter sorter(sink, vfs);
    vfs.FailAt(VirtualFileSystem::Op::Read, 1);
    EXPECT_THROW(sorter.WalkPattern(CString(vfs.Path("t"))), CFileException);
    vfs.FailAt(VirtualFileSystem::Op::Read, 0);
    EXPECT_TRUE(sorter.WalkPattern(CString(vfs.Path("t"))));
    EXPECT_EQ(vfs.Bytes(vfs.Path("t/a/b/x.dbr")), "a,1,\r\nb,1,\r\n");
    EXPECT_EQ(vfs.Bytes(vfs.Path("t/a/b/y.dbr")), "a,1,\r\nb,1,\r\n");
}
