// tervalo-cli's front end: arguments, output streams and exit statuses.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#else
#include <unistd.h>
#endif

#include "../../console/CliMain.h"
#include "../../platform/Terminal.h"
#include "../../platform/PathMatch.h"
#include "TestSupport.h"
#include "VirtualFileSystem.h"

namespace {

struct CliResult {
    int status;
    std::string out, err;
};

CliResult RunCli(std::vector<std::string> args, const CliConsole& console = CliConsole(),
                 FileSystem& fs = GetRealFileSystem()) {
    args.insert(args.begin(), "tervalo-cli");
    std::vector<const char*> argv;
    for (const std::string& a : args) argv.push_back(a.c_str());
    std::ostringstream out, err;
    int status = TervaloCliMain(static_cast<int>(argv.size()), argv.data(), out, err, fs, console);
    return {status, out.str(), err.str()};
}

namespace stdfs = std::filesystem;

// Every file below dir with its bytes, permission bits and modification time.
std::string Snapshot(const TempDir& dir) {
    std::ostringstream s;
    for (const std::string& name : dir.Files()) {
        stdfs::path p(dir.Path(name));
        s << name << ' ' << static_cast<int>(stdfs::status(p).permissions()) << ' '
          << stdfs::last_write_time(p).time_since_epoch().count() << ' ' << dir.Read(name) << '\n';
    }
    return s.str();
}

// The message of a bad file and its located fault.
std::string BadFile(const std::string& path, const std::string& fault) {
    return "Error detected within file:\n" + path + "\n" + path + ":" + fault + "\n";
}

const char kNormal[] = "templateName,t,\r\na,1,\r\nb,1,\r\n";

// A file in normal form, read-only and an hour old.
void WriteOldReadOnly(const TempDir& dir, const std::string& name) {
    dir.Write(name, kNormal);
    stdfs::path p(dir.Path(name));
    stdfs::last_write_time(p, stdfs::last_write_time(p) - std::chrono::hours(1));
    stdfs::permissions(p, stdfs::perms::owner_write | stdfs::perms::group_write | stdfs::perms::others_write,
                       stdfs::perm_options::remove);
}

TEST(Cli, UsageAndInformation) {
    const struct {
        std::vector<std::string> args;
        int status;
        std::string outStart, errStart;
    } cases[] = {
        {{}, 2, "", "tervalo-cli: no entry given\nusage: tervalo-cli"},
        {{"--bogus", "x"}, 2, "", "tervalo-cli: unknown option '--bogus'\nusage:"},
        {{"--version"}, 0, "tervalo-cli 1.0.0.1\n", ""},
        {{"--help"}, 0, "usage: tervalo-cli", ""},
        {{"--"}, 2, "", "tervalo-cli: no entry given"},
        {{"--check", "-l", "x"}, 2, "", "tervalo-cli: --check and --diff write nothing"},
        {{"--check", "--changed-only", "x"}, 2, "", "tervalo-cli: --check and --diff write nothing"},
        {{"--diff", "--no-sync", "x"}, 2, "", "tervalo-cli: --check and --diff write nothing"},
        {{"--diff", "-k", "x"}, 1, "", "x: error: no such file or directory"},
        {{"-lh"}, 0, "usage: tervalo-cli", ""},
        {{"-kq", "x"}, 2, "", "tervalo-cli: unknown option '-kq'"},
        {{"-", "x"}, 2, "", "tervalo-cli: '-' (standard input) must be the only entry"},
        {{"--stdin-filename", "n", "x"}, 2, "", "tervalo-cli: --stdin-filename names the entry '-'"},
        {{"--format=json", "x"}, 2, "", "tervalo-cli: --format takes github or text, not 'json'"},
        {{"--color=red", "x"}, 2, "", "tervalo-cli: --color takes auto, always or never"},
    };
    for (const auto& c : cases) {
        CliResult r = RunCli(c.args);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out.substr(0, c.outStart.size()), c.outStart);
        EXPECT_EQ(r.err.substr(0, c.errStart.size()), c.errStart);
    }
}

TEST(Cli, RunsEachEntryAndStopsAfterAFailure) {
    TempDir dir;
    dir.Write("one/a.dbr", "b,1,\na,1,\n");
    dir.Write("two/bad.dbr", "nocomma\n");
    dir.Write("three/c.dbr", "b,1,\na,1,\n");

    CliResult ok = RunCli({dir.Path("one"), dir.Path("missing")});
    EXPECT_EQ(ok.status, 1);
    EXPECT_EQ(ok.out, "Complete!\nComplete!\n");
    EXPECT_EQ(ok.err, dir.Path("missing") + ": error: no such file or directory\n");
    EXPECT_EQ(dir.Read("one/a.dbr"), "a,1,\r\nb,1,\r\n");

    CliResult bad = RunCli({dir.Path("two"), dir.Path("three")});
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(bad.out, "Complete!\n");
    EXPECT_EQ(bad.err, BadFile(dir.Path("two/bad.dbr"), "1:1: error: line has no comma"));
    EXPECT_EQ(dir.Read("three/c.dbr"), "b,1,\na,1,\n");
}

TEST(Cli, DashDashEndsOptions) {
    TempDir dir;
    dir.Write("-x.dbr", "b,1,\na,1,\n");
    CliResult r = RunCli({"--", dir.Path("-x.dbr")});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(dir.Read("-x.dbr"), "a,1,\r\nb,1,\r\n");
}

TEST(Cli, LspIsACommandOnlyAsTheFirstArgument) {
    const std::string exit = "{\"jsonrpc\":\"2.0\",\"method\":\"exit\"}";
    std::istringstream session("Content-Length: " + std::to_string(exit.size()) + "\r\n\r\n" + exit);
    CliConsole console;
    console.in = &session;
    CliResult server = RunCli({"lsp"}, console);
    EXPECT_EQ(server.status, 1);  // an exit without a shutdown
    EXPECT_EQ(server.out, "");
    CliResult entry = RunCli({"--", "lsp"}, console);
    EXPECT_EQ(entry.status, 1);
    EXPECT_NE(entry.err.find("lsp"), std::string::npos) << entry.err;
}

TEST(Cli, CheckChangesNothingAndGoesOnAfterFailures) {
    TempDir dir;
    WriteOldReadOnly(dir, "a/n.dbr");
    dir.Write("b/x.dbr", kUnsorted);
    dir.Write("b/bad.dbr", "nocomma\n");
    dir.Write("b/y.dbr", "a,1,\n");
    WriteOldReadOnly(dir, "c/n.dbr");
    std::string before = Snapshot(dir);

    CliResult normal = RunCli({"--check", dir.Path("a"), dir.Path("c")});
    EXPECT_EQ(normal.status, 0);
    EXPECT_EQ(normal.out + normal.err, "");

    CliResult r = RunCli({"--check", dir.Path("b/bad.dbr"), dir.Path("missing"), dir.Path()});
    EXPECT_EQ(r.status, 1);
    std::string bad = BadFile(dir.Path("b/bad.dbr"), "1:1: error: line has no comma");
    EXPECT_EQ(r.err.substr(0, r.err.find("tervalo-cli: note:")),
              bad + dir.Path("missing") + ": error: no such file or directory\n" + bad);
    // Paths in walk order, which the file system decides within a directory.
    EXPECT_EQ(r.out.size(), dir.Path("b/x.dbr").size() + dir.Path("b/y.dbr").size() + 2);
    EXPECT_NE(r.out.find(dir.Path("b/x.dbr") + "\n"), std::string::npos);
    EXPECT_NE(r.out.find(dir.Path("b/y.dbr") + "\n"), std::string::npos);
    EXPECT_EQ(Snapshot(dir), before);
    EXPECT_EQ(dir.Files().size(), 5u) << "temporary file left behind";
}

TEST(Cli, RunsListOnlyRealChangesAndChangedOnlyLeavesNormalFilesAlone) {
    const struct {
        std::vector<std::string> options;
        bool listed, normalTouched;
    } cases[] = {
        {{}, false, true},
        {{"-l"}, true, true},
        {{"--changed-only"}, false, false},
        {{"--changed-only", "--list"}, true, false},
    };
    for (const auto& c : cases) {
        TempDir dir;
        WriteOldReadOnly(dir, "t/n.dbr");
        dir.Write("t/x.dbr", kUnsorted);
        dir.Write("u/bad.dbr", ",\n");
        dir.Write("v/y.dbr", kUnsorted);
        std::string normalBefore = Snapshot(dir).substr(0, Snapshot(dir).find('\n'));
        std::vector<std::string> args = c.options;
        for (const char* entry : {"t", "u", "v"}) args.push_back(dir.Path(entry));
        CliResult r = RunCli(args);
        SCOPED_TRACE(args[0]);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, (c.listed ? dir.Path("t/x.dbr") + "\n" : "") + "Complete!\nComplete!\n");
        EXPECT_EQ(r.err, BadFile(dir.Path("u/bad.dbr"), "1:1: error: line starts with a comma"));
        EXPECT_EQ(dir.Read("t/x.dbr"), "a,1,\r\nb,1,\r\n");
        EXPECT_EQ(dir.Read("v/y.dbr"), kUnsorted) << "the run went on after a failure";
        EXPECT_EQ(Snapshot(dir).substr(0, Snapshot(dir).find('\n')) != normalBefore, c.normalTouched);
    }
}

TEST(Cli, ProgressOnlyOnATerminal) {
    TempDir dir;
    for (int i = 0; i < 40; ++i) dir.Write("t/" + std::to_string(i) + ".dbr", kUnsorted);
    dir.Write("u/bad.dbr", ",\n");
    double now = 0;
    CliConsole console;
    console.clock = [&now] { return now += 0.05; };  // 2 s for the 40 files
    CliResult piped = RunCli({"--check", dir.Path("t"), dir.Path("u")}, console);
    EXPECT_EQ(piped.err, BadFile(dir.Path("u/bad.dbr"), "1:1: error: line starts with a comma"));

    console.errIsTerminal = true;
    CliResult shown = RunCli({"--check", dir.Path("t"), dir.Path("u")}, console);
    EXPECT_EQ(shown.out, piped.out);
    std::string line = "\r20 record files, 20 to rewrite, 1 s";
    size_t at = shown.err.find(line);
    ASSERT_NE(at, std::string::npos) << shown.err;
    // Redrawn at most ten times a second, wiped before the message.
    size_t draws = 0;
    for (size_t i = 0; (i = shown.err.find(" to rewrite, ", i)) != std::string::npos; ++i) ++draws;
    EXPECT_GE(draws, 5u);
    EXPECT_LE(draws, 11u);
    std::string wipe = "\r" + std::string(shown.err.find('\r', at + 1) - at - 1, ' ') + "\r";
    EXPECT_EQ(shown.err.substr(shown.err.size() - piped.err.size() - wipe.size()), wipe + piped.err);

    // What main asks about standard error: a pipe is no terminal.
    int fds[2];
#ifdef _WIN32
    ASSERT_EQ(_pipe(fds, 256, _O_BINARY), 0);
#else
    ASSERT_EQ(pipe(fds), 0);
#endif
    EXPECT_FALSE(IsTerminal(fds[1]));
    close(fds[0]);
    close(fds[1]);
}

// Runs in a small tree from its top, with relative entries ("@" stands for
// the tree's absolute path): exit status, both outputs and the files after.
TEST(Cli, OptionSets) {
    const std::string kBad = "x,1\r\nno\r\n";
    const std::string kDiff = "--- good|a.dbr\n+++ good|a.dbr\n@@ -1,2 +1,2 @@\n-b,1,\r\n a,1,\r\n+b,1,\r\n";
    const std::string kBadLines = "Error detected within file:\nbad|x.dbr\nbad|x.dbr:2:1: error: line has no comma\n";
    const struct {
        std::vector<std::string> args;
        std::string input;  // standard input
        int status;
        std::string out, err;
        bool goodSorted;  // good/a.dbr afterwards
    } cases[] = {
        {{"bad", "good"}, "", 1, "Complete!\n", kBadLines, false},
        {{"-k", "bad", "none", "good"}, "", 1, "Complete!\nComplete!\nComplete!\n",
         kBadLines + "none: error: no such file or directory\n", true},
        {{"--format=github", "bad"}, "", 1, "::error file=bad|x.dbr,line=2,col=1::line has no comma\nComplete!\n", kBadLines, false},
        {{"--list", "good/", "deep"}, "", 0, "good/a.dbr\nComplete!\ndeep|sub|b.dbr\nComplete!\n", "", true},
        {{"--list", "<T>/deep/"}, "", 0, "<T>/deep/sub|b.dbr\nComplete!\n", "", false},
        {{"--check", "--format=github", "x*", "", "/", "good/a.dbr/", "deep/*"}, "", 1,
         "::error file=x*::matches nothing\n::error file=\"\"::no such file or directory\n"
         "::error file=/::a root directory is never searched\n::error file=good/a.dbr/::not a directory\n"
         "deep/sub|b.dbr\n::error file=deep/sub|b.dbr::not in normal order\n",
         "x*: error: matches nothing\n\"\": error: no such file or directory\n"
         "/: error: a root directory is never searched\ngood/a.dbr/: error: not a directory\n", false},
        {{"--diff", "--color=never", "good", "bad"}, "", 1, kDiff, kBadLines, false},
        {{"-"}, "b,1\na,1\n", 0, "a,1\r\nb,1\r\n", "", false},
        {{"--stdin-filename", "in.dbr", "-"}, "a,1\n,\nno\n", 1, "",
         "Error detected within file:\nin.dbr\nin.dbr:2:1: error: line starts with a comma\n"
         "in.dbr:3:1: error: line has no comma\n", false},
        {{"--diff", "-"}, "b,1\r\na,1\r\n", 1, "--- <stdin>\n+++ <stdin>\n@@ -1,2 +1,2 @@\n-b,1\r\n a,1\r\n+b,1\r\n", "", false},
        {{"-kl", "bad", "good"}, "", 1, "Complete!\ngood|a.dbr\nComplete!\n", kBadLines, true},
        // Not a pattern that would match "good".
        {{"--literal", "-l", "goo?"}, "", 1, "Complete!\n", "goo?: error: no such file or directory\n", false},
        // Headers that patch -p0 takes here, however the entry was typed.
        {{"--diff", "--color=never", "<T>/good"}, "", 1, kDiff, "", false},
        {{"--diff", "--color=never", "deep/../good/"}, "", 1, kDiff, "", false},
        {{"--check", "-"}, "b,1\r\na,1\r\n", 1, "", "", false},
        {{"--check", "-"}, "a,1\nb,1\n", 1, "", "tervalo-cli: note: some record files differ", false},
        {{"--check", "lf", "bad"}, "", 1, "lf|a.dbr\n", kBadLines + "tervalo-cli: note: some record files differ", false},
        {{"lf"}, "", 0, "Complete!\n", "", false},
    };
    for (const auto& c : cases) {
        TempDir dir;
        dir.Write("good/a.dbr", kUnsorted);
        dir.Write("deep/sub/b.dbr", kUnsorted);
        dir.Write("bad/x.dbr", kBad);
        dir.Write("lf/a.dbr", "a,1,\nb,1,");
        auto at = [&dir](std::string text) {
            for (size_t i; (i = text.find("<T>")) != std::string::npos;) text.replace(i, 3, dir.Path());
            std::replace(text.begin(), text.end(), '|', kPathSeparator);
            return text;
        };
        std::vector<std::string> args;
        for (const std::string& a : c.args) args.push_back(at(a));
        std::istringstream in(c.input);
        CliConsole console;
        console.in = &in;
        stdfs::path before = stdfs::current_path();
        stdfs::current_path(dir.Path());
        CliResult r = RunCli(args, console);
        stdfs::current_path(before);
        SCOPED_TRACE(args.empty() ? "" : args[0] + " " + args.back());
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out, at(c.out));
        EXPECT_EQ(r.err.substr(0, c.err.size()), at(c.err));
        EXPECT_EQ(dir.Read("good/a.dbr"), c.goodSorted ? kSorted : kUnsorted);
        EXPECT_EQ(dir.Read("bad/x.dbr"), kBad);
    }
}

TEST(Cli, FailedStandardOutputIsAFailure) {
    std::ostream broken(nullptr);  // every write fails, as on a full disk
    std::ostringstream err;
    const char* argv[] = {"tervalo-cli", "--version"};
    EXPECT_EQ(TervaloCliMain(2, argv, broken, err), 1);
    EXPECT_EQ(err.str(), "tervalo-cli: cannot write to standard output\n");
}

}  // namespace

namespace {

// A write into a file of two names that fails part-way, and a replace that
// fails after taking the old file away: the message names the copy that
// holds all of the new content.
TEST(Cli, NamesTheCopyLeftByAFailedWrite) {
    for (bool inPlace : {true, false}) {
        VirtualFileSystem vfs;
        vfs.AddFile("h.dbr", kUnsorted);
        if (inPlace) {
            vfs.AddHardLink("h.two", "h.dbr");
            vfs.FailAt(VirtualFileSystem::Op::Write, 2);  // the first goes to the copy
        } else {
            vfs.SetFailedReplaceLosesTarget(true);
            vfs.FailAt(VirtualFileSystem::Op::Replace, 1);
        }
        CliResult r = RunCli({VirtualFileSystem::Path("h.dbr")}, CliConsole(), vfs);
        const std::string path = VirtualFileSystem::Path("h.dbr");
        const std::string copy = VirtualFileSystem::Path(std::string(kTemporaryPrefix) + "h.dbr.4242-");
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err.rfind("tervalo-cli: " + path + " was not fully written; all of its new content is in " + copy, 0),
                  0u)
            << r.err;
        EXPECT_NE(r.err.find("Cannot write file:\n" + path + "\n"), std::string::npos) << r.err;
        std::string kept = r.err.substr(r.err.find(copy), r.err.find('\n') - r.err.find(copy));
        EXPECT_EQ(vfs.Bytes(kept), "a,1,\r\nb,1,\r\n") << inPlace;
    }
}

}  // namespace

namespace {

// Memory that runs out while an entry is resolved (its search) or run (a
// file's read): the entry is named, the run ends, and nothing aborts.
TEST(Cli, OutOfMemoryNamesTheEntry) {
    const std::string top = VirtualFileSystem::Top();
    const struct {
        VirtualFileSystem::Op op;
        int count;
        std::string a;  // a.dbr afterwards
    } cases[] = {{VirtualFileSystem::Op::Search, 1, kUnsorted}, {VirtualFileSystem::Op::Open, 2, kSorted}};
    for (const auto& c : cases) {
        VirtualFileSystem vfs;
        vfs.AddFile("a.dbr", kUnsorted);
        vfs.AddFile("b.dbr", kUnsorted);
        int calls = 0;
        vfs.beforeCall = [&](VirtualFileSystem::Op op, const std::string&) {
            if (op == c.op && ++calls == c.count) throw std::bad_alloc();
        };
        CliResult r = RunCli({top, top}, CliConsole(), vfs);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "Out of memory while running:\n" + top + "\n" + top + ": error: out of memory\n");
        EXPECT_EQ(vfs.Bytes(VirtualFileSystem::Path("a.dbr")), c.a);
        EXPECT_EQ(vfs.Bytes(VirtualFileSystem::Path("b.dbr")), kUnsorted);
    }
}

// Files that a run which was cut short left beside record files are named
// with what they hold and what to do; the exit status stays that of the run.
TEST(Cli, NamesWhatAnInterruptedRunLeft) {
    const std::string p = kTemporaryPrefix;
    auto path = [](const std::string& name) { return VirtualFileSystem::Path(name); };
    const struct {
        std::string name;
        std::string note;  // "" where nothing is said
    } cases[] = {
        {p + "a.dbr.77-0.tvtmp", "it holds new content for " + path("a.dbr") + " that may be partial: compare the "
                                     "two before using it, and delete it once no Tervalo is running"},
        // Cut to the longest name: only the beginning of the record file's name is known.
        {p + std::string(244 - p.size(), 'n') + ".77-5.tvtmp",
         "it holds new content for the file beside it whose name begins with " + path(std::string(244 - p.size(), 'n')) +
             " that may be partial: compare the two before using it, and delete it once no Tervalo is running"},
        {p + "gone.dbr.77-3.tvtm~", path("gone.dbr") + " is missing, and this holds its old content: once no Tervalo "
                                        "is running, rename it to " + path("gone.dbr") +
                                        " (or the new content beside it, once you have made sure it is whole)"},
        {p + "a.dbr.77-x.tvtmp", ""},    // not a name of ours
    };
    for (const auto& c : cases) {
        VirtualFileSystem vfs;
        vfs.AddFile("a.dbr", kSorted);
        vfs.AddFile(c.name, "x");
        CliResult r = RunCli({VirtualFileSystem::Top()}, CliConsole(), vfs);
        EXPECT_EQ(r.status, 0) << c.name;
        EXPECT_EQ(r.out, "Complete!\n") << c.name;
        std::string said = c.note.empty() ? "" : path(c.name) + ": warning: left by an interrupted run\n" + path(c.name) +
                                                     ": note: " + c.note + "\n";
        EXPECT_EQ(r.err, said) << c.name;
        EXPECT_EQ(vfs.Bytes(path(c.name)), "x") << c.name;
    }
}

}  // namespace
