// The walk over real trees: what is rewritten, what is left, where it stops.
#include <gtest/gtest.h>

#include <filesystem>

#include "TestSupport.h"
#include "VirtualFileSystem.h"

namespace {

const std::string kBadFile = "a,1,\r\nbad\r\n";

struct Tree {
    TempDir dir;
    RecordingSink sink;
    void Run(const std::string& entry) {
        CRecordSorter sorter(sink);
        sorter.Run(CString(entry));
    }
};

TEST(Walk, EveryLevelRewrittenOtherFilesUntouched) {
    Tree t;
    const char* records[] = {"top.dbr", "A/one.DBR", "A/B/two.Dbr", "A/B/C/D/deep.dbr", ".hid/x.dbr"};
    const char* others[] = {"A/one.dbrx", "A/one.dbr.bak", "A/B/notes.txt", "dbr", "A/x.db"};
    for (const char* r : records) t.dir.Write(r, kUnsorted);
    for (const char* o : others) t.dir.Write(o, kUnsorted);
    t.Run(t.dir.Path());
    for (const char* r : records) EXPECT_EQ(t.dir.Read(r), kSorted) << r;
    for (const char* o : others) EXPECT_EQ(t.dir.Read(o), kUnsorted) << o;
    EXPECT_EQ(t.sink.messages, std::vector<std::string>{"Complete!"});
}

TEST(Walk, EntriesThatMatchNothing) {
    Tree t;
    t.dir.Write("d/a.dbr", kUnsorted);
    for (std::string entry : {std::string(""), t.dir.Path("nothing"), t.dir.Path("d") + kPathSeparator,
                              t.dir.Path("*.none")}) {
        t.sink.messages.clear();
        t.Run(entry);
        EXPECT_EQ(t.sink.messages, std::vector<std::string>{"Complete!"}) << entry;
    }
    EXPECT_EQ(t.dir.Read("d/a.dbr"), kUnsorted);
}

TEST(Walk, WildcardEntryTestsFilesAndSearchesDirectories) {
    Tree t;
    t.dir.Write("x1.dbr", kUnsorted);
    t.dir.Write("y1.dbr", kUnsorted);
    t.dir.Write("x2/inner.dbr", kUnsorted);   // directory matched by the pattern
    t.dir.Write("x3.txt", kUnsorted);
    t.Run(t.dir.Path("x*"));
    EXPECT_EQ(t.dir.Read("x1.dbr"), kSorted);
    EXPECT_EQ(t.dir.Read("x2/inner.dbr"), kSorted);
    EXPECT_EQ(t.dir.Read("y1.dbr"), kUnsorted);
    EXPECT_EQ(t.dir.Read("x3.txt"), kUnsorted);
}

TEST(Walk, StopsAtFirstBadFileDepthFirst) {
    // Listing order is case-folded name order: a, b/ (b/1, b/2 bad, b/3), c.
    Tree t;
    t.dir.Write("a.dbr", kUnsorted);
    t.dir.Write("b/1.dbr", kUnsorted);
    t.dir.Write("b/2.dbr", kBadFile);
    t.dir.Write("b/3.dbr", kUnsorted);
    t.dir.Write("b/4/x.dbr", kUnsorted);
    t.dir.Write("c.dbr", kUnsorted);
    t.dir.Write("d/e.dbr", kUnsorted);
    t.Run(t.dir.Path());
    EXPECT_EQ(t.dir.Read("a.dbr"), kSorted);
    EXPECT_EQ(t.dir.Read("b/1.dbr"), kSorted);
    EXPECT_EQ(t.dir.Read("b/2.dbr"), kBadFile);
    for (const char* after : {"b/3.dbr", "b/4/x.dbr", "c.dbr", "d/e.dbr"}) EXPECT_EQ(t.dir.Read(after), kUnsorted) << after;
    EXPECT_EQ(t.sink.messages,
              (std::vector<std::string>{"Error detected within file:\r\n" + t.dir.Path("b/2.dbr"), "Complete!"}));
}

TEST(Walk, SecondRunRewritesSameContent) {
    Tree t;
    t.dir.Write("s/a.dbr", "templateName,x,\nz,1,\n\nm,,\ny,2,");
    t.Run(t.dir.Path("s"));
    std::string once = t.dir.Read("s/a.dbr");
    EXPECT_EQ(once, "templateName,x,\r\ny,2,\r\nz,1,\r\n");
    t.Run(t.dir.Path("s"));
    EXPECT_EQ(t.dir.Read("s/a.dbr"), once);
    EXPECT_EQ(t.dir.Files(), std::vector<std::string>{"s/a.dbr"});
}

TEST(Walk, RelativeEntry) {
    Tree t;
    t.dir.Write("rel/a.dbr", kUnsorted);
    auto saved = std::filesystem::current_path();
    std::filesystem::current_path(t.dir.Path());
    t.Run("rel");
    std::filesystem::current_path(saved);
    EXPECT_EQ(t.dir.Read("rel/a.dbr"), kSorted);
}

// A stop between entries: what came before it is on the disk (a crash right
// after the run keeps it), the rest untouched, no temporary file stays, and
// there is no "Complete!".
TEST(Walk, StopEndsTheWalkAtAFileBoundary) {
    // Asked about in turn: the entry, a/, a/1, a/2, b, c/, c/3, then by Run.
    const char* names[] = {"a/1.dbr", "a/2.dbr", "b.dbr", "c/3.dbr"};
    const std::pair<int, size_t> cases[] = {{1, 0}, {4, 1}, {6, 3}, {8, 4}, {0, 4}};  // stop at (0: never), sorted
    for (const auto& c : cases) {
        VirtualFileSystem vfs;
        for (const char* name : names) vfs.AddFile(name, kUnsorted);
        std::vector<std::string> entries = vfs.Entries();
        struct StoppingSink : RecordingSink {
            int asked = 0, stopAt = 0;
            bool StopRequested() override { return stopAt > 0 && ++asked >= stopAt; }
        } sink;
        sink.stopAt = c.first;
        CRecordSorter(sink, vfs).Run(CString(VirtualFileSystem::Top()));
        vfs.Crash();
        EXPECT_EQ(sink.messages, c.first ? std::vector<std::string>{} : std::vector<std::string>{"Complete!"});
        EXPECT_EQ(sink.changed.size(), c.second) << c.first;
        for (size_t i = 0; i < std::size(names); ++i)
            EXPECT_EQ(vfs.Bytes(VirtualFileSystem::Path(names[i])), i < c.second ? kSorted : kUnsorted) << c.first;
        EXPECT_EQ(vfs.Entries(), entries);
    }
}

#ifndef _WIN32
TEST(Walk, LinksBackUpTheTreeAreNotFollowedOthersAre) {
    Tree t;
    t.dir.Write("root/a/x.dbr", kUnsorted);
    t.dir.Write("elsewhere/y.dbr", kUnsorted);
    std::filesystem::create_directory_symlink(t.dir.Path("root"), t.dir.Path("root/a/loop"));
    std::filesystem::create_directory_symlink(t.dir.Path("elsewhere"), t.dir.Path("root/a/other"));
    std::filesystem::create_symlink(t.dir.Path("elsewhere/y.dbr"), t.dir.Path("root/link.dbr"));
    t.dir.Write("elsewhere/z.dbr", kUnsorted);
    std::filesystem::create_symlink(t.dir.Path("elsewhere/z.dbr"), t.dir.Path("root/zlink.dbr"));
    t.Run(t.dir.Path("root"));
    EXPECT_EQ(t.sink.messages, std::vector<std::string>{"Complete!"});
    EXPECT_EQ(t.dir.Read("root/a/x.dbr"), kSorted);
    EXPECT_EQ(t.dir.Read("elsewhere/y.dbr"), kSorted);
    EXPECT_EQ(t.dir.Read("elsewhere/z.dbr"), kSorted);
    // Rewritten at the target: the links stay links.
    EXPECT_TRUE(std::filesystem::is_symlink(t.dir.Path("root/link.dbr")));
    EXPECT_TRUE(std::filesystem::is_symlink(t.dir.Path("root/zlink.dbr")));
}

// Without a current directory a relative entry cannot be searched: it is
// reported as typed, and nothing is walked (least of all from "/").
TEST(Walk, RelativeEntryWithoutCurrentDirectory) {
    Tree t;
    t.dir.Write("abs/a.dbr", kUnsorted);
    t.dir.MakeDir("gone");
    auto saved = std::filesystem::current_path();
    std::filesystem::current_path(t.dir.Path("gone"));
    std::filesystem::remove(t.dir.Path("gone"));
    for (std::string entry : {"a.dbr", "*.dbr", "abs"}) {
        t.sink.messages.clear();
        t.Run(entry);
        EXPECT_EQ(t.sink.messages, (std::vector<std::string>{"Cannot open file:\r\n" + entry, "Complete!"})) << entry;
    }
    t.sink.messages.clear();
    t.Run(t.dir.Path("abs"));  // an absolute entry is not affected
    std::filesystem::current_path(saved);
    EXPECT_EQ(t.sink.messages, std::vector<std::string>{"Complete!"});
    EXPECT_EQ(t.dir.Read("abs/a.dbr"), kSorted);
}

// A directory that cannot be listed ends a run there; a check reports it and
// goes on with the rest of the tree.
TEST(Walk, UnlistableDirectoryEndsARunButNotACheck) {
    for (SortMode mode : {SortMode::RewriteAlways, SortMode::Check}) {
        VirtualFileSystem vfs;
        vfs.AddFile("a/x.dbr", kUnsorted);
        vfs.AddFile("b/y.dbr", kUnsorted);
        vfs.SetSearchFaultsAreErrors(true);
        vfs.FailAt(VirtualFileSystem::Op::Search, 9);  // the listing of a
        RecordingSink sink;
        CRecordSorter sorter(sink, vfs);
        sorter.SetMode(mode);
        sorter.Run(CString(VirtualFileSystem::Top()));
        bool check = mode == SortMode::Check;
        std::string cannot = "Cannot open file:\r\n" + VirtualFileSystem::Path("a");
        EXPECT_EQ(sink.messages, (std::vector<std::string>{cannot, "Complete!"})) << check;
        EXPECT_EQ(sink.changed, check ? std::vector<bool>{true} : std::vector<bool>{}) << check;
        EXPECT_EQ(vfs.Bytes(VirtualFileSystem::Path("b/y.dbr")), kUnsorted);
    }
}

TEST(Walk, DanglingLinkCannotBeOpened) {
    Tree t;
    t.dir.Write("a.dbr", kUnsorted);
    std::filesystem::create_symlink(t.dir.Path("nowhere"), t.dir.Path("x.dbr"));
    t.dir.Write("y.dbr", kUnsorted);
    t.Run(t.dir.Path());
    EXPECT_EQ(t.sink.messages,
              (std::vector<std::string>{"Cannot open file:\r\n" + t.dir.Path("x.dbr"), "Complete!"}));
    EXPECT_EQ(t.dir.Read("a.dbr"), kSorted);
    EXPECT_EQ(t.dir.Read("y.dbr"), kUnsorted);
}
#endif

}  // namespace
