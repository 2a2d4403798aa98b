// Drives Tervalo.exe from outside, as a user would: finds its dialog, types
// into the field, clicks and presses keys, reads and dismisses the message
// boxes, and looks at the files on disk afterwards.
#include <gtest/gtest.h>
#include <windows.h>
#include <winver.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "WinTestSupport.h"

using namespace e2e;

namespace {

const char kUnsorted[] = "b,2\r\ntemplateName,t\r\na,1\r\n";
const char kSorted[] = "templateName,t\r\na,1\r\nb,2\r\n";
const char kUnsortedLf[] = "z,9\n\nTEMPLATENAME,T\nkey,,\nm,5\n";
const char kSortedLf[] = "TEMPLATENAME,T\r\nm,5\r\nz,9\r\n";
const char kBad[] = "no comma here\r\n";
const char kComplete[] = "Complete!";

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

// The program that the variable names, else the one built beside the test.
std::string Program(const char* variable, const char* built) {
    std::string path = Env(variable);
    if (path.empty()) path = built;
    if (!path.empty() && path[0] == '/') {  // a path of the build machine
        for (char& ch : path)
            if (ch == '/') ch = '\\';
        path = "Z:" + path;
    }
    return path;
}

std::string TervaloExe() { return Program("TERVALO_EXE", TERVALO_EXE_PATH); }
std::string CliExe() { return Program("TERVALO_CLI", TERVALO_CLI_PATH); }

// Where screenshots go, when wanted.
std::string ShotPath(const char* name) {
    std::string dir = Env("TERVALO_SHOTS");
    return dir.empty() ? "" : dir + "\\" + name;
}

// One Tervalo process and its main dialog.
class Tervalo {
public:
    explicit Tervalo(const std::string& arguments = "", const std::string& directory = "") {
        std::string command = "\"" + TervaloExe() + "\"" + (arguments.empty() ? "" : " " + arguments);
        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr,
                            directory.empty() ? nullptr : directory.c_str(), &startup, &m_process)) {
            ADD_FAILURE() << "cannot start " << command << ": error " << GetLastError();
            return;
        }
        WaitFor([&] { return (m_dialog = FindDialog(m_process.dwProcessId, "Tervalo")) != nullptr; }, 30000);
        EXPECT_NE(m_dialog, nullptr) << "no dialog captioned Tervalo";
    }
    ~Tervalo() {
        if (!m_process.hProcess) return;
        if (WaitForSingleObject(m_process.hProcess, 0) == WAIT_TIMEOUT) {
            PostMessageA(Item(IDCANCEL), BM_CLICK, 0, 0);
            if (WaitForSingleObject(m_process.hProcess, 5000) == WAIT_TIMEOUT)
                TerminateProcess(m_process.hProcess, 99);
        }
        CloseHandle(m_process.hThread);
        CloseHandle(m_process.hProcess);
    }
    Tervalo(const Tervalo&) = delete;
    Tervalo& operator=(const Tervalo&) = delete;

    HWND Dialog() const { return m_dialog; }
    DWORD Pid() const { return m_process.dwProcessId; }
    HWND Item(int id) const { return GetDlgItem(m_dialog, id); }
    std::string Field() const { return WindowText(Item(1000)); }

    // Puts the entry into the field and clicks OK.
    std::vector<Shown> RunWithClick(const std::string& entry, int timeoutMs = 15000) {
        SendMessageA(Item(1000), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(entry.c_str()));
        PostMessageA(Item(IDOK), BM_CLICK, 0, 0);
        return CollectMessages(Pid(), m_dialog, timeoutMs);
    }

    // Tabs to the field, types the entry over what it holds and presses Enter.
    std::vector<Shown> RunWithEnter(const std::string& entry, int timeoutMs = 15000) {
        EXPECT_TRUE(Activate(m_dialog));
        for (int i = 0; i < 4 && FocusedWindow() != Item(1000); ++i) PressKey(VK_TAB);
        EXPECT_EQ(FocusedWindow(), Item(1000)) << "the field never took the focus";
        SendMessageA(Item(1000), EM_SETSEL, 0, -1);
        TypeText(entry);
        WaitFor([&] { return Field() == entry; }, 5000);
        EXPECT_EQ(Field(), entry);
        PressKey(VK_RETURN);
        return CollectMessages(Pid(), m_dialog, timeoutMs);
    }

    HWND FocusedWindow() const {
        GUITHREADINFO info = {};
        info.cbSize = sizeof info;
        GetGUIThreadInfo(m_process.dwThreadId, &info);
        return info.hwndFocus;
    }

    // TRUE when the process ended within timeoutMs; its exit code in code.
    bool WaitForExit(int timeoutMs, DWORD& code) const {
        if (WaitForSingleObject(m_process.hProcess, timeoutMs) != WAIT_OBJECT_0) return false;
        GetExitCodeProcess(m_process.hProcess, &code);
        return true;
    }

private:
    PROCESS_INFORMATION m_process = {};
    HWND m_dialog = nullptr;
};

std::vector<Shown> Expected(const std::vector<std::string>& texts, const std::string& root) {
    std::vector<Shown> shown;
    for (const std::string& text : texts) shown.push_back(Shown{"Tervalo", Expand(text, root), true});
    return shown;
}

void ExpectMessages(const std::vector<Shown>& got, const std::vector<Shown>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].caption, want[i].caption) << "message " << i;
        EXPECT_EQ(got[i].text, want[i].text) << "message " << i << ": " << Visible(got[i].text);
        EXPECT_TRUE(got[i].ownedBy) << "message " << i << " is not owned by the dialog";
    }
}

typedef std::vector<std::pair<std::string, std::string>> Files;

void ExpectFiles(const ScratchDir& dir, const Files& files) {
    for (const auto& file : files)
        EXPECT_EQ(Visible(ReadFileBytes(dir / file.first)), Visible(file.second)) << file.first;
}

// ---- the dialog ------------------------------------------------------------

TEST(MainDialog, ShowsTheTemplateControlsInTabOrder) {
    struct Control {
        const char* className;
        int id;
        const char* text;
        LONG styleMask, style;
        LONG exStyleMask, exStyle;
    };
    const Control expected[] = {
        {"Button", IDOK, "OK", BS_TYPEMASK | WS_TABSTOP, BS_DEFPUSHBUTTON | WS_TABSTOP, WS_EX_STATICEDGE,
         WS_EX_STATICEDGE},
        {"Button", IDCANCEL, "Cancel", BS_TYPEMASK | WS_TABSTOP, BS_PUSHBUTTON | WS_TABSTOP, WS_EX_STATICEDGE,
         WS_EX_STATICEDGE},
        {"Static", 0xFFFF, "File or directory name:", SS_TYPEMASK | WS_GROUP, SS_LEFT | WS_GROUP, 0, 0},
        // The dialog manager draws an edit control's border as a client edge.
        {"Edit", 1000, "", WS_TABSTOP | ES_AUTOHSCROLL, WS_TABSTOP | ES_AUTOHSCROLL, 0, 0},
    };
    Tervalo app;
    ASSERT_NE(app.Dialog(), nullptr);
    EXPECT_TRUE(GetWindowLongA(app.Dialog(), GWL_EXSTYLE) & WS_EX_APPWINDOW);
    std::vector<HWND> children = Children(app.Dialog());
    ASSERT_EQ(children.size(), std::size(expected));
    for (size_t i = 0; i < children.size(); ++i) {
        const Control& want = expected[i];
        SCOPED_TRACE(want.text);
        HWND child = children[i];
        EXPECT_EQ(ClassName(child), want.className);
        EXPECT_EQ(GetDlgCtrlID(child) & 0xFFFF, want.id);
        EXPECT_EQ(WindowText(child), want.text);
        EXPECT_EQ(GetWindowLongA(child, GWL_STYLE) & want.styleMask, want.style);
        EXPECT_EQ(GetWindowLongA(child, GWL_EXSTYLE) & want.exStyleMask, want.exStyle);
    }
    EXPECT_EQ(app.FocusedWindow(), app.Item(IDOK)) << "OK, the first tab stop, has the focus at the start";

    std::string shot = ShotPath("main-dialog.bmp");
    if (!shot.empty()) {
        SendMessageA(app.Item(1000), WM_SETTEXT, 0, reinterpret_cast<LPARAM>("C:\\Content\\Records"));
        EXPECT_TRUE(Activate(app.Dialog()));
        UpdateWindow(app.Dialog());
        Sleep(300);
        EXPECT_TRUE(SaveWindowBitmap(app.Dialog(), shot));
    }
}

TEST(MainDialog, ClosesAndEndsTheProgram) {
    struct Way {
        const char* name;
        void (*close)(Tervalo&);
    };
    const Way ways[] = {
        {"Cancel clicked", [](Tervalo& app) { PostMessageA(app.Item(IDCANCEL), BM_CLICK, 0, 0); }},
        {"Esc pressed",
         [](Tervalo& app) {
             Activate(app.Dialog());
             PressKey(VK_ESCAPE);
         }},
        {"close box", [](Tervalo& app) { PostMessageA(app.Dialog(), WM_SYSCOMMAND, SC_CLOSE, 0); }},
    };
    for (const Way& way : ways) {
        SCOPED_TRACE(way.name);
        Tervalo app;
        ASSERT_NE(app.Dialog(), nullptr);
        way.close(app);
        DWORD code = 99;
        ASSERT_TRUE(app.WaitForExit(10000, code)) << "the program did not end";
        EXPECT_EQ(code, 0u);
        EXPECT_TRUE(Dialogs(app.Pid()).empty());
    }
}

TEST(MainDialog, ArgumentsChangeNothing) {
    ScratchDir dir;
    dir.Put("named.dbr", kUnsorted);
    dir.Put("run\\a.dbr", kUnsorted);
    Tervalo app("\"" + (dir / "named.dbr") + "\" /x --help", dir.Path());
    ASSERT_NE(app.Dialog(), nullptr);
    EXPECT_EQ(app.Field(), "");
    EXPECT_EQ(Children(app.Dialog()).size(), 4u);
    ExpectMessages(app.RunWithClick(dir / "run"), Expected({kComplete}, dir.Path()));
    ExpectFiles(dir, {{"named.dbr", kUnsorted}, {"run\\a.dbr", kSorted}});
}

// ---- runs ------------------------------------------------------------------

struct RunCase {
    const char* name;
    Files files;      // before the run, relative to the case's folder
    std::string entry;  // % is the case's folder, @ its name (relative to the current directory)
    bool enter;       // Enter in the field instead of a click on OK
    std::vector<std::string> messages;  // % is the case's folder
    Files after;
    std::string held = "";      // held open without sharing during the run
    std::string readOnly = "";  // made read-only and hidden before the run
};

TEST(Runs, SortRecordFilesAndReportTheFirstFailure) {
    const RunCase cases[] = {
        {"directory tree, OK clicked",
         {{"a.dbr", kUnsorted}, {"notes.txt", kUnsorted}, {"sub\\b.DBR", kUnsortedLf},
          {"sub\\deeper\\c.Dbr", kUnsorted}, {"sub\\keep.dbr.bak", kUnsorted}, {"sub\\x.dbrx", kUnsorted}},
         "%", false, {kComplete},
         {{"a.dbr", kSorted}, {"notes.txt", kUnsorted}, {"sub\\b.DBR", kSortedLf},
          {"sub\\deeper\\c.Dbr", kSorted}, {"sub\\keep.dbr.bak", kUnsorted}, {"sub\\x.dbrx", kUnsorted}}},
        {"bad file stops the run, Enter",
         {{"1.dbr", kUnsorted}, {"2.dbr", kBad}, {"3.dbr", kUnsorted}, {"4\\5.dbr", kUnsorted}},
         "%", true, {"Error detected within file:\r\n%\\2.dbr", kComplete},
         {{"1.dbr", kSorted}, {"2.dbr", kBad}, {"3.dbr", kUnsorted}, {"4\\5.dbr", kUnsorted}}},
        {"bad file deep down stops every level",
         {{"a\\1.dbr", kUnsorted}, {"a\\b\\bad.dbr", kBad}, {"a\\b\\z.dbr", kUnsorted},
          {"a\\c.dbr", kUnsorted}, {"z.dbr", kUnsorted}},
         "%", false, {"Error detected within file:\r\n%\\a\\b\\bad.dbr", kComplete},
         {{"a\\1.dbr", kSorted}, {"a\\b\\bad.dbr", kBad}, {"a\\b\\z.dbr", kUnsorted},
          {"a\\c.dbr", kUnsorted}, {"z.dbr", kUnsorted}}},
        {"wildcard entry, suffix in any case",
         {{"UP.DBR", kUnsorted}, {"mixed.Dbr", kUnsorted}, {"d.dbrx", kUnsorted}, {"e.dbr.bak", kUnsorted},
          {"dir\\in.dbr", kUnsorted}, {"other.txt", kUnsorted}},
         "%\\*", true, {kComplete},
         {{"UP.DBR", kSorted}, {"mixed.Dbr", kSorted}, {"d.dbrx", kUnsorted}, {"e.dbr.bak", kUnsorted},
          {"dir\\in.dbr", kSorted}, {"other.txt", kUnsorted}}},
        {"a name that does not exist", {{"a.dbr", kUnsorted}}, "%\\missing", false, {kComplete},
         {{"a.dbr", kUnsorted}}},
        {"trailing backslash matches nothing", {{"a.dbr", kUnsorted}}, "%\\", false, {kComplete},
         {{"a.dbr", kUnsorted}}},
        {"empty field", {{"a.dbr", kUnsorted}}, "", false, {kComplete}, {{"a.dbr", kUnsorted}}},
        {"relative entry, absolute path in the message", {{"sub\\a.dbr", kBad}}, "@\\sub", true,
         {"Error detected within file:\r\n%\\sub\\a.dbr", kComplete}, {{"sub\\a.dbr", kBad}}},
        {"file held by another program",
         {{"a.dbr", kUnsorted}, {"b.dbr", kUnsorted}, {"c.dbr", kUnsorted}}, "%", false,
         {"Cannot open file:\r\n%\\b.dbr", kComplete},
         {{"a.dbr", kSorted}, {"b.dbr", kUnsorted}, {"c.dbr", kUnsorted}}, "b.dbr"},
        {"read-only hidden file is rewritten", {{"a.dbr", kUnsorted}}, "%\\a.dbr", true, {kComplete},
         {{"a.dbr", kSorted}}, "", "a.dbr"},
        // Names no legacy code page holds: found, opened and named as they are
        // (no "?" and no look-alike "Omega.dbr" in their place).
        {"names outside the legacy code pages",
         {{"sub\\\u03A9mega.dbr", kUnsorted}, {"sub\\Omega.dbr", kUnsortedLf}, {"\u03A8bad.dbr", kBad}}, "%",
         false, {"Error detected within file:\r\n%\\\u03A8bad.dbr", kComplete},
         {{"sub\\\u03A9mega.dbr", kSorted}, {"sub\\Omega.dbr", kSortedLf}, {"\u03A8bad.dbr", kBad}}},
        {"a name outside the legacy code pages in the field", {{"\u03A9mega.dbr", kUnsorted}, {"Omega.dbr", kUnsorted}},
         "%\\\u03A9mega.dbr", false, {kComplete}, {{"\u03A9mega.dbr", kSorted}, {"Omega.dbr", kUnsorted}}},
    };
    // One program for all runs, started in a folder with a record file of its
    // own that no run may touch (an empty field must not mean "here").
    ScratchDir cwd;
    cwd.Put("here.dbr", kUnsorted);
    Tervalo app("", cwd.Path());
    ASSERT_NE(app.Dialog(), nullptr);
    for (const RunCase& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDir dir(cwd.Path());
        std::string name = dir.Path().substr(cwd.Path().size() + 1);
        for (const auto& file : c.files) dir.Put(file.first, file.second);
        HANDLE held = INVALID_HANDLE_VALUE;
        if (!c.held.empty())
            held = CreateFileA((dir / c.held).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (!c.readOnly.empty())
            SetFileAttributesA((dir / c.readOnly).c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
        std::string entry = Expand(c.entry, dir.Path());
        for (size_t at; (at = entry.find('@')) != std::string::npos;) entry.replace(at, 1, name);
        std::vector<Shown> shown = c.enter ? app.RunWithEnter(entry) : app.RunWithClick(entry);
        if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
        ExpectMessages(shown, Expected(c.messages, dir.Path()));
        ExpectFiles(dir, c.after);
        EXPECT_EQ(app.Field(), entry) << "the field keeps the entry";
    }
    EXPECT_EQ(ReadFileBytes(cwd / "here.dbr"), kUnsorted);
}

TEST(Runs, SecondRunRewritesTheSameContent) {
    ScratchDir dir;
    dir.Put("a.dbr", kUnsorted);
    dir.Put("s\\b.dbr", kUnsortedLf);
    Tervalo app;
    ASSERT_NE(app.Dialog(), nullptr);
    ExpectMessages(app.RunWithClick(dir.Path()), Expected({kComplete}, dir.Path()));
    ExpectFiles(dir, {{"a.dbr", kSorted}, {"s\\b.dbr", kSortedLf}});
    // Straight away, with the field as the first run left it.
    PostMessageA(app.Item(IDOK), BM_CLICK, 0, 0);
    ExpectMessages(CollectMessages(app.Pid(), app.Dialog()), Expected({kComplete}, dir.Path()));
    ExpectFiles(dir, {{"a.dbr", kSorted}, {"s\\b.dbr", kSortedLf}});
}

// A disk that fills up while a file is rewritten: the write error leaves the
// run before "Complete!", is shown with the file and the reason, the file
// keeps its content, and the dialog takes the next run.
TEST(Runs, WriteErrorIsReportedAndTheDialogGoesOn) {
    std::string smallDisk = Env("TERVALO_E2E_SMALL_DISK");
    if (smallDisk.empty()) GTEST_SKIP() << "TERVALO_E2E_SMALL_DISK names no small disk";
    ScratchDir full(smallDisk);
    std::string big = "templateName,t\r\n";
    for (int i = 4000; i > 0; --i) big += "key" + std::to_string(i) + ",value\r\n";
    ASSERT_GT(big.size(), 40000u);
    full.Put("big.dbr", big);
    ASSERT_EQ(ReadFileBytes(full / "big.dbr"), big) << "the small disk cannot even hold the file";
    ScratchDir good;
    good.Put("a.dbr", kUnsorted);

    Tervalo app;
    ASSERT_NE(app.Dialog(), nullptr);
    std::vector<Shown> shown = app.RunWithClick(full.Path(), 3000);
    ASSERT_EQ(shown.size(), 1u) << "one box, and no \"Complete!\"";
    EXPECT_EQ(shown[0].caption, "Tervalo");
    std::string head = "Error writing file:\r\n" + (full / "big.dbr") + "\r\n";
    EXPECT_EQ(shown[0].text.substr(0, head.size()), head) << Visible(shown[0].text);
    EXPECT_GT(shown[0].text.size(), head.size()) << "the reason is missing";
    EXPECT_TRUE(ReadFileBytes(full / "big.dbr") == big) << "the file lost its content";
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA((full / "*").c_str(), &data);
    int files = 0;
    do {
        if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) ++files;
    } while (FindNextFileA(find, &data));
    FindClose(find);
    EXPECT_EQ(files, 1) << "a temporary file was left behind";

    ExpectMessages(app.RunWithEnter(good.Path()), Expected({kComplete}, good.Path()));
    ExpectFiles(good, {{"a.dbr", kSorted}});
}

// ---- long runs -------------------------------------------------------------

// A record file of 300,000 lines, unsorted or sorted.
std::string BigRecordFile(bool sorted) {
    std::string bytes;
    for (int i = 0; i < 300000; ++i) bytes += "k" + std::to_string(sorted ? 1000000 + i : 1299999 - i) + ",v\r\n";
    return bytes;
}

// A run of a few seconds over 2,500 record files in folders of 100 and a
// large one after the first 100, probed every 50 ms (2 s allowed), Enter
// pressed once the caption counts. Left to end, or stopped once files are in
// place: the program ends, the files the walk came to first are new, the
// others old, and no temporary file is left. The session may also end while
// the run's box for a bad file is open: the box goes, the program ends.
TEST(LongRun, DialogAnswersCountsAndStopsBetweenFiles) {
    auto logOff = [](Tervalo& app) {
        DWORD_PTR mayEnd = 1;
        SendMessageTimeoutA(app.Dialog(), WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF, SMTO_NORMAL, 2000, &mayEnd);
        EXPECT_EQ(mayEnd, 0u) << "the session did not wait for the run";
        SendMessageTimeoutA(app.Dialog(), WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF, SMTO_NORMAL, 30000, &mayEnd);
    };
    const std::pair<const char*, void (*)(Tervalo&)> ways[] = {
        {"left to end", nullptr},
        {"Cancel clicked", [](Tervalo& app) { PostMessageA(app.Item(IDCANCEL), BM_CLICK, 0, 0); }},
        {"Esc pressed", [](Tervalo&) { PressKey(VK_ESCAPE); }},
        {"close box", [](Tervalo& app) { PostMessageA(app.Dialog(), WM_SYSCOMMAND, SC_CLOSE, 0); }},
        {"log-off", logOff},
        {"log-off with the box of a bad file open", logOff},
    };
    const size_t kBadAfter = 1200;  // in the box's case: a bad file right after names[kBadAfter]
    for (const auto& way : ways) {
        SCOPED_TRACE(way.first);
        const bool box = std::string(way.first).find("bad file") != std::string::npos;
        ScratchDir dir;
        std::vector<std::string> names;  // in the order of the walk
        for (int i = 0; i < 2500; ++i) {
            std::string number = std::to_string(100000 + i);  // d000\f0000.dbr: the walk's order is the names'
            names.push_back("d" + number.substr(1, 3) + "\\f" + number.substr(2) + ".dbr");
            dir.Put(names.back(), kUnsorted);
        }
        dir.Put("d001\\big.dbr", BigRecordFile(false));
        if (box) dir.Put(names[kBadAfter].substr(0, names[kBadAfter].size() - 4) + "b.dbr", "bad\r\n");
        Tervalo app;
        ASSERT_NE(app.Dialog(), nullptr);
        SendMessageA(app.Item(1000), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(dir.Path().c_str()));
        ASSERT_TRUE(Activate(app.Dialog()));
        PostMessageA(app.Item(IDOK), BM_CLICK, 0, 0);
        int probes = 0, unanswered = 0, counting = 0;
        std::string caption;
        while (Dialogs(app.Pid()).size() == 1 && !(way.second && !box && counting && caption != "Tervalo - 0 files")) {
            Sleep(50);
            DWORD_PTR result;
            unanswered += !SendMessageTimeoutA(app.Dialog(), WM_NULL, 0, 0, SMTO_NORMAL, 2000, &result);
            ++probes;
            // The caption last: the end of a run gives it back first.
            bool entry = IsWindowEnabled(app.Item(IDOK)) || IsWindowEnabled(app.Item(1000));
            bool onCancel = app.FocusedWindow() == app.Item(IDCANCEL);
            caption = WindowText(app.Dialog());
            // The bad file's box may have come up since the loop's look: it has the focus.
            if (box && Dialogs(app.Pid()).size() > 1) break;
            if (caption.rfind("Tervalo - ", 0) == 0 && caption.find(" files") == caption.size() - 6) {
                ASSERT_FALSE(entry) << "OK or the field takes input during the run";
                ASSERT_TRUE(onCancel);
                if (counting++) continue;
                std::string shot = way.second ? "" : ShotPath("run-progress.bmp");
                EXPECT_TRUE(shot.empty() || SaveWindowBitmap(app.Dialog(), shot));
                PressKey(VK_RETURN);  // neither a second run nor Cancel
            }
        }
        EXPECT_EQ(unanswered, 0) << "of " << probes << " probes";
        EXPECT_GT(counting, 0) << "the caption never counted";
        if (!way.second) {
            ExpectMessages(CollectMessages(app.Pid(), app.Dialog()), Expected({kComplete}, dir.Path()));
            EXPECT_EQ(WindowText(app.Dialog()), "Tervalo");
            EXPECT_TRUE(IsWindowEnabled(app.Item(IDOK)) && IsWindowEnabled(app.Item(1000)));
        } else {
            DWORD code = 99;
            if (box) {
                ASSERT_EQ(Dialogs(app.Pid()).size(), 2u) << "no box for the bad file";
            }
            way.second(app);
            ASSERT_TRUE(app.WaitForExit(30000, code)) << "the program did not end";
            EXPECT_EQ(code, 0u);
        }
        size_t done = 0;
        while (done < names.size() && ReadFileBytes(dir / names[done]) == kSorted) ++done;
        for (size_t i = done; i < names.size(); ++i) ASSERT_EQ(ReadFileBytes(dir / names[i]), kUnsorted) << names[i];
        EXPECT_TRUE(box ? done == kBadAfter + 1 : way.second ? done > 0 && done < names.size() : done == names.size())
            << done;
        std::string big = ReadFileBytes(dir / "d001\\big.dbr");
        EXPECT_TRUE(big == BigRecordFile(done > 100) || (done == 100 && big == BigRecordFile(true)));
        for (size_t i = 0; i < names.size(); i += 100) {
            WIN32_FIND_DATAA data;
            HANDLE find = FindFirstFileA((dir / names[i].substr(0, 5) + "*.tvtmp").c_str(), &data);
            EXPECT_EQ(find, INVALID_HANDLE_VALUE) << "a temporary file was left: " << data.cFileName;
            if (find != INVALID_HANDLE_VALUE) FindClose(find);
        }
    }
}

// ---- the About box ---------------------------------------------------------

HWND OpenAboutThroughSystemMenu(Tervalo& app) {
    EXPECT_TRUE(Activate(app.Dialog()));
    PressKey(VK_SPACE, true);  // Alt+Space opens the system menu
    Sleep(200);
    PressKey(VK_UP);  // from the top round to the last item
    PressKey(VK_RETURN);
    HWND about = nullptr;
    WaitFor([&] { return (about = FindDialog(app.Pid(), "About Tervalo")) != nullptr; });
    return about;
}

TEST(AboutBox, OpensFromTheSystemMenuAndClosesEveryWay) {
    struct Way {
        const char* name;
        void (*close)(HWND about);
    };
    const Way ways[] = {
        {"OK clicked", [](HWND about) { PostMessageA(GetDlgItem(about, IDOK), BM_CLICK, 0, 0); }},
        {"Esc pressed",
         [](HWND about) {
             Activate(about);
             PressKey(VK_ESCAPE);
         }},
        {"close box", [](HWND about) { PostMessageA(about, WM_SYSCOMMAND, SC_CLOSE, 0); }},
    };
    Tervalo app;
    ASSERT_NE(app.Dialog(), nullptr);
    SendMessageA(app.Item(1000), WM_SETTEXT, 0, reinterpret_cast<LPARAM>("kept"));
    bool first = true;
    for (const Way& way : ways) {
        SCOPED_TRACE(way.name);
        HWND about = OpenAboutThroughSystemMenu(app);
        ASSERT_NE(about, nullptr) << "no About box";
        EXPECT_EQ(GetWindow(about, GW_OWNER), app.Dialog());
        EXPECT_FALSE(IsWindowEnabled(app.Dialog())) << "the main dialog waits while the box is open";
        if (first) {
            std::vector<HWND> items = Children(about);
            ASSERT_EQ(items.size(), 4u);
            EXPECT_EQ(GetWindowLongA(items[0], GWL_STYLE) & SS_TYPEMASK, SS_ICON);
            EXPECT_NE(SendMessageA(items[0], STM_GETICON, 0, 0), 0) << "the icon is not shown";
            EXPECT_EQ(WindowText(items[1]), "Tervalo Version 1.0");
            EXPECT_FALSE(WindowText(items[2]).empty()) << "no notice line";
            EXPECT_EQ(GetDlgCtrlID(items[3]), IDOK);
            EXPECT_EQ(WindowText(items[3]), "OK");
            std::string shot = ShotPath("about-box.bmp");
            if (!shot.empty()) {
                Sleep(300);
                EXPECT_TRUE(SaveWindowBitmap(about, shot));
            }
            first = false;
        }
        way.close(about);
        EXPECT_TRUE(WaitFor([&] { return !IsWindow(about); })) << "the box did not close";
        EXPECT_TRUE(WaitFor([&] { return IsWindowEnabled(app.Dialog()) != FALSE; }));
        EXPECT_EQ(FindDialog(app.Pid(), "Tervalo"), app.Dialog());
        EXPECT_EQ(app.Field(), "kept");
    }
}

// ---- the executable --------------------------------------------------------

TEST(Executable, CarriesTheVersionRecord) {
    std::string exe = TervaloExe();
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeA(exe.c_str(), &handle);
    ASSERT_GT(size, 0u) << exe;
    std::vector<char> data(size);
    ASSERT_TRUE(GetFileVersionInfoA(exe.c_str(), 0, size, data.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(data.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0x00000001u);
    EXPECT_EQ(fixed->dwProductVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwProductVersionLS, 0x00000001u);
    EXPECT_EQ(fixed->dwFileFlagsMask, 0x3Fu);
    EXPECT_EQ(fixed->dwFileOS, static_cast<DWORD>(VOS__WINDOWS32));
    EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));

    WORD* translation = nullptr;
    ASSERT_TRUE(VerQueryValueA(data.data(), "\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation),
                               &length));
    ASSERT_GE(length, 4u);
    EXPECT_EQ(translation[0], 0x0409);
    EXPECT_EQ(translation[1], 0x04B0);

    const std::pair<const char*, const char*> strings[] = {
        {"CompanyName", ""},
        {"FileDescription", "Tervalo MFC Application"},
        {"FileVersion", "1, 0, 0, 1"},
        {"InternalName", "Tervalo"},
        {"LegalTrademarks", ""},
        {"OriginalFilename", "Tervalo.EXE"},
        {"ProductName", "Tervalo Application"},
        {"ProductVersion", "1, 0, 0, 1"},
    };
    for (const auto& s : strings) {
        std::string key = std::string("\\StringFileInfo\\040904B0\\") + s.first;
        char* value = nullptr;
        EXPECT_TRUE(VerQueryValueA(data.data(), key.c_str(), reinterpret_cast<void**>(&value), &length))
            << s.first;
        EXPECT_EQ(std::string(value && length ? value : ""), s.second) << s.first;
    }
}

// ---- tervalo-cli.exe ---------------------------------------------------------

// Runs tervalo-cli.exe on entry with standard output and error to output;
// its exit code.
DWORD RunCli(const std::wstring& entry, HANDLE output) {
    std::string exe = CliExe();
    std::wstring command = L"\"" + std::wstring(exe.begin(), exe.end()) + L"\" \"" + entry + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError = output;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process))
        return 0xDEAD;
    DWORD code = 0xDEAD;
    if (WaitForSingleObject(process.hProcess, 30000) == WAIT_OBJECT_0) GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return code;
}

DWORD RunCli(const std::string& entry, HANDLE output) {
    std::wstring wide(entry.size(), L'\0');
    wide.resize(MultiByteToWideChar(CP_ACP, 0, entry.data(), static_cast<int>(entry.size()), &wide[0],
                                    static_cast<int>(wide.size())));
    return RunCli(wide, output);
}

// An entry that even UTF-8 cannot hold (a lone surrogate, which NTFS allows
// in names) is named with "?" and never searched: its "?" would match the
// other file here.
TEST(Cli, EntryOutsideTheCodePageIsNotSearched) {
    ScratchDir dir;
    dir.Put("ax.dbr", kUnsorted);
    std::wstring entry(dir.Path().begin(), dir.Path().end());  // an ASCII path
    entry += L"\\\xD800x.dbr";
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    ScratchDir outDir;
    HANDLE file = CreateFileA((outDir / "out.txt").c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                              CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(RunCli(entry, file), 1u);
    CloseHandle(file);
    std::string written = ReadFileBytes(outDir / "out.txt");
    EXPECT_NE(written.find("Cannot open file:"), std::string::npos) << Visible(written);
    EXPECT_NE(written.find(dir / "?x.dbr"), std::string::npos) << Visible(written);
    EXPECT_NE(written.find(kComplete), std::string::npos) << Visible(written);
    EXPECT_EQ(ReadFileBytes(dir / "ax.dbr"), kUnsorted);
}

// A name outside the console's code page: to a file go its UTF-8 bytes, on a
// console its characters, and the console keeps its code page.
TEST(Cli, NamesComeOutWhole) {
    ASSERT_EQ(GetACP(), static_cast<UINT>(CP_UTF8)) << "the test's manifest asks for UTF-8";
    ScratchDir dir;
    dir.Put("\u03A8bad.dbr", kBad);
    const std::string path = dir / "\u03A8bad.dbr";
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};

    ScratchDir outDir;
    HANDLE file = CreateFileA((outDir / "out.txt").c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                              CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(RunCli(path, file), 1u);
    CloseHandle(file);
    std::string written = ReadFileBytes(outDir / "out.txt");
    EXPECT_NE(written.find(path), std::string::npos) << Visible(written);

    FreeConsole();
    ASSERT_TRUE(AllocConsole());
    HANDLE screen = CreateConsoleScreenBuffer(GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                              &inherit, CONSOLE_TEXTMODE_BUFFER, nullptr);
    ASSERT_NE(screen, INVALID_HANDLE_VALUE);
    SetConsoleScreenBufferSize(screen, COORD{200, 50});
    ASSERT_TRUE(SetConsoleOutputCP(437));  // has no Psi
    EXPECT_EQ(RunCli(path, screen), 1u);
    EXPECT_EQ(GetConsoleOutputCP(), 437u);
    std::wstring shown(200 * 50, L' ');
    DWORD got = 0;
    ReadConsoleOutputCharacterW(screen, &shown[0], static_cast<DWORD>(shown.size()), COORD{0, 0}, &got);
    shown.resize(got);
    std::wstring wide(path.size(), L'\0');
    wide.resize(MultiByteToWideChar(CP_UTF8, 0, path.data(), static_cast<int>(path.size()), &wide[0],
                                    static_cast<int>(wide.size())));
    EXPECT_NE(shown.find(wide), std::wstring::npos) << "the console shows no " << path;
    CloseHandle(screen);
    FreeConsole();
}

}  // namespace
