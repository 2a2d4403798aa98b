// Faults that only Windows produces or that only its backend meets: marked
// and held files, names outside the code page, links, a ReplaceFile that
// fails, directories without an index, and the system calls per file.
#ifdef _WIN32
#include <gtest/gtest.h>
#include <windows.h>

#include <fstream>
#include <map>

#include "../../platform/Types.h"
#include "../../platform/win32/Win32Calls.h"
#include "RealFaultSupport.h"

namespace {

// Files that Windows marks or that another program holds.
struct HeldCase {
    const char* name;
    DWORD attributes;
    bool held;           // open elsewhere, without sharing
    DWORD heldSharing;   // the sharing that the holder allows
    std::vector<Message> messages;
    Files after;
};

const HeldCase kHeldCases[] = {
    {"read-only", FILE_ATTRIBUTE_READONLY, false, 0, {{kCompleteMessage, ""}}, {{"a.dbr", kSorted}, {"m.dbr", kSorted}, {"z.dbr", kSorted}}},
    {"hidden", FILE_ATTRIBUTE_HIDDEN, false, 0, {{kCompleteMessage, ""}}, {{"a.dbr", kSorted}, {"m.dbr", kSorted}, {"z.dbr", kSorted}}},
    {"system", FILE_ATTRIBUTE_SYSTEM, false, 0, {{kCompleteMessage, ""}}, {{"a.dbr", kSorted}, {"m.dbr", kSorted}, {"z.dbr", kSorted}}},
    {"read-only, hidden and system", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM, false, 0,
     {{kCompleteMessage, ""}}, {{"a.dbr", kSorted}, {"m.dbr", kSorted}, {"z.dbr", kSorted}}},
    {"held without sharing", FILE_ATTRIBUTE_NORMAL, true, 0,
     {{kCannotOpenMessage, "m.dbr"}, {kCompleteMessage, ""}}, {{"a.dbr", kSorted}, {"m.dbr", kUnsorted}, {"z.dbr", kUnsorted}}},
    {"held by a reader that shares reading", FILE_ATTRIBUTE_NORMAL, true, FILE_SHARE_READ,
     {{kCannotOpenMessage, "m.dbr"}, {kCompleteMessage, ""}}, {{"a.dbr", kSorted}, {"m.dbr", kUnsorted}, {"z.dbr", kUnsorted}}},
};

TEST(RealFaults, MarkedAndHeldFiles) {
    for (const HeldCase& c : kHeldCases) {
        TempDir dir;
        MakeFiles(dir, {{"a.dbr", kUnsorted}, {"m.dbr", kUnsorted}, {"z.dbr", kUnsorted}});
        std::string target = dir.Path("m.dbr");
        ASSERT_TRUE(SetFileAttributesA(target.c_str(), c.attributes)) << c.name;
        HANDLE holder = INVALID_HANDLE_VALUE;
        if (c.held) {
            holder = CreateFileA(target.c_str(), GENERIC_READ, c.heldSharing, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
            ASSERT_NE(holder, INVALID_HANDLE_VALUE) << c.name;
        }
        RunOutcome got = RunCatching(GetRealFileSystem(), dir.Path());
        if (holder != INVALID_HANDLE_VALUE) CloseHandle(holder);
        EXPECT_FALSE(got.threw) << c.name;
        EXPECT_EQ(got.messages, Expand(dir, c.messages)) << c.name;
        CheckFiles(dir, c.after, c.name);
        if (!c.held) {
            DWORD now = GetFileAttributesA(target.c_str());
            EXPECT_EQ(now & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM), 0u) << c.name;
        }
    }
}

// Names that the ANSI code page cannot hold: the search must not give a
// look-alike ("Omega" for "Ωmega") or open anything in their place; the run
// names them as well as the code page can and stops there. (Wine reads host
// names right only under a UTF-8 locale such as LC_ALL=C.UTF-8.)
TEST(RealFaults, NamesOutsideTheCodePage) {
    if (GetACP() == CP_UTF8) GTEST_SKIP() << "the UTF-8 code page holds every name";
    struct Case {
        const char* name;
        const wchar_t* wide;
        const char* shown;      // the name in the message
        const char* lookAlike;  // a file with the name that best fit would give
        bool directory;         // a directory with a record file in it
    };
    const Case cases[] = {
        {"best-fit look-alike beside it", L"\u03A9mega.dbr", "?mega.dbr", "Omega.dbr", false},
        {"no look-alike", L"\u03A8bad.dbr", "?bad.dbr", nullptr, false},
        {"directory", L"\u0394ata", "?ata", nullptr, true},
    };
    for (const Case& c : cases) {
        TempDir dir;
        MakeFiles(dir, {{"a.dbr", kUnsorted}});
        fs::path own = fs::path(dir.Path()) / c.wide;
        if (c.directory) fs::create_directory(own);
        std::ofstream(c.directory ? own / "in.dbr" : own, std::ios::binary) << kUnsorted;
        WIN32_FIND_DATAW data;
        HANDLE h = FindFirstFileW(own.wstring().c_str(), &data);
        ASSERT_NE(h, INVALID_HANDLE_VALUE) << c.name;
        FindClose(h);
        if (std::wstring(data.cFileName) != c.wide) GTEST_SKIP() << "host names come back garbled: use LC_ALL=C.UTF-8";
        // Opened in its place, the look-alike would be rewritten without a
        // word about the file that was found.
        if (c.lookAlike) dir.Write(c.lookAlike, kUnsorted);
        RunOutcome got = RunCatching(GetRealFileSystem(), dir.Path());
        EXPECT_FALSE(got.threw) << c.name;
        EXPECT_EQ(got.messages, Expand(dir, {{kCannotOpenMessage, c.shown}, {kCompleteMessage, ""}})) << c.name;
        std::ifstream in(c.directory ? own / "in.dbr" : own, std::ios::binary);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), kUnsorted) << c.name;
    }
}

// A record file reached through a symbolic link is rewritten where the link
// leads, and the link stays. (Wine only pretends to make a link: then the
// test has nothing to look at; tests/wine/links-and-interrupts.sh makes one on
// the host side instead.)
TEST(RealFaults, LinkedRecordFileStaysALink) {
    TempDir dir;
    MakeFiles(dir, {{"real.dbr", kUnsorted}});
    std::wstring link = fs::path(dir.Path("link.dbr")).wstring();
    CreateSymbolicLinkW(link.c_str(), L"real.dbr", SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE);
    DWORD attributes = GetFileAttributesW(link.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        GTEST_SKIP() << "no symbolic link could be made here";
    RunOutcome got = RunCatching(GetRealFileSystem(), dir.Path("link.dbr"));
    EXPECT_EQ(got.messages, std::vector<std::string>{kCompleteMessage});
    EXPECT_EQ(dir.Read("real.dbr"), kSorted);
    EXPECT_TRUE(GetFileAttributesW(link.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT);
}

// Stand-ins for the backend's system calls: counting ones, or a ReplaceFile
// that fails; the real table comes back when the object goes.
std::map<std::string, int> g_calls;
DWORD g_replaceError = 0;

template <auto Member, typename F>
struct Counted;
template <auto Member, typename R, typename... A>
struct Counted<Member, R (*)(A...)> {
    static inline R (*real)(A...) = nullptr;
    static inline const char* name = nullptr;
    static R WINAPI Call(A... a) {
        R r = real(a...);
        DWORD error = GetLastError();
        ++g_calls[name];
        SetLastError(error);
        return r;
    }
};

class CallTable {
public:
    CallTable() : m_saved(SystemCalls()) { g_calls.clear(); }
    ~CallTable() { SystemCalls() = m_saved; }
    template <auto Member>
    void Count(const char* name) {
        using C = Counted<Member, std::remove_reference_t<decltype(SystemCalls().*Member)>>;
        if (!(SystemCalls().*Member)) return;
        C::real = SystemCalls().*Member;
        C::name = name;
        SystemCalls().*Member = &C::Call;
    }
    void CountAll() {
#define TERVALO_COUNT(member) Count<&Win32Calls::member>(#member)
        TERVALO_COUNT(FindFirstFileExW); TERVALO_COUNT(FindNextFileW); TERVALO_COUNT(FindClose);
        TERVALO_COUNT(GetFullPathNameW); TERVALO_COUNT(CreateFileW); TERVALO_COUNT(GetFileType);
        TERVALO_COUNT(GetFinalPathNameByHandleW); TERVALO_COUNT(GetFileInformationByHandle);
        TERVALO_COUNT(ReadFile); TERVALO_COUNT(WriteFile); TERVALO_COUNT(CloseHandle);
        TERVALO_COUNT(GetFileAttributesW); TERVALO_COUNT(SetFileAttributesW);
        TERVALO_COUNT(SetFileInformationByHandle); TERVALO_COUNT(DeleteFileW); TERVALO_COUNT(ReplaceFileW);
        TERVALO_COUNT(MoveFileExW);
#undef TERVALO_COUNT
    }
    static BOOL WINAPI InfoWithoutIndex(HANDLE h, LPBY_HANDLE_FILE_INFORMATION info) {
        BOOL ok = GetFileInformationByHandle(h, info);
        info->nFileIndexHigh = info->nFileIndexLow = 0;
        return ok;
    }
    static BOOL WINAPI FailingReplace(LPCWSTR, LPCWSTR, LPCWSTR, DWORD, LPVOID, LPVOID) {
        SetLastError(g_replaceError);
        return FALSE;
    }

private:
    Win32Calls m_saved;
};

// Where ReplaceFile cannot do the replace, the move does, unless the file
// has gone: then nothing may bring it back.
TEST(RealFaults, ReplaceFallsBackToTheMove) {
    struct Case {
        const char* name;
        DWORD error;
        std::vector<Message> messages;
        std::string after;
    };
    const Case cases[] = {
        {"the old file cannot be removed", ERROR_UNABLE_TO_REMOVE_REPLACED, {{kCompleteMessage, ""}}, kSorted},
        {"access denied", ERROR_ACCESS_DENIED, {{kCompleteMessage, ""}}, kSorted},
        {"the file has gone", ERROR_FILE_NOT_FOUND, {{kCannotWriteMessage, "m.dbr"}, {kCompleteMessage, ""}},
         kUnsorted},
    };
    for (const Case& c : cases) {
        TempDir dir;
        MakeFiles(dir, {{"m.dbr", kUnsorted}});
        CallTable table;
        g_replaceError = c.error;
        SystemCalls().ReplaceFileW = &CallTable::FailingReplace;
        table.Count<&Win32Calls::MoveFileExW>("MoveFileExW");
        RunOutcome got = RunCatching(GetRealFileSystem(), dir.Path("m.dbr"));
        EXPECT_EQ(got.messages, Expand(dir, c.messages)) << c.name;
        EXPECT_EQ(g_calls["MoveFileExW"], c.after == kSorted ? 1 : 0) << c.name;
        CheckFiles(dir, {{"m.dbr", c.after}}, c.name);
    }
}

// A file system that gives every directory the index 0 (some network
// shares do) still has each of them walked.
TEST(RealFaults, DirectoriesWithoutAnIndexAreAllWalked) {
    TempDir dir;
    MakeFiles(dir, {{"a/x.dbr", kUnsorted}, {"b/y.dbr", kUnsorted}, {"b/c/z.dbr", kUnsorted}});
    CallTable table;
    SystemCalls().GetFileInformationByHandle = &CallTable::InfoWithoutIndex;
    EXPECT_EQ(RunCatching(GetRealFileSystem(), dir.Path()).messages, std::vector<std::string>{kCompleteMessage});
    CheckFiles(dir, {{"a/x.dbr", kSorted}, {"b/y.dbr", kSorted}, {"b/c/z.dbr", kSorted}}, "index 0");
}

// The system calls that one more record file costs, counted: a directory of
// nine files against one of one. Printed for the performance notes.
TEST(RealFaults, SystemCallsPerRecordFile) {
    auto count = [](int files) {
        TempDir dir;
        for (int i = 0; i < files; ++i) dir.Write("f" + std::to_string(i) + ".dbr", kUnsorted);
        CallTable table;
        table.CountAll();
        EXPECT_EQ(RunCatching(GetRealFileSystem(), dir.Path()).messages, std::vector<std::string>{kCompleteMessage});
        return g_calls;
    };
    std::map<std::string, int> one = count(1), nine = count(9), perFile;
    int total = 0;
    for (const auto& [name, n] : nine) {
        int more = n - one[name];
        EXPECT_EQ(more % 8, 0) << name;
        if (more) total += perFile[name] = more / 8;
    }
    // Windows: the archive mark is cleared and ReplaceFile puts the new
    // content in place. Wine: no mark to clear; the open temporary file is
    // renamed, after a look that the target is still a file, and the link
    // target is asked for (Wine does not mark links to files).
    std::map<std::string, int> expected = {{"FindNextFileW", 1}, {"CreateFileW", 2}, {"GetFileType", 1},
                                           {"ReadFile", 1},      {"CloseHandle", 2}, {"WriteFile", 1}};
    if (SystemCalls().ReplaceFileW) {
        expected["SetFileAttributesW"] = 1;  // the archive mark
        expected["ReplaceFileW"] = 1;
    } else {
        expected["GetFinalPathNameByHandleW"] = 1;
        expected["GetFileAttributesW"] = 1;
        expected["SetFileInformationByHandle"] = 1;
    }
    EXPECT_EQ(perFile, expected);
    std::string line;
    for (const auto& [name, n] : perFile) line += " " + name + "=" + std::to_string(n);
    std::printf("[ system calls per record file ] %d:%s\n", total, line.c_str());
}


}  // namespace

#endif
