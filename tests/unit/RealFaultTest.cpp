// Faults that real file systems produce: entries that change under a run,
// links that lead nowhere or in circles, a disk that fills up, a volume that
// cannot be written, files that another program holds or has marked. Every
// run must end in the right message (or I/O error), and every record file
// must hold its old bytes or its normal form.
#include <gtest/gtest.h>

#include <filesystem>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <functional>
#include <mutex>
#include <set>

#include "../../platform/PathMatch.h"
#include "ForwardingFileSystem.h"
#include "RealFaultSupport.h"

#ifdef _WIN32
#include <windows.h>

#include <fstream>
#include <map>

#include "../../platform/Types.h"
#include "../../platform/win32/Win32Calls.h"
#else
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#endif

namespace {

// The real file system, with a chance to change the tree between calls.
enum class When { BeforeSearch, AfterSearch, BeforeOpen, BeforeRewrite, BeforeWrite, BeforeWriteInPlace, Flush, Replace };

class HookedFileSystem : public ForwardingFileSystem {
public:
    // Called one at a time: a run without durability puts files in place on
    // a thread of its own.
    std::function<void(When, const std::string&)> hook = [](When, const std::string&) {};

    std::unique_ptr<DirectoryListing> FindFirst(const CString& pattern, CString& root, FileError& error) override {
        Hook(When::BeforeSearch, pattern.str());
        auto listing = m_inner.FindFirst(pattern, root, error);
        Hook(When::AfterSearch, pattern.str());
        return listing;
    }
    std::unique_ptr<InputFile> OpenRead(const CString& path, FileError& error) override {
        Hook(When::BeforeOpen, path.str());
        return m_inner.OpenRead(path, error);
    }
    // The new content of the file read as like, about to be made.
    std::unique_ptr<OutputFile> CreateExclusive(const CString& path, const FileFacts& like, FileError& error) override {
        Hook(When::BeforeRewrite, like.target.str());
        auto real = m_inner.CreateExclusive(path, like, error);
        return real ? std::make_unique<HookedOutput>(*this, like.target.str(), std::move(real), When::BeforeWrite)
                    : nullptr;
    }
    std::unique_ptr<OutputFile> OpenInPlace(const CString& name, std::unique_ptr<InputFile>& read,
                                            const FileFacts& expected, FileError& error) override {
        auto real = m_inner.OpenInPlace(name, read, expected, error);
        return real ? std::make_unique<HookedOutput>(*this, name.str(), std::move(real), When::BeforeWriteInPlace)
                    : nullptr;
    }
    // One Flush hook for the flush, then one with the name of each file.
    bool FlushAll(const std::vector<OutputFile*>& files, FileError& error) override {
        std::vector<OutputFile*> real;
        for (OutputFile* f : files) real.push_back(static_cast<HookedOutput*>(f)->m_real.get());
        Hook(When::Flush, "");
        for (OutputFile* f : files) Hook(When::Flush, static_cast<HookedOutput*>(f)->m_path);
        if (++m_flushes == failFlush) {
            error = FileError{EIO, "Input/output error"};
            return false;
        }
        return m_inner.FlushAll(real, error);
    }
    // Batches of one file: the thread of a durable run flushes each while
    // the next is read.
    size_t OpenFilesLeft() override { return smallBatches ? 0 : m_inner.OpenFilesLeft(); }
    bool smallBatches = false;
    int failFlush = 0;  // the flush of that number, from 1, fails
    bool Replace(const CString& from, const CString& to, FileError& error) override {
        Hook(When::Replace, to.str());
        return m_inner.Replace(from, to, error);
    }
    bool CopyIdentity(const InputFile& from, const FileFacts& facts, OutputFile& to, FileError& error) override {
        return m_inner.CopyIdentity(from, facts, *static_cast<HookedOutput&>(to).m_real, error);
    }

private:
    void Hook(When when, const std::string& path) {
        std::lock_guard<std::mutex> lock(m_hookLock);
        hook(when, path);
    }
    std::mutex m_hookLock;
    std::atomic<int> m_flushes{0};

    struct HookedOutput : public OutputFile {
        HookedOutput(HookedFileSystem& fs, std::string path, std::unique_ptr<OutputFile> real, When when)
            : m_fs(fs), m_path(std::move(path)), m_real(std::move(real)), m_when(when) {}
        bool Write(const void* data, size_t size, FileError& error) override {
            m_fs.Hook(m_when, m_path);
            return m_real->Write(data, size, error);
        }
        bool StartWriteback(FileError& error) override { return m_real->StartWriteback(error); }
        bool Flush(FileError& error) override { return m_real->Flush(error); }
        bool Truncate(FileError& error) override { return m_real->Truncate(error); }
        bool Close(FileError& error) override { return m_real->Close(error); }
        void RemoveOnInterrupt() noexcept override { m_real->RemoveOnInterrupt(); }

        HookedFileSystem& m_fs;
        std::string m_path;
        std::unique_ptr<OutputFile> m_real;
        When m_when;
    };
};

void Remove(const TempDir& dir, const std::string& name) { fs::remove_all(fs::path(dir.Path(name))); }
#ifndef _WIN32
struct stat StatOf(const TempDir& dir, const std::string& name) {
    struct stat st = {};
    stat(dir.Path(name).c_str(), &st);
    return st;
}
#endif
void ToDirectory(const TempDir& dir, const std::string& name) {
    Remove(dir, name);
    dir.MakeDir(name);
}

// Something else changes the tree while a run is under way: once, when the
// run reaches the trigger (a name below the test directory, or a search
// pattern there).
struct ChangeCase {
    const char* name;
    When when;
    std::string trigger;
    std::function<void(const TempDir&)> change;
    std::vector<Message> messages;
    Files after;
    std::function<void(const TempDir&)> setup = nullptr;  // after the tree is made
    // What else must hold afterwards (what the other program gave the file).
    std::function<void(const TempDir&, const std::string&)> check = nullptr;
    bool outOfMemory = false;  // the change is memory running out
};

void OutOfMemory(const TempDir&) { throw std::bad_alloc(); }

const Files kChangeTree = {{"a.dbr", kUnsorted}, {"m.dbr", kUnsorted}, {"sub/s.dbr", kUnsorted}, {"z.dbr", kUnsorted}};
const std::string kAllSub = std::string("sub") + kPathSeparator + "*.*";

// m.dbr refused as changed by another program: a.dbr before it is sorted, it
// and the rest of the walk untouched.
const std::vector<Message> kMRefused = {{kCannotWriteMessage, "m.dbr"}, {kCompleteMessage, ""}};
const Files kStoppedAtM = {{"a.dbr", kSorted}, {"m.dbr", kUnsorted}, {"sub/s.dbr", kUnsorted}, {"z.dbr", kUnsorted}};

const ChangeCase kChangeCases[] = {
    {"file vanishes before it is opened", When::BeforeOpen, "m.dbr", [](const TempDir& d) { Remove(d, "m.dbr"); },
     {{kCannotOpenMessage, "m.dbr"}, {kCompleteMessage, ""}},
     {{"a.dbr", kSorted}, {"m.dbr", kMissing}, {"sub/s.dbr", kUnsorted}, {"z.dbr", kUnsorted}}},
    {"file becomes a directory before it is opened", When::BeforeOpen, "m.dbr",
     [](const TempDir& d) { ToDirectory(d, "m.dbr"); },
     {{kCannotOpenMessage, "m.dbr"}, {kCompleteMessage, ""}},
     {{"a.dbr", kSorted}, {"m.dbr", kDirectory}, {"sub/s.dbr", kUnsorted}, {"z.dbr", kUnsorted}}},
#ifndef _WIN32
    // Gone once it has been read: it must not come back from the rewrite.
    // (Windows keeps a file that is being read, up to its replace, from
    // going away or being changed.)
    {"file vanishes before it is rewritten", When::BeforeRewrite, "m.dbr", [](const TempDir& d) { Remove(d, "m.dbr"); },
     kMRefused,
     {{"a.dbr", kSorted}, {"m.dbr", kMissing}, {"sub/s.dbr", kUnsorted}, {"z.dbr", kUnsorted}}},
    {"file becomes a directory before it is rewritten", When::BeforeRewrite, "m.dbr",
     [](const TempDir& d) { ToDirectory(d, "m.dbr"); },
     kMRefused,
     {{"a.dbr", kSorted}, {"m.dbr", kDirectory}, {"sub/s.dbr", kUnsorted}, {"z.dbr", kUnsorted}}},
#endif
    {"directory vanishes before it is searched", When::BeforeSearch, kAllSub,
     [](const TempDir& d) { Remove(d, "sub"); }, {{kCompleteMessage, ""}},
     {{"a.dbr", kSorted}, {"m.dbr", kSorted}, {"z.dbr", kSorted}}},
    // What is finished is put in place; nothing of the file under way stays.
    {"memory runs out while a file is read", When::BeforeOpen, "z.dbr", OutOfMemory, {},
     {{"a.dbr", kSorted}, {"m.dbr", kSorted}, {"sub/s.dbr", kSorted}, {"z.dbr", kUnsorted}}, nullptr, nullptr, true},
    {"memory runs out while new content is written", When::BeforeWrite, "m.dbr", OutOfMemory, {},
     kStoppedAtM, nullptr, nullptr, true},
#ifndef _WIN32
    // Changed by another program between the read and the replace: what it
    // wrote stays, and the link's new target is not overwritten.
    {"file replaced by another program before it is rewritten", When::BeforeRewrite, "m.dbr",
     [](const TempDir& d) {
         d.Write("m.new", "c,3,\r\n");
         fs::rename(d.Path("m.new"), d.Path("m.dbr"));
     },
     kMRefused,
     {{"a.dbr", kSorted}, {"m.dbr", "c,3,\r\n"}, {"sub/s.dbr", kUnsorted}, {"z.dbr", kUnsorted}}},
    {"file written in place by another program before it is rewritten", When::BeforeRewrite, "m.dbr",
     [](const TempDir& d) { d.Write("m.dbr", "c,3,\r\nd,4,\r\n"); },
     kMRefused,
     {{"a.dbr", kSorted}, {"m.dbr", "c,3,\r\nd,4,\r\n"}, {"sub/s.dbr", kUnsorted}, {"z.dbr", kUnsorted}}},
    {"link pointed elsewhere before the file it led to is rewritten", When::BeforeRewrite, "t1.rec",
     [](const TempDir& d) {
         Remove(d, "m.dbr");
         fs::create_symlink("t2.rec", d.Path("m.dbr"));
     },
     kMRefused,
     {{"a.dbr", kSorted}, {"m.dbr", "c,3,\r\n"}, {"t1.rec", kUnsorted}, {"t2.rec", "c,3,\r\n"},
      {"sub/s.dbr", kUnsorted}, {"z.dbr", kUnsorted}},
     [](const TempDir& d) {
         MakeFiles(d, {{"t1.rec", kUnsorted}, {"t2.rec", "c,3,\r\n"}});
         Remove(d, "m.dbr");
         fs::create_symlink("t1.rec", d.Path("m.dbr"));
     }},
    // The same file under two names is written in place: the look before
    // that write finds the other program's.
    {"file of two names written in place by another program before it is rewritten", When::BeforeRewrite, "m.dbr",
     [](const TempDir& d) { d.Write("m.dbr", "c,3,\r\nd,4,\r\n"); },
     kMRefused,
     {{"a.dbr", kSorted}, {"m.dbr", "c,3,\r\nd,4,\r\n"}, {"m.two", "c,3,\r\nd,4,\r\n"}, {"sub/s.dbr", kUnsorted},
      {"z.dbr", kUnsorted}},
     [](const TempDir& d) { fs::create_hard_link(d.Path("m.dbr"), d.Path("m.two")); }},
    // What another program changes besides the content is not undone by
    // a new file made as the file was read.
    {"mode changed by another program before the file is rewritten", When::BeforeRewrite, "m.dbr",
     [](const TempDir& d) { chmod(d.Path("m.dbr").c_str(), 0600); }, kMRefused,
     kStoppedAtM, nullptr,
     [](const TempDir& d, const std::string& label) { EXPECT_EQ(StatOf(d, "m.dbr").st_mode & 07777, 0600u) << label; }},
    {"owner changed by another program before the file is rewritten", When::BeforeRewrite, "m.dbr",
     [](const TempDir& d) { chown(d.Path("m.dbr").c_str(), 65534, 65534); },
     kMRefused,
     kStoppedAtM, nullptr,
     [](const TempDir& d, const std::string& label) {
         EXPECT_EQ(StatOf(d, "m.dbr").st_uid, 65534u) << label;
         EXPECT_EQ(StatOf(d, "m.dbr").st_gid, 65534u) << label;
     }},
    {"second name made by another program before the file is rewritten", When::BeforeRewrite, "m.dbr",
     [](const TempDir& d) { fs::create_hard_link(d.Path("m.dbr"), d.Path("m.two")); },
     kMRefused,
     {{"a.dbr", kSorted}, {"m.dbr", kUnsorted}, {"m.two", kUnsorted}, {"sub/s.dbr", kUnsorted}, {"z.dbr", kUnsorted}},
     nullptr,
     [](const TempDir& d, const std::string& label) { EXPECT_EQ(StatOf(d, "m.dbr").st_ino, StatOf(d, "m.two").st_ino) << label; }},
    {"extended attribute set by another program before the file is rewritten", When::BeforeRewrite, "m.dbr",
     [](const TempDir& d) { setxattr(d.Path("m.dbr").c_str(), "user.origin", "staging", 7, 0); },
     kMRefused,
     kStoppedAtM},
    // The attributes step acts on the file that was read, not on what the
    // name leads to: the private file keeps its bits.
    {"private file put under a read-only file's name before it is rewritten", When::BeforeRewrite, "m.dbr",
     [](const TempDir& d) {
         d.Write("m.new", "c,3,\r\n");
         chmod(d.Path("m.new").c_str(), 0600);
         fs::rename(d.Path("m.new"), d.Path("m.dbr"));
     },
     kMRefused,
     {{"a.dbr", kSorted}, {"m.dbr", "c,3,\r\n"}, {"sub/s.dbr", kUnsorted}, {"z.dbr", kUnsorted}},
     [](const TempDir& d) { chmod(d.Path("m.dbr").c_str(), 0444); },
     [](const TempDir& d, const std::string& label) { EXPECT_EQ(StatOf(d, "m.dbr").st_mode & 07777, 0600u) << label; }},
    // Nothing learnt from the files before hides it: the new files lose
    // the ACL that the directory's default ACL gives them.
    {"default ACL given to the directory during the run", When::BeforeRewrite, "m.dbr",
     [](const TempDir& d) { EXPECT_EQ(std::system(("setfacl -d -m u:nobody:r " + d.Path()).c_str()), 0); },
     {{kCompleteMessage, ""}}, {{"a.dbr", kSorted}, {"m.dbr", kSorted}, {"sub/s.dbr", kSorted}, {"z.dbr", kSorted}},
     nullptr,
     [](const TempDir& d, const std::string& label) {
         for (const char* name : {"m.dbr", "z.dbr"})
             EXPECT_LT(getxattr(d.Path(name).c_str(), "system.posix_acl_access", nullptr, 0), 0) << label << ": " << name;
     }},
    // Listed, then gone: its first file cannot be opened. (Windows keeps a
    // directory with an open search from going away.)
    {"directory vanishes after it is listed", When::AfterSearch, kAllSub, [](const TempDir& d) { Remove(d, "sub"); },
     {{kCannotOpenMessage, "sub/s.dbr"}, {kCompleteMessage, ""}},
     {{"a.dbr", kSorted}, {"m.dbr", kSorted}, {"z.dbr", kUnsorted}}},
#endif
};

// The files are put in place on a thread of their own while the next ones
// are read: without durability, and with it when batches are small enough
// to be full within the tree. The same holds.
TEST(RealFaults, TreeChangesDuringTheRun) {
    for (int mode : {0, 1, 2})
    for (const ChangeCase& c : kChangeCases) {
        const bool durable = mode < 2;
        const std::string name = c.name + std::string(mode == 1 ? ", batches of one" : mode == 2 ? ", without durability" : "");
        TempDir dir;
        MakeFiles(dir, kChangeTree);
        if (c.setup) c.setup(dir);
        HookedFileSystem hooked;
        hooked.smallBatches = mode == 1;
        bool done = false;
        const std::string trigger = dir.Path(c.trigger);
        hooked.hook = [&](When when, const std::string& path) {
            if (done || when != c.when || path != trigger) return;
            done = true;
            c.change(dir);
        };
        RunOutcome got = RunCatching(hooked, dir.Path(), false, durable);
        EXPECT_TRUE(done) << name << ": the change never happened";
        EXPECT_FALSE(got.threw) << name;
        EXPECT_EQ(got.outOfMemory, c.outOfMemory) << name;
        EXPECT_EQ(got.messages, Expand(dir, c.messages)) << name;
        CheckFiles(dir, c.after, name);
        if (c.check) c.check(dir, name);
    }
}

// Temporary names stay within the limit that the system sets, whatever the
// length of the file's own name.
TEST(RealFaults, TemporaryNamesFitBesideLongNames) {
    struct Case {
        std::string stem, suffix;
        size_t limit;
        unsigned number;
        std::string name;
    };
    const Case cases[] = {
        {"a.dbr", ".1-0.tvtmp", 255, 0, "a.dbr.1-0.tvtmp"},
        {"abcdef.dbr", ".1-7.tvtmp", 15, 7, "abcde.1-7.tvtmp"},
        {"abcdef.dbr", ".1-7.tvtmp", 11, 7, "a.1-7.tvtmp"},
        {"abcdef.dbr", ".1-7.tvtmp", 10, 7, "~7"},
        {"a.dbr", ".123-45678.tvtmp", 5, 45678, "~4567"},
        {"a.dbr", ".1-3.tvtmp", 1, 3, "~"},
        {"\u6F22\u6F22\u6F22.dbr", ".1-7.tvtmp", 15, 7, "\u6F22.1-7.tvtmp"},  // not inside the second character
    };
    for (const Case& c : cases) {
        std::string name = TemporaryName(c.stem, c.suffix, c.limit, c.number);
        EXPECT_EQ(name, c.name) << c.stem << " within " << c.limit;
        EXPECT_LE(name.size(), c.limit);
    }
}

// Makes directories below dir so that the path of the last one has exactly
// length characters; returns its name relative to dir.
std::string DirectoryOfLength(const TempDir& dir, size_t length) {
    std::string rel;
    while (dir.Path(rel).size() < length) {
        size_t room = length - dir.Path(rel).size() - 1;  // one for the separator
        size_t part = std::min<size_t>(room, 200);
        if (room - part == 1) --part;  // leave room for a separator and a name
        rel += (rel.empty() ? "" : "/") + std::string(part, 'd');
        dir.MakeDir(rel);
    }
    return rel;
}

#ifdef _WIN32
// Removes a tree that the library's own removal cannot reach (path is of the
// \\?\ kind).
void RemoveTree(const std::wstring& path) {
    WIN32_FIND_DATAW data;
    HANDLE h = FindFirstFileW((path + L"\\*").c_str(), &data);
    if (h != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = data.cFileName, inner = path + L"\\" + name;
            if (name == L"." || name == L"..") continue;
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(inner);
            else
                DeleteFileW(inner.c_str());
        } while (FindNextFileW(h, &data));
        FindClose(h);
    }
    RemoveDirectoryW(path.c_str());
}
#endif

// A record file whose name or path is as long as the system allows is
// rewritten like any other: its temporary file must fit beside it.
TEST(RealFaults, LongestNamesAndPaths) {
#ifdef _WIN32
    const size_t kLongestPath = MAX_PATH - 1;
    const size_t kLongestDirectory = MAX_PATH - 12;  // what CreateDirectoryA allows
#else
    const size_t kLongestPath = PATH_MAX - 1;
    const size_t kLongestDirectory = kLongestPath - 12;
#endif
    const size_t kLongestName = 255;
    struct Case {
        const char* name;
        size_t directoryLength;  // 0: the test directory itself
        size_t nameLength;       // 0: what is left of the longest path
    };
    const Case cases[] = {
        {"longest name", 0, 0},
        {"short name at the end of the longest path", kLongestDirectory, 0},
#ifdef _WIN32
        {"path longer than MAX_PATH", 2 * MAX_PATH, 12},
#endif
    };
    for (const Case& c : cases) {
        TempDir dir;
        std::string sub = c.directoryLength ? DirectoryOfLength(dir, c.directoryLength) : "";
        size_t used = dir.Path(sub).size() + 1;
        size_t length = c.nameLength ? c.nameLength : std::min(kLongestName, kLongestPath - used);
        std::string name = (sub.empty() ? "" : sub + "/") + std::string(length - 4, 'n') + ".dbr";
        dir.Write(name, kUnsorted);
        ASSERT_EQ(dir.Read(name), kUnsorted) << c.name << ": the test could not make its file";
        RunOutcome got = RunCatching(GetRealFileSystem(), dir.Path());
        EXPECT_FALSE(got.threw) << c.name;
        EXPECT_EQ(got.messages, std::vector<std::string>{kCompleteMessage}) << c.name << " (" << dir.Path(name).size()
                                                                            << " characters)";
#ifdef _WIN32
        if (c.nameLength) {
            // Beyond what the directory iterator reaches: the file and no
            // temporary one beside it.
            EXPECT_EQ(dir.Read(name), kSorted) << c.name;
            WIN32_FIND_DATAW data;
            std::wstring temps = L"\\\\?\\" + fs::path(dir.Path(sub)).wstring() + L"\\*.tvtmp";
            EXPECT_EQ(FindFirstFileW(temps.c_str(), &data), INVALID_HANDLE_VALUE) << c.name;
            RemoveTree(L"\\\\?\\" + fs::path(dir.Path(sub.substr(0, sub.find('/')))).wstring());
            continue;
        }
#endif
        CheckFiles(dir, {{name, kSorted}}, c.name);
    }
}

#ifndef _WIN32

void Link(const TempDir& dir, const std::string& target, const std::string& name) {
    fs::create_symlink(fs::path(target), fs::path(dir.Path(name)));
}

mode_t Mode(const TempDir& dir, const std::string& name) {
    struct stat st;
    return stat(dir.Path(name).c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

// Every extended attribute of the file at path (its ACL among them).
std::map<std::string, std::string> Xattrs(const std::string& path) {
    std::map<std::string, std::string> out;
    std::vector<char> names(65536), value(65536);
    ssize_t n = llistxattr(path.c_str(), names.data(), names.size());
    for (ssize_t at = 0; at < n; at += static_cast<ssize_t>(std::strlen(&names[at])) + 1) {
        ssize_t size = lgetxattr(path.c_str(), &names[at], value.data(), value.size());
        out[&names[at]] = std::string(value.data(), size > 0 ? static_cast<size_t>(size) : 0);
    }
    return out;
}

void Shell(const std::string& command) { ASSERT_EQ(std::system(command.c_str()), 0) << command; }

// Entries that are not what they seem: links, loops, a pipe; and what a file
// is besides its content. The run is over the directory "tree"; "outside"
// lies beside it.
struct OddEntryCase {
    const char* name;
    std::function<void(const TempDir&)> make;
    std::vector<Message> messages;
    Files after;
    std::vector<std::pair<std::string, mode_t>> modes;  // after the run
    std::vector<std::string> sameXattrs = {};  // files whose attributes the run keeps
    std::vector<std::pair<std::string, gid_t>> groups = {};  // after the run
};

const OddEntryCase kOddEntryCases[] = {
    {"dangling link", [](const TempDir& d) { Link(d, "nowhere.dbr", "tree/m.dbr"); },
     {{kCannotOpenMessage, "tree/m.dbr"}, {kCompleteMessage, ""}},
     {{"tree/a.dbr", kSorted}, {"tree/m.dbr", kMissing}, {"tree/z.dbr", kUnsorted}},
     {}},
    {"link to itself", [](const TempDir& d) { Link(d, "m.dbr", "tree/m.dbr"); },
     {{kCannotOpenMessage, "tree/m.dbr"}, {kCompleteMessage, ""}},
     {{"tree/a.dbr", kSorted}, {"tree/m.dbr", kMissing}, {"tree/z.dbr", kUnsorted}},
     {}},
    {"named pipe", [](const TempDir& d) { mkfifo(d.Path("tree/m.dbr").c_str(), 0644); },
     {{kCannotOpenMessage, "tree/m.dbr"}, {kCompleteMessage, ""}},
     {{"tree/a.dbr", kSorted}, {"tree/m.dbr", kPipe}, {"tree/z.dbr", kUnsorted}},
     {}},
    {"directory linking to itself",
     [](const TempDir& d) {
         d.Write("tree/sub/s.dbr", kUnsorted);
         fs::create_directory_symlink(".", d.Path("tree/sub/self"));
     },
     {{kCompleteMessage, ""}},
     {{"tree/a.dbr", kSorted}, {"tree/sub/s.dbr", kSorted}, {"tree/sub/self", kDirectory}, {"tree/z.dbr", kSorted}},
     {}},
    {"two directories linking to each other",
     [](const TempDir& d) {
         d.Write("tree/p/p.dbr", kUnsorted);
         d.Write("tree/q/q.dbr", kUnsorted);
         fs::create_directory_symlink("../q", d.Path("tree/p/to-q"));
         fs::create_directory_symlink("../p", d.Path("tree/q/to-p"));
     },
     {{kCompleteMessage, ""}},
     {{"tree/a.dbr", kSorted},
      {"tree/p/p.dbr", kSorted},
      {"tree/p/to-q", kDirectory},
      {"tree/q/q.dbr", kSorted},
      {"tree/q/to-p", kDirectory},
      {"tree/z.dbr", kSorted}},
     {}},
    // Rewritten where the link leads: the link stays, the permission bits
    // stay (plus the owner's write bit).
    {"read-only file behind a link",
     [](const TempDir& d) {
         d.Write("outside/real.dbr", kUnsorted);
         chmod(d.Path("outside/real.dbr").c_str(), 0444);
         Link(d, "../outside/real.dbr", "tree/m.dbr");
     },
     {{kCompleteMessage, ""}},
     {{"tree/a.dbr", kSorted}, {"tree/m.dbr", kSorted}, {"outside/real.dbr", kSorted}, {"tree/z.dbr", kSorted}},
     {{"outside/real.dbr", 0644}}},
    // The owner is the same (root), the group is not: it is kept too.
    {"root's file of another group", [](const TempDir& d) { chown(d.Path("tree/a.dbr").c_str(), 0, 1234); },
     {{kCompleteMessage, ""}}, {{"tree/a.dbr", kSorted}, {"tree/z.dbr", kSorted}}, {}, {}, {{"tree/a.dbr", 1234}}},
    {"unusual permission bits kept",
     [](const TempDir& d) {
         chmod(d.Path("tree/a.dbr").c_str(), 0604);
         chmod(d.Path("tree/z.dbr").c_str(), 0666);
     },
     {{kCompleteMessage, ""}},
     {{"tree/a.dbr", kSorted}, {"tree/z.dbr", kSorted}},
     {{"tree/a.dbr", 0604}, {"tree/z.dbr", 0666}}},
    // Written in place: both names show the new content.
    {"a second name of the file elsewhere",
     [](const TempDir& d) {
         d.Write("tree/h.dbr", kUnsorted);
         d.MakeDir("outside");
         fs::create_hard_link(d.Path("tree/h.dbr"), d.Path("outside/h2.dbr"));
     },
     {{kCompleteMessage, ""}},
     {{"tree/a.dbr", kSorted}, {"tree/h.dbr", kSorted}, {"outside/h2.dbr", kSorted}, {"tree/z.dbr", kSorted}},
     {}},
    {"an extended attribute and an ACL entry for another user",
     [](const TempDir& d) {
         setxattr(d.Path("tree/a.dbr").c_str(), "user.origin", "staging", 7, 0);
         Shell("setfacl -m u:nobody:rw " + d.Path("tree/z.dbr"));
     },
     {{kCompleteMessage, ""}},
     {{"tree/a.dbr", kSorted}, {"tree/z.dbr", kSorted}},
     {},
     {"tree/a.dbr", "tree/z.dbr"}},
    {"a directory's default ACL that the files lack",
     [](const TempDir& d) { Shell("setfacl -d -m u:nobody:r " + d.Path("tree")); },
     {{kCompleteMessage, ""}},
     {{"tree/a.dbr", kSorted}, {"tree/z.dbr", kSorted}},
     {{"tree/a.dbr", 0644}},
     {"tree/a.dbr"}},
};

TEST(RealFaults, OddEntries) {
    for (const OddEntryCase& c : kOddEntryCases) {
        TempDir dir;
        MakeFiles(dir, {{"tree/a.dbr", kUnsorted}, {"tree/z.dbr", kUnsorted}});
        c.make(dir);
        std::map<std::string, std::map<std::string, std::string>> xattrs;
        for (const std::string& f : c.sameXattrs) xattrs[f] = Xattrs(dir.Path(f));
        RunOutcome got = RunCatching(GetRealFileSystem(), dir.Path("tree"));
        EXPECT_FALSE(got.threw) << c.name;
        for (const std::string& f : c.sameXattrs) EXPECT_EQ(Xattrs(dir.Path(f)), xattrs[f]) << c.name << ": " << f;
        EXPECT_EQ(got.messages, Expand(dir, c.messages)) << c.name;
        CheckFiles(dir, c.after, c.name);
        EXPECT_TRUE(!fs::exists(fs::symlink_status(dir.Path("tree/m.dbr"))) ||
                    fs::is_symlink(fs::symlink_status(dir.Path("tree/m.dbr"))) ||
                    fs::is_fifo(fs::symlink_status(dir.Path("tree/m.dbr"))))
            << c.name << ": a link or pipe was replaced by a file";
        for (const auto& m : c.modes) EXPECT_EQ(Mode(dir, m.first), m.second) << c.name << ": " << m.first;
        for (const auto& g : c.groups) EXPECT_EQ(StatOf(dir, g.first).st_gid, g.second) << c.name << ": " << g.first;
    }
}

std::string BigUnsorted(int lines);

// Waits at most seconds for the child pid to end; one that has not ended by
// then is killed, so that a fault shows as a failure and not as a hang.
bool WaitForChild(pid_t pid, int& status, int seconds = 60) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    for (;;) {
        pid_t got = waitpid(pid, &status, WNOHANG);
        if (got == pid) return true;
        if ((got < 0 && errno != EINTR) || std::chrono::steady_clock::now() > deadline) break;
        usleep(10000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return false;
}

// Reads from fd until its end or upTo bytes, for at most seconds; false when
// the time ran out first.
bool ReadWithin(int fd, std::string& out, int seconds = 60, size_t upTo = SIZE_MAX) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    char buf[4096];
    while (out.size() < upTo) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd ready = {fd, POLLIN, 0};
        int r = left.count() > 0 ? poll(&ready, 1, static_cast<int>(left.count())) : 0;
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        ssize_t n = read(fd, buf, std::min(sizeof buf, upTo - out.size()));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return true;
        out.append(buf, static_cast<size_t>(n));
    }
    return true;
}

// Runs a whole run over entry through fs in a child process that has given
// up root for the user and group "nobody" (65534) and the extra groups
// given, as `setpriv --reuid --regid --groups` would, with at most openFiles
// open files where that is not 0; its messages come back through a pipe.
// False, with the reason, where this process cannot do that.
bool RunAsNobody(FileSystem& fs, const std::string& entry, const std::vector<gid_t>& groups, rlim_t openFiles,
                 std::vector<std::string>& messages, std::string& why) {
    if (geteuid() != 0) {
        why = "not root: cannot run as another user";
        return false;
    }
    int fds[2];
    if (pipe(fds) != 0) {
        why = std::strerror(errno);
        return false;
    }
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        if (setgroups(groups.size(), groups.data()) != 0 || setresgid(65534, 65534, 65534) != 0 ||
            setresuid(65534, 65534, 65534) != 0)
            _exit(3);
        struct rlimit limit = {openFiles, openFiles};
        if (openFiles && setrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(5);
        RunOutcome got = RunCatching(fs, entry);
        std::string out;
        for (const std::string& m : got.messages) out += m + '\0';
        if (got.threw) out += "<I/O error: " + got.thrownPath + ">" + '\0';
        bool sent = write(fds[1], out.data(), out.size()) == static_cast<ssize_t>(out.size());
        _exit(sent ? 0 : 4);
    }
    close(fds[1]);
    std::string out;
    bool read = ReadWithin(fds[0], out);
    close(fds[0]);
    int status = 0;
    if (!WaitForChild(pid, status) || !read) {
        why = "the child did not end in time";
        ADD_FAILURE() << why;
        return false;
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        why = "the child could not run as nobody (status " + std::to_string(status) + ")";
        return false;
    }
    messages.clear();
    for (size_t at = 0, end; (end = out.find('\0', at)) != std::string::npos; at = end + 1)
        messages.push_back(out.substr(at, end - at));
    return true;
}

struct Owner {
    std::string name;
    mode_t mode;
    uid_t uid;
    gid_t gid;
};

Owner OwnerOf(const TempDir& dir, const std::string& name) {
    struct stat st = {};
    stat(dir.Path(name).c_str(), &st);
    return Owner{name, st.st_mode & 07777, st.st_uid, st.st_gid};
}

// A run by an ordinary user may do no more than that user could do by
// writing the files themselves. "tree" may be written by anyone; its files
// a.dbr and z.dbr belong to nobody, m.dbr (or m/) to root.
struct NonRootCase {
    const char* name;
    std::function<void(const TempDir&)> make;
    std::vector<gid_t> groups;
    std::vector<Message> messages;
    Files after;
    std::vector<Owner> owners;  // after the run
    rlim_t openFiles = 0;       // the limit on open files, where not 0
    // What happens during the run, as the user (see TreeChangesDuringTheRun).
    When when = When::BeforeSearch;
    std::string trigger = "";
    std::function<void(const TempDir&)> change = nullptr;
};


const gid_t kSharedGroup = 1234;

// count files dir/fN.dbr that hold bytes, after the files given.
Files WithNumbered(Files files, const std::string& dir, int count, const std::string& bytes) {
    for (int i = 0; i < count; ++i) files.push_back({dir + "/f" + std::to_string(i) + ".dbr", bytes});
    return files;
}

void GiveToNobody(const TempDir& d, const std::string& name) { chown(d.Path(name).c_str(), 65534, 65534); }
void MakeMine(const TempDir& d, const char* name, mode_t mode) {
    GiveToNobody(d, name);
    chmod(d.Path(name).c_str(), mode);
}

// A process number that no process has now.
unsigned long EndedProcess() {
    unsigned long pid = 999999;
    while (kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) --pid;
    return pid;
}

const NonRootCase kNonRootCases[] = {
    {"directory it may not list",
     [](const TempDir& d) {
         d.Write("tree/m/x.dbr", kUnsorted);
         chmod(d.Path("tree/m").c_str(), 0);
     },
     {},
     {{kCannotOpenMessage, "tree/m"}, {kCompleteMessage, ""}},
     {{"tree/a.dbr", kSorted}, {"tree/m/x.dbr", kUnsorted}, {"tree/m.dbr", kUnsorted}, {"tree/z.dbr", kUnsorted}},
     {}},
    {"root's read-only file", [](const TempDir& d) { chmod(d.Path("tree/m.dbr").c_str(), 0444); }, {},
     {{kCannotWriteMessage, "tree/m.dbr"}, {kCompleteMessage, ""}},
     {{"tree/a.dbr", kSorted}, {"tree/m.dbr", kUnsorted}, {"tree/z.dbr", kUnsorted}},
     {{"tree/m.dbr", 0444, 0, 0}}},
    // The group keeps its write access; written in place, the file keeps
    // its owner, which a new file could not be given.
    {"group-writable file of another owner",
     [](const TempDir& d) {
         chown(d.Path("tree/m.dbr").c_str(), 0, kSharedGroup);
         chmod(d.Path("tree/m.dbr").c_str(), 0664);
     },
     {kSharedGroup},
     {{kCompleteMessage, ""}},
     {{"tree/a.dbr", kSorted}, {"tree/m.dbr", kSorted}, {"tree/z.dbr", kSorted}},
     {{"tree/m.dbr", 0664, 0, kSharedGroup}}},
    // A batch holds two files open for each of its files: it must fit the
    // limit, with room for the walk.
    {"80 files under a limit of 64 open files",
     [](const TempDir& d) {
         MakeFiles(d, WithNumbered({}, "tree/a0", 80, kUnsorted));
         GiveToNobody(d, "tree/a0");
         for (int i = 0; i < 80; ++i) GiveToNobody(d, "tree/a0/f" + std::to_string(i) + ".dbr");
     },
     {},
     {{kCannotWriteMessage, "tree/m.dbr"}, {kCompleteMessage, ""}},
     WithNumbered({{"tree/a.dbr", kSorted}, {"tree/m.dbr", kUnsorted}, {"tree/z.dbr", kUnsorted}}, "tree/a0", 80,
                  kSorted),
     {},
     64},
    // The temporary file can neither replace the file nor be removed: it is
    // named, with what it holds.
    {"directory made read-only before the replace",
     [](const TempDir& d) { GiveToNobody(d, "tree"); },
     {},
     {{"<left unplaced> ", "tree/a.dbr"}, {kCannotWriteMessage, "tree/a.dbr"}, {kCompleteMessage, ""}},
     {{"tree/a.dbr", kUnsorted}, {"tree/.a.dbr.*.tvtmp", kSorted}, {"tree/m.dbr", kUnsorted}, {"tree/z.dbr", kUnsorted}},
     {},
     0,
     When::Replace,
     "a.dbr",
     [](const TempDir& d) { chmod(d.Path("tree").c_str(), 0555); }},
    // Files of an interrupted run are named, unless the process that made
    // them still runs (process 1, which the user may not signal).
    {"files left by an interrupted run",
     [](const TempDir& d) {
         std::string pid = std::to_string(EndedProcess());
         for (const char* name : {".a.dbr.P-0.tvtmp", ".gone.dbr.P-1.tvtmp", ".z.dbr.P-2.tvcpy", ".z.dbr.P-3.tvtm~"}) {
             std::string real = name;
             real.replace(real.find('P'), 1, pid);
             d.Write("tree/" + real, "x");
         }
         d.Write("tree/.m.dbr.1-0.tvtmp", "x");
     },
     {},
     {{"<left partial, interrupted> ", "tree/a.dbr"},
      {"<left partial, interrupted, missing> ", "tree/gone.dbr"},
      {"<left complete, interrupted> ", "tree/z.dbr"},
      {"<left old, interrupted> ", "tree/z.dbr"},
      {kCannotWriteMessage, "tree/m.dbr"},
      {kCompleteMessage, ""}},
     {{"tree/a.dbr", kSorted}, {"tree/m.dbr", kUnsorted}, {"tree/z.dbr", kUnsorted}, {"tree/.a.dbr.*.tvtmp", "x"},
      {"tree/.gone.dbr.*.tvtmp", "x"}, {"tree/.m.dbr.1-0.tvtmp", "x"}, {"tree/.z.dbr.*.tvcpy", "x"},
      {"tree/.z.dbr.*.tvtm~", "x"}},
     {}},
    // A read-only working copy of its own: the attributes step lets the
    // owner write it.
    {"its own read-only file", [](const TempDir& d) { MakeMine(d, "tree/m.dbr", 0444); }, {},
     {{kCompleteMessage, ""}},
     {{"tree/a.dbr", kSorted}, {"tree/m.dbr", kSorted}, {"tree/z.dbr", kSorted}},
     {{"tree/m.dbr", 0644, 65534, 65534}}},
    // Put under the name after the read: the attributes step does not
    // reach it.
    {"private file put under its own read-only file's name", [](const TempDir& d) { MakeMine(d, "tree/m.dbr", 0444); },
     {}, {{kCannotWriteMessage, "tree/m.dbr"}, {kCompleteMessage, ""}},
     {{"tree/a.dbr", kSorted}, {"tree/m.dbr", "c,3,\r\n"}, {"tree/z.dbr", kUnsorted}},
     {{"tree/m.dbr", 0600, 65534, 65534}},
     0,
     When::BeforeRewrite,
     "m.dbr",
     [](const TempDir& d) {
         d.Write("tree/m.new", "c,3,\r\n");
         chmod(d.Path("tree/m.new").c_str(), 0600);
         fs::rename(d.Path("tree/m.new"), d.Path("tree/m.dbr"));
     }},
    {"mode of its own file changed after the read", [](const TempDir& d) { MakeMine(d, "tree/m.dbr", 0644); }, {},
     {{kCannotWriteMessage, "tree/m.dbr"}, {kCompleteMessage, ""}},
     {{"tree/a.dbr", kSorted}, {"tree/m.dbr", kUnsorted}, {"tree/z.dbr", kUnsorted}},
     {{"tree/m.dbr", 0600, 65534, 65534}},
     0,
     When::BeforeRewrite,
     "m.dbr",
     [](const TempDir& d) { chmod(d.Path("tree/m.dbr").c_str(), 0600); }},
};

TEST(RealFaults, RunByAnOrdinaryUser) {
    for (const NonRootCase& c : kNonRootCases) {
        TempDir dir;
        chmod(dir.Path().c_str(), 0755);
        MakeFiles(dir, {{"tree/a.dbr", kUnsorted}, {"tree/m.dbr", kUnsorted}, {"tree/z.dbr", kUnsorted}});
        chmod(dir.Path("tree").c_str(), 0777);
        for (const char* mine : {"tree/a.dbr", "tree/z.dbr"}) chown(dir.Path(mine).c_str(), 65534, 65534);
        if (c.make) c.make(dir);
        HookedFileSystem hooked;
        bool done = false;
        const std::string trigger = dir.Path("tree/" + c.trigger);
        hooked.hook = [&](When when, const std::string& path) {
            if (done || !c.change || when != c.when || path != trigger) return;
            done = true;
            c.change(dir);
        };
        std::vector<std::string> messages;
        std::string why;
        if (!RunAsNobody(hooked, dir.Path("tree"), c.groups, c.openFiles, messages, why)) GTEST_SKIP() << why;
        EXPECT_EQ(messages, Expand(dir, c.messages)) << c.name;
        CheckFiles(dir, c.after, c.name);
        for (const Owner& o : c.owners) {
            Owner now = OwnerOf(dir, o.name);
            EXPECT_EQ(now.mode, o.mode) << c.name;
            EXPECT_EQ(now.uid, o.uid) << c.name;
            EXPECT_EQ(now.gid, o.gid) << c.name;
        }
    }
}

// Removes name below parent and everything in it, one level at a time, so
// that paths longer than the system takes can go too.
void RemoveAllAt(int parent, const char* name) {
    int fd = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) {
        DIR* d = fdopendir(fd);
        std::vector<std::string> names;
        while (dirent* e = readdir(d))
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
        for (const std::string& n : names) RemoveAllAt(dirfd(d), n.c_str());
        closedir(d);
    }
    unlinkat(parent, name, fd >= 0 ? AT_REMOVEDIR : 0);
}

// A tree deeper than the longest path: the first directory that cannot be
// listed ends the run with its name, instead of being passed over.
TEST(RealFaults, TreeDeeperThanTheLongestPath) {
    TempDir dir;
    MakeFiles(dir, {{"tree/a.dbr", kUnsorted}, {"tree/z.dbr", kUnsorted}});
    dir.MakeDir("tree/deep");
    const std::string part(200, 'd');
    std::string path = dir.Path("tree/deep");
    std::string tooLong;
    int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    while (tooLong.empty()) {
        ASSERT_EQ(mkdirat(fd, part.c_str(), 0755), 0);
        int next = openat(fd, part.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        close(fd);
        fd = next;
        path += "/" + part;
        if (path.size() >= PATH_MAX) tooLong = path;
    }
    int file = openat(fd, "x.dbr", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_EQ(write(file, kUnsorted.data(), kUnsorted.size()), static_cast<ssize_t>(kUnsorted.size()));
    close(file);
    close(fd);

    RunOutcome got = RunCatching(GetRealFileSystem(), dir.Path("tree"));
    RemoveAllAt(AT_FDCWD, dir.Path("tree/deep").c_str());
    EXPECT_FALSE(got.threw);
    EXPECT_EQ(got.messages, (std::vector<std::string>{kCannotOpenMessage + tooLong, kCompleteMessage}));
    CheckFiles(dir, {{"tree/a.dbr", kSorted}, {"tree/z.dbr", kUnsorted}}, "deep tree");
}

// Two links to the next level on each of 16 levels: 2^16 ways down to the
// last directory, which is walked once, like every other.
TEST(RealFaults, LinksThatWouldMultiplyTheWalk) {
    TempDir dir;
    const int kLevels = 16;
    for (int i = 0; i <= kLevels; ++i) dir.MakeDir("tree/d" + std::to_string(i));
    for (int i = 0; i < kLevels; ++i)
        for (const char* name : {"/a", "/b"})
            Link(dir, "../d" + std::to_string(i + 1), "tree/d" + std::to_string(i) + name);
    dir.Write("tree/d16/x.dbr", kUnsorted);
    HookedFileSystem hooked;
    int searches = 0;
    hooked.hook = [&](When when, const std::string&) { searches += when == When::BeforeSearch; };
    RunOutcome got = RunCatching(hooked, dir.Path("tree/d0"));
    EXPECT_EQ(got.messages, std::vector<std::string>{kCompleteMessage});
    EXPECT_EQ(dir.Read("tree/d16/x.dbr"), kSorted);
    EXPECT_EQ(searches, kLevels + 2);  // the entry, then each directory once
}

// A signal that ends the process while new content is being written takes
// the temporary file with it; the record file keeps its bytes. While the
// content is written into a file of two names, the complete copy of it stays.
TEST(RealFaults, SignalDuringTheWriteOfALargeFile) {
    const std::string big = BigUnsorted(4000);  // several writes, about 170 KB
    struct Case {
        int sig;  // 0: the file size limit, below the file's size: the write
                  // fails and is reported, instead of a SIGXFSZ ending it all
        bool inPlace;
        // Sent by the process to itself from inside a step that holds
        // signals back (the making of the new file, the replace), instead
        // of during a write: it takes effect once the step is over.
        When held = When::BeforeWrite;
        bool durable = true;  // without, the replace is on a thread of its own
    };
    const Case cases[] = {{SIGINT, false},  {SIGTERM, false}, {SIGHUP, false}, {SIGQUIT, false}, {SIGALRM, false},
                          {SIGUSR1, false}, {SIGUSR2, false}, {0, false},      {SIGINT, true},  {SIGTERM, true},
                          {SIGTERM, false, When::BeforeRewrite}, {SIGTERM, false, When::Replace},
                          {SIGTERM, false, When::Replace, false}};
    for (const Case& c : cases) {
        const bool held = c.held != When::BeforeWrite;
        std::string label = std::string(c.sig ? strsignal(c.sig) : "file size limit") + (c.inPlace ? ", in place" : "") +
                            (c.held == When::BeforeRewrite ? ", held by the create" : "") +
                            (c.held == When::Replace ? ", held by the replace" : "") +
                            (c.durable ? "" : ", without durability");
        // A signal that this process was started to ignore (as nohup and a
        // script's background job start it) is rightly ignored by a run too.
        struct sigaction started;
        if (c.sig && sigaction(c.sig, nullptr, &started) == 0 && started.sa_handler == SIG_IGN) {
            std::printf("skipped: %s, which this process ignores\n", label.c_str());
            continue;
        }
        TempDir dir;
        dir.Write("big.dbr", big);
        if (c.inPlace) fs::create_hard_link(dir.Path("big.dbr"), dir.Path("big.two"));
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        pid_t pid = fork();
        if (pid == 0) {
            close(fds[0]);
            sigset_t blocked;
            sigemptyset(&blocked);
            if (c.sig) sigaddset(&blocked, c.sig);
            sigprocmask(SIG_UNBLOCK, &blocked, nullptr);
            struct rlimit none = {0, 0}, small = {64 * 1024, 64 * 1024};
            setrlimit(RLIMIT_CORE, &none);
            if (!c.sig) setrlimit(RLIMIT_FSIZE, &small);
            HookedFileSystem hooked;
            int writes = 0;
            const When when = c.inPlace ? When::BeforeWriteInPlace : When::BeforeWrite;
            hooked.hook = [&](When w, const std::string&) {
                if (held && w == c.held && ++writes == 1) {
                    char one = 1;
                    if (write(fds[1], &one, 1) == 1) kill(getpid(), c.sig);
                    return;
                }
                if (!c.sig || held || w != when || ++writes != 2) return;
                char one = 1;
                if (write(fds[1], &one, 1) == 1) pause();
            };
            RunOutcome got = RunCatching(hooked, dir.Path(), false, c.durable);
            _exit(got.threw && got.osError == EFBIG ? 3 : 0);
        }
        close(fds[1]);
        std::string one;
        bool writing = ReadWithin(fds[0], one, 60, 1) && one.size() == 1;
        close(fds[0]);
        if (c.sig && !held) kill(pid, c.sig);
        int status = 0;
        ASSERT_TRUE(WaitForChild(pid, status)) << label << ": the child did not end in time";
        if (c.sig) {
            EXPECT_TRUE(writing) << label;
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == c.sig) << label << ": status " << status;
        } else {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 3) << label << ": status " << status;
        }
        TempDir clean;
        clean.Write("big.dbr", big);
        RunCatching(GetRealFileSystem(), clean.Path("big.dbr"));
        if (!c.inPlace) {
            // Once the replace has begun, it ends before the signal does.
            CheckFiles(dir, {{"big.dbr", c.held == When::Replace ? clean.Read("big.dbr") : big}}, label);
            continue;
        }
        // Part-way: the file is neither old nor new, and its copy beside it
        // holds all of the new content, under a name that says so.
        std::vector<std::string> copies;
        OwnFileName own;
        for (const auto& e : fs::directory_iterator(dir.Path()))
            if (ParseOwnFileName(e.path().filename().string(), own)) copies.push_back(e.path().filename().string());
        ASSERT_EQ(copies.size(), 1u) << label;
        ASSERT_TRUE(ParseOwnFileName(copies[0], own));
        EXPECT_EQ(own.kind, LeftoverKind::CompleteNew) << label << ": " << copies[0];
        EXPECT_EQ(own.stem, "big.dbr") << label;
        EXPECT_EQ(dir.Read(copies[0]), clean.Read("big.dbr")) << label;
        EXPECT_EQ(dir.Read("big.dbr"), dir.Read("big.two")) << label;
    }
}

// New content is on the disk before it replaces the old: each replace comes
// after a flush of its file; without durability there is no flush. 70 files
// make two batches. Where the flush of the first fails, none of its files
// is put in place; a run that goes on puts the rest in place.
TEST(RealFaults, NewContentIsFlushedBeforeItReplaces) {
    const struct {
        const char* name;
        bool durable, keepGoing;
        int failFlush, flushes;  // -1: as the threads meet
        int unsorted;
        size_t messages;  // 0: an I/O error left the run
    } cases[] = {{"durable", true, false, 0, 2, 0, 1},
                 {"without durability", false, false, 0, 0, 0, 1},
                 {"first flush fails", true, false, 1, 1, 70, 0},
                 {"first flush fails, run going on", true, true, 1, -1, 64, 65}};
    for (const auto& c : cases) {
        TempDir dir;
        for (int i = 0; i < 70; ++i) dir.Write("f" + std::to_string(i) + ".dbr", kUnsorted);
        HookedFileSystem hooked;
        hooked.failFlush = c.failFlush;
        std::set<std::string> flushed;
        int flushes = 0;
        hooked.hook = [&](When w, const std::string& path) {
            if (w == When::Flush) path.empty() ? void(++flushes) : void(flushed.insert(path));
            if (w == When::Replace) {
                EXPECT_TRUE(flushed.count(path) || !c.durable) << c.name << ": " << path;
            }
        };
        RunOutcome got = RunCatching(hooked, dir.Path(), c.keepGoing, c.durable);
        EXPECT_EQ(got.messages.size(), c.messages) << c.name;
        EXPECT_EQ(got.threw, c.messages == 0) << c.name;
        if (c.flushes >= 0) {
            EXPECT_EQ(flushes, c.flushes) << c.name;
        }
        int unsorted = 0, files = 0;
        for (const auto& entry : fs::directory_iterator(dir.Path())) {
            ++files;
            unsorted += dir.Read(entry.path().filename().string()) == kUnsorted;
        }
        EXPECT_EQ(files, 70) << c.name << ": nothing else is left";
        EXPECT_EQ(unsorted, c.unsorted) << c.name;
    }
}

bool WriteTo(const char* file, const std::string& text) {
    FILE* f = std::fopen(file, "w");
    if (!f) return false;
    bool ok = std::fputs(text.c_str(), f) >= 0;
    return std::fclose(f) == 0 && ok;
}

// This process in a user and mount namespace of its own, with its own ids
// mapped to themselves.
bool OwnUserNamespace() {
    uid_t uid = getuid();
    gid_t gid = getgid();
    if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) return false;
    WriteTo("/proc/self/setgroups", "deny");
    return WriteTo("/proc/self/uid_map", std::to_string(uid) + " " + std::to_string(uid) + " 1") &&
           WriteTo("/proc/self/gid_map", std::to_string(gid) + " " + std::to_string(gid) + " 1");
}

// A private mount namespace: what the test mounts is seen by no other
// process and goes away with this one.
bool PrivateMounts(std::string& why) {
    static int state = 0;  // 1: ready, -1: refused
    static std::string reason;
    if (state == 0) {
        // Without the privilege, a user namespace of our own may grant it.
        if (unshare(CLONE_NEWNS) != 0 && !OwnUserNamespace()) {
            reason = std::string("no private mount namespace: ") + std::strerror(errno);
            state = -1;
        } else if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            reason = std::string("cannot make mounts private: ") + std::strerror(errno);
            state = -1;
        } else {
            state = 1;
        }
    }
    why = reason;
    return state == 1;
}

class Mounted {
public:
    explicit Mounted(std::string path) : m_path(std::move(path)) {}
    ~Mounted() {
        if (m_mounted) umount2(m_path.c_str(), MNT_DETACH);
    }
    // A tmpfs with the given options; false with the reason on refusal.
    bool Tmpfs(const char* options, std::string& why) {
        return Check(mount("tervalo-test", m_path.c_str(), "tmpfs", 0, options) == 0, "tmpfs", why);
    }
    // The directory bound onto itself, read-only.
    bool ReadOnly(std::string& why) {
        if (!Check(mount(m_path.c_str(), m_path.c_str(), nullptr, MS_BIND, nullptr) == 0, "bind", why)) return false;
        return Check(mount(nullptr, m_path.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0,
                     "read-only remount", why);
    }

private:
    bool Check(bool ok, const char* what, std::string& why) {
        if (ok) {
            m_mounted = true;
        } else {
            why = std::string("cannot mount (") + what + "): " + std::strerror(errno);
        }
        return ok;
    }
    std::string m_path;
    bool m_mounted = false;
};

std::string BigUnsorted(int lines) {
    std::string s;
    for (int i = lines - 1; i >= 0; --i) s += "key" + std::to_string(100000 + i) + ",a value to fill the disk with,\r\n";
    return s;
}

// Volumes that refuse a rewrite. The files sit in "vol", which is mounted
// before they are made (read-only after).
struct VolumeCase {
    const char* name;
    const char* tmpfsOptions;  // null: "vol" becomes read-only instead
    Files files;
    std::vector<Message> messages;
    const char* thrownName;  // the file an I/O error names, or null
    long osError;
    Files after;
    bool readOnlyAtReplace = false;  // the tmpfs turns read-only at the first replace
};

const std::string kBig = BigUnsorted(4000);  // about 170 KB

const VolumeCase kVolumeCases[] = {
    // The new content of big.dbr does not fit beside the old one.
    {"disk fills up during a rewrite", "size=256k", {{"vol/a.dbr", kUnsorted}, {"vol/big.dbr", kBig}, {"vol/c.dbr", kUnsorted}},
     {}, "vol/big.dbr", ENOSPC,
     {{"vol/a.dbr", kSorted}, {"vol/big.dbr", kBig}, {"vol/c.dbr", kUnsorted}}},
    // No inode is left for the temporary file.
    {"no room for a new file", "size=1m,nr_inodes=3", {{"vol/a.dbr", kUnsorted}, {"vol/c.dbr", kUnsorted}},
     {{kCannotWriteMessage, "vol/a.dbr"}, {kCompleteMessage, ""}}, nullptr, 0,
     {{"vol/a.dbr", kUnsorted}, {"vol/c.dbr", kUnsorted}}},
    {"read-only volume", nullptr, {{"vol/a.dbr", kUnsorted}, {"vol/c.dbr", kUnsorted}},
     {{kCannotWriteMessage, "vol/a.dbr"}, {kCompleteMessage, ""}}, nullptr, 0,
     {{"vol/a.dbr", kUnsorted}, {"vol/c.dbr", kUnsorted}}},
    // The temporary file can be neither put in place nor removed: it is
    // named, with what it holds.
    {"volume gone read-only before the last replace", "size=1m", {{"vol/a.dbr", kUnsorted}, {"vol/c.dbr", kUnsorted}},
     {{"<left unplaced> ", "vol/c.dbr"}, {kCannotWriteMessage, "vol/c.dbr"}, {kCompleteMessage, ""}}, nullptr, 0,
     {{"vol/a.dbr", kSorted}, {"vol/c.dbr", kUnsorted}, {"vol/.c.dbr.*.tvtmp", kSorted}}, true},
};

TEST(RealFaults, VolumesThatRefuseTheRewrite) {
    std::string why;
    if (!PrivateMounts(why)) GTEST_SKIP() << why;
    for (const VolumeCase& c : kVolumeCases) {
        TempDir dir;
        dir.MakeDir("vol");
        Mounted vol(dir.Path("vol"));
        if (c.tmpfsOptions && !vol.Tmpfs(c.tmpfsOptions, why)) GTEST_SKIP() << why;
        MakeFiles(dir, c.files);
        if (!c.tmpfsOptions && !vol.ReadOnly(why)) GTEST_SKIP() << why;
        struct statvfs before;
        statvfs(dir.Path("vol").c_str(), &before);
        HookedFileSystem hooked;
        hooked.hook = [&](When when, const std::string& path) {
            if (c.readOnlyAtReplace && when == When::Replace && path == dir.Path("vol/c.dbr"))
                mount(nullptr, dir.Path("vol").c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr);
        };

        RunOutcome got = RunCatching(hooked, dir.Path("vol"));
        EXPECT_EQ(got.messages, Expand(dir, c.messages)) << c.name;
        EXPECT_EQ(got.threw, c.thrownName != nullptr) << c.name;
        if (c.thrownName) {
            EXPECT_EQ(got.thrownPath, dir.Path(c.thrownName)) << c.name;
            EXPECT_EQ(got.cause, CFileException::writeError) << c.name;
            EXPECT_EQ(got.osError, c.osError) << c.name;
        }
        CheckFiles(dir, c.after, c.name);
        if (c.tmpfsOptions && !c.readOnlyAtReplace) {
            // Whatever was written on the way has been given back.
            struct statvfs after;
            statvfs(dir.Path("vol").c_str(), &after);
            EXPECT_EQ(after.f_bfree, before.f_bfree) << c.name;
            EXPECT_EQ(after.f_ffree, before.f_ffree) << c.name;
        }
    }
}

#endif

}  // namespace
