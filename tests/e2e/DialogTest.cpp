// Tervalo's dialogs and the framework under them, run inside the test's own
// process: what the system answers only to the process that owns a window
// (system menu, icons, dialog-unit geometry, focus) is looked at here.
#include <gtest/gtest.h>
#include <shlobj.h>
#include <windows.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <memory>
#include <thread>

#include "../../app/AboutBox.h"
#include "../../app/RecordToolDlg.h"
#include "../../resources/resource.h"
#include "../unit/ForwardingFileSystem.h"
#include "WinTestSupport.h"

using namespace e2e;

namespace {

// Runs a dialog's modal loop on a thread of its own, so that the test can
// look at it from outside while it runs.
class ModalRun {
public:
    explicit ModalRun(CDialog& dialog) {
        m_thread = std::thread([this, &dialog] {
            m_threadId = GetCurrentThreadId();
            m_result = dialog.DoModal();
        });
        WaitFor([&] {
            DWORD tid = m_threadId;
            if (!tid) return false;
            std::vector<HWND> dialogs = Dialogs(0, tid);
            if (!dialogs.empty()) m_window = dialogs.front();
            return m_window != nullptr;
        });
    }
    ~ModalRun() {
        Close();
        m_thread.join();
    }
    HWND Window() const { return m_window; }
    DWORD ThreadId() const { return m_threadId; }
    void Close() {
        if (IsWindow(m_window)) PostMessageA(m_window, WM_COMMAND, IDCANCEL, 0);
        WaitFor([&] { return !IsWindow(m_window); });
    }
    // Types text into the field and clicks OK.
    std::vector<Shown> Run(const std::string& text, int timeoutMs = 15000,
                           const std::function<void(HWND box)>& onBox = nullptr) {
        SetDlgItemTextA(m_window, IDC_FILENAME, text.c_str());
        return Run(timeoutMs, onBox);
    }
    // Clicks OK on what the field holds.
    std::vector<Shown> Run(int timeoutMs = 15000, const std::function<void(HWND box)>& onBox = nullptr) {
        PostMessageA(GetDlgItem(m_window, IDOK), BM_CLICK, 0, 0);
        return CollectMessages(GetCurrentProcessId(), m_window, timeoutMs, onBox);
    }

private:
    std::thread m_thread;
    std::atomic<DWORD> m_threadId{0};
    HWND m_window = nullptr;
    INT_PTR m_result = 0;
};

// The rectangle of a child in its dialog's client coordinates.
RECT ChildRect(HWND dialog, HWND child) {
    RECT rect;
    GetWindowRect(child, &rect);
    MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

// A template rectangle in pixels, as the dialog manager places a control:
// position and size are each converted on their own.
RECT Units(HWND dialog, int x, int y, int cx, int cy) {
    RECT origin = {x, y, 0, 0};
    RECT size = {0, 0, cx, cy};
    MapDialogRect(dialog, &origin);
    MapDialogRect(dialog, &size);
    return RECT{origin.left, origin.top, origin.left + size.right, origin.top + size.bottom};
}

// A dialog template as the resources hold it, classic or extended.
struct ItemTemplate {
    DWORD exStyle, style;
    short x, y, cx, cy;
    DWORD id;
    std::string className, title;  // "#n" for an ordinal
};
struct DialogTemplate {
    bool extended = false;
    DWORD exStyle = 0, style = 0;
    short x = 0, y = 0, cx = 0, cy = 0;
    std::string menu, className, title;
    WORD pointSize = 0, weight = 0;
    BYTE italic = 0, charset = 0;
    std::string face;
    std::vector<ItemTemplate> items;
};

class TemplateReader {
public:
    explicit TemplateReader(const BYTE* base) : m_base(base), m_at(base) {}
    template <typename T>
    T Read() {
        T value;
        memcpy(&value, m_at, sizeof value);
        m_at += sizeof value;
        return value;
    }
    // A text (UTF-16, ASCII here), an ordinal or nothing.
    std::string Text() {
        WORD first = Read<WORD>();
        if (first == 0xFFFF) return "#" + std::to_string(Read<WORD>());
        std::string text;
        for (WORD ch = first; ch != 0; ch = Read<WORD>()) text += static_cast<char>(ch < 128 ? ch : '?');
        return text;
    }
    void AlignToDword() {
        while ((m_at - m_base) % 4) ++m_at;
    }
    void Skip(size_t bytes) { m_at += bytes; }

private:
    const BYTE* m_base;
    const BYTE* m_at;
};

DialogTemplate LoadTemplate(UINT id) {
    DialogTemplate t;
    HRSRC resource = FindResourceA(nullptr, MAKEINTRESOURCEA(id), MAKEINTRESOURCEA(5) /* RT_DIALOG */);
    if (!resource) return t;
    const BYTE* base = static_cast<const BYTE*>(LockResource(LoadResource(nullptr, resource)));
    TemplateReader r(base);
    t.extended = r.Read<WORD>() == 1 && r.Read<WORD>() == 0xFFFF;
    if (t.extended) {
        r.Read<DWORD>();  // help id
        t.exStyle = r.Read<DWORD>();
        t.style = r.Read<DWORD>();
    } else {
        r = TemplateReader(base);
        t.style = r.Read<DWORD>();
        t.exStyle = r.Read<DWORD>();
    }
    WORD count = r.Read<WORD>();
    t.x = r.Read<short>(), t.y = r.Read<short>(), t.cx = r.Read<short>(), t.cy = r.Read<short>();
    t.menu = r.Text();
    t.className = r.Text();
    t.title = r.Text();
    if (t.style & DS_SETFONT) {
        t.pointSize = r.Read<WORD>();
        if (t.extended) {
            t.weight = r.Read<WORD>();
            t.italic = r.Read<BYTE>();
            t.charset = r.Read<BYTE>();
        }
        t.face = r.Text();
    }
    for (WORD i = 0; i < count; ++i) {
        r.AlignToDword();
        ItemTemplate item = {};
        if (t.extended) {
            r.Read<DWORD>();  // help id
            item.exStyle = r.Read<DWORD>();
            item.style = r.Read<DWORD>();
        } else {
            item.style = r.Read<DWORD>();
            item.exStyle = r.Read<DWORD>();
        }
        item.x = r.Read<short>(), item.y = r.Read<short>(), item.cx = r.Read<short>(), item.cy = r.Read<short>();
        item.id = t.extended ? r.Read<DWORD>() : r.Read<WORD>();
        item.className = r.Text();
        item.title = r.Text();
        r.Skip(r.Read<WORD>());  // creation data
        t.items.push_back(item);
    }
    return t;
}

TEST(Dialogs, TemplatesHoldExactlyTheirControls) {
    const DWORD child = WS_CHILD | WS_VISIBLE;
    const struct {
        UINT id;
        bool extended;
        DWORD exStyle, style;
        short cx, cy;
        const char* title;
        BYTE charset;
        std::vector<ItemTemplate> items;
    } cases[] = {
        {IDD_MAIN, true, WS_EX_APPWINDOW, 0x90C800C0, 237, 61, "Tervalo", 1,
         {{WS_EX_STATICEDGE, child | BS_DEFPUSHBUTTON | WS_TABSTOP, 49, 40, 50, 14, IDOK, "#128", "OK"},
          {WS_EX_STATICEDGE, child | BS_PUSHBUTTON | WS_TABSTOP, 141, 40, 50, 14, IDCANCEL, "#128", "Cancel"},
          {0, child | SS_LEFT | WS_GROUP, 7, 7, 93, 8, 0xFFFFFFFF, "#130", "File or directory name:"},
          {0, child | WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL, 7, 18, 223, 14, IDC_FILENAME, "#129", ""}}},
        {IDD_ABOUT, false, 0, 0x80C800C0, 235, 55, "About Tervalo", 0,
         {{0, child | SS_ICON, 11, 17, 20, 20, 0xFFFF, "#130", "#128"},
          {0, child | SS_NOPREFIX | WS_GROUP, 40, 10, 119, 8, 0xFFFF, "#130", "Tervalo Version 1.0"},
          {0, child | WS_GROUP, 40, 25, 119, 8, 0xFFFF, "#130", "Sorts .dbr record files in place."},
          {0, child | BS_DEFPUSHBUTTON | WS_GROUP | WS_TABSTOP, 178, 7, 50, 14, IDOK, "#128", "OK"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        DialogTemplate t = LoadTemplate(c.id);
        EXPECT_EQ(t.extended, c.extended);
        EXPECT_EQ(t.exStyle, c.exStyle);
        EXPECT_EQ(t.style, c.style);
        EXPECT_EQ(t.x, 0);
        EXPECT_EQ(t.y, 0);
        EXPECT_EQ(t.cx, c.cx);
        EXPECT_EQ(t.cy, c.cy);
        EXPECT_EQ(t.menu, "");
        EXPECT_EQ(t.className, "");
        EXPECT_EQ(t.title, c.title);
        EXPECT_EQ(t.pointSize, 8);
        EXPECT_EQ(t.face, "MS Sans Serif");
        EXPECT_EQ(t.charset, c.charset);
        ASSERT_EQ(t.items.size(), c.items.size());
        for (size_t i = 0; i < t.items.size(); ++i) {
            const ItemTemplate& got = t.items[i];
            const ItemTemplate& want = c.items[i];
            SCOPED_TRACE(want.title);
            EXPECT_EQ(got.exStyle, want.exStyle);
            EXPECT_EQ(got.style, want.style) << std::hex << got.style;
            EXPECT_EQ(got.x, want.x);
            EXPECT_EQ(got.y, want.y);
            EXPECT_EQ(got.cx, want.cx);
            EXPECT_EQ(got.cy, want.cy);
            EXPECT_EQ(got.id, want.id);
            EXPECT_EQ(got.className, want.className);
            EXPECT_EQ(got.title, want.title);
        }
    }
}

TEST(Dialogs, ControlsSitWhereTheTemplatesPutThem) {
    struct Placement {
        int x, y, cx, cy;
        bool sizedByContent;  // an icon control takes the icon's size
    };
    struct Case {
        const char* name;
        std::function<std::unique_ptr<CDialog>()> make;
        int cx, cy;
        std::vector<Placement> controls;
    };
    const Case cases[] = {
        {"main dialog", [] { return std::unique_ptr<CDialog>(new CRecordToolDlg); }, 237, 61,
         {{49, 40, 50, 14, false}, {141, 40, 50, 14, false}, {7, 7, 93, 8, false}, {7, 18, 223, 14, false}}},
        {"About box", [] { return std::unique_ptr<CDialog>(new CAboutBox); }, 235, 55,
         {{11, 17, 20, 20, true}, {40, 10, 119, 8, false}, {40, 25, 119, 8, false}, {178, 7, 50, 14, false}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::unique_ptr<CDialog> dialog = c.make();
        ModalRun run(*dialog);
        HWND window = run.Window();
        ASSERT_NE(window, nullptr);
        RECT client;
        GetClientRect(window, &client);
        RECT whole = Units(window, 0, 0, c.cx, c.cy);
        EXPECT_EQ(client.right, whole.right);
        EXPECT_EQ(client.bottom, whole.bottom);
        std::vector<HWND> children = Children(window);
        ASSERT_EQ(children.size(), c.controls.size());
        for (size_t i = 0; i < children.size(); ++i) {
            const Placement& p = c.controls[i];
            RECT want = Units(window, p.x, p.y, p.cx, p.cy);
            RECT got = ChildRect(window, children[i]);
            EXPECT_EQ(got.left, want.left) << "control " << i;
            EXPECT_EQ(got.top, want.top) << "control " << i;
            if (!p.sizedByContent) {
                EXPECT_EQ(got.right, want.right) << "control " << i;
                EXPECT_EQ(got.bottom, want.bottom) << "control " << i;
            }
        }
    }
}

TEST(MainDialog, SystemMenuEndsWithTheAboutEntry) {
    CRecordToolDlg dialog;
    ModalRun run(dialog);
    HMENU menu = GetSystemMenu(run.Window(), FALSE);
    ASSERT_NE(menu, nullptr);
    int count = GetMenuItemCount(menu);
    ASSERT_GE(count, 2);
    EXPECT_TRUE(GetMenuState(menu, count - 2, MF_BYPOSITION) & MF_SEPARATOR);
    EXPECT_EQ(GetMenuItemID(menu, count - 1), static_cast<UINT>(IDM_ABOUT));
    char text[64] = "";
    GetMenuStringA(menu, count - 1, text, sizeof text, MF_BYPOSITION);
    EXPECT_STREQ(text, "&About Tervalo...");
    int aboutEntries = 0;
    for (int i = 0; i < count; ++i) aboutEntries += GetMenuItemID(menu, i) == IDM_ABOUT;
    EXPECT_EQ(aboutEntries, 1);
}

TEST(MainDialog, ShowsTheApplicationIconEverywhere) {
    HICON icon = LoadIconA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDI_APP));
    ASSERT_NE(icon, nullptr);
    CRecordToolDlg dialog;
    ModalRun run(dialog);
    const std::pair<const char*, std::function<LRESULT()>> queries[] = {
        {"big icon", [&] { return SendMessageA(run.Window(), WM_GETICON, ICON_BIG, 0); }},
        {"small icon", [&] { return SendMessageA(run.Window(), WM_GETICON, ICON_SMALL, 0); }},
        {"drag icon", [&] { return SendMessageA(run.Window(), WM_QUERYDRAGICON, 0, 0); }},
    };
    for (const auto& query : queries)
        EXPECT_EQ(reinterpret_cast<HICON>(query.second()), icon) << query.first;
}

TEST(MainDialog, OkButtonHasTheFocusAtTheStart) {
    CRecordToolDlg dialog;
    ModalRun run(dialog);
    GUITHREADINFO info = {};
    info.cbSize = sizeof info;
    ASSERT_TRUE(GetGUIThreadInfo(run.ThreadId(), &info));
    EXPECT_EQ(info.hwndFocus, GetDlgItem(run.Window(), IDOK));
}

// What the field holds reaches the member in the code page, byte for byte.
// Text that the code page cannot hold (pasted or dropped) is named with "?"
// and not searched: its "?" would match the other file here.
TEST(MainDialog, FieldTextReachesTheMemberByteForByte) {
    ScratchDir dir;
    dir.Put("Xbad.dbr", "b,2\r\na,1\r\n");
    std::wstring outside(dir.Path().begin(), dir.Path().end());  // an ASCII path
    outside += L"\\\u03A8bad.dbr";
    const std::string shown = dir / "?bad.dbr";
    const struct {
        std::string text;   // set in the code page...
        std::wstring wide;  // ...or as it is, when there is one
        std::vector<std::string> messages;
        std::string member;
    } cases[] = {
        {"", L"", {"Complete!"}, ""},
        {"plain", L"", {"Complete!"}, "plain"},
        {"C:\\K\xE4se\\*.dbr", L"", {"Complete!"}, "C:\\K\xE4se\\*.dbr"},
        {std::string(300, 'x') + ".dbr", L"", {"Complete!"}, std::string(300, 'x') + ".dbr"},
        {"", outside, {"Cannot open file:\r\n" + shown, "Complete!"}, shown},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.wide.empty() ? c.text.substr(0, 20) : "wide text");
        if (!c.wide.empty() && GetACP() == CP_UTF8) continue;  // UTF-8 holds it
        CRecordToolDlg dialog;
        {
            ModalRun run(dialog);
            if (!c.wide.empty()) SetDlgItemTextW(run.Window(), IDC_FILENAME, c.wide.c_str());
            std::vector<Shown> got = c.wide.empty() ? run.Run(c.text) : run.Run();
            ASSERT_EQ(got.size(), c.messages.size());
            for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i].text, c.messages[i]);
        }
        EXPECT_EQ(dialog.m_strFileName.str(), c.member);
        EXPECT_EQ(dialog.m_bFileNameExact, c.wide.empty());
    }
    EXPECT_EQ(ReadFileBytes(dir / "Xbad.dbr"), "b,2\r\na,1\r\n");
}

TEST(MainDialog, StartsWithTheMemberInTheField) {
    CRecordToolDlg dialog;
    dialog.m_strFileName = "C:\\given";
    ModalRun run(dialog);
    EXPECT_EQ(WindowText(GetDlgItem(run.Window(), IDC_FILENAME)), "C:\\given");
}

// The real file system, except that reading a file whose name ends in
// failName fails while fail is set, and that with failReplace a replace
// fails as one does that leaves the new file as the only copy.
class FlakyFileSystem : public ForwardingFileSystem {
public:
    std::string failName;
    std::atomic<bool> fail{true};
    bool failReplace = false;
    std::vector<HCURSOR> cursors;  // the dialog's cursor at each open
    DWORD dialogThread = 0;        // the dialog's thread, when it is not the run's

    bool Replace(const CString& from, const CString& to, FileError& error) override {
        if (!failReplace) return m_inner.Replace(from, to, error);
        error = FileError{ERROR_UNABLE_TO_MOVE_REPLACEMENT, "Unable to move the replacement file."};
        error.keepNew = true;
        return false;
    }

    std::unique_ptr<InputFile> OpenRead(const CString& path, FileError& error) override {
        cursors.push_back(DialogCursor());
        std::unique_ptr<InputFile> file = m_inner.OpenRead(path, error);
        const std::string& p = path.str();
        bool broken = fail && p.size() >= failName.size() &&
                      p.compare(p.size() - failName.size(), failName.size(), failName) == 0;
        if (file && broken) return std::unique_ptr<InputFile>(new BrokenInput(file->Facts()));
        return file;
    }

private:
    // The cursor is the input state's: the run's thread borrows the
    // dialog's for a moment (it needs a message queue for that).
    HCURSOR DialogCursor() const {
        MSG msg;
        PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
        bool attached = AttachThreadInput(GetCurrentThreadId(), dialogThread, TRUE);
        HCURSOR cursor = GetCursor();
        if (attached) AttachThreadInput(GetCurrentThreadId(), dialogThread, FALSE);
        return cursor;
    }

    class BrokenInput : public InputFile {
    public:
        explicit BrokenInput(const FileFacts& facts) : m_facts(facts) {}
        bool Read(void*, size_t, size_t& got, FileError& error) override {
            got = 0;
            error.code = ERROR_CRC;
            error.reason = "Data error (cyclic redundancy check).";
            return false;
        }
        const FileFacts& Facts() const override { return m_facts; }

    private:
        FileFacts m_facts;
    };
};

// A read error in the middle of a run leaves OnOK before "Complete!"; it is
// shown in a box that names the file and the reason, the dialog stays, and
// the next run goes through the whole tree again.
TEST(MainDialog, ReadErrorIsReportedAndTheNextRunIsWhole) {
    ScratchDir dir;
    dir.Put("a.dbr", "b,2\r\ntemplateName,t\r\na,1\r\n");
    dir.Put("sub\\deeper\\f.dbr", "y,1\r\nx,2\r\n");
    FlakyFileSystem fs;
    fs.failName = "\\f.dbr";
    CRecordToolDlg dialog(NULL, fs);
    ModalRun run(dialog);

    std::vector<Shown> shown = run.Run(dir.Path(), 3000);
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].text, "Error reading file:\r\n" + (dir / "sub\\deeper\\f.dbr") +
                                 "\r\nData error (cyclic redundancy check).");
    EXPECT_TRUE(shown[0].ownedBy);
    EXPECT_TRUE(IsWindowVisible(run.Window()));
    EXPECT_EQ(ReadFileBytes(dir / "a.dbr"), "templateName,t\r\na,1\r\nb,2\r\n");
    EXPECT_EQ(ReadFileBytes(dir / "sub\\deeper\\f.dbr"), "y,1\r\nx,2\r\n");

    fs.fail = false;
    shown = run.Run(dir.Path());
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].text, "Complete!");
    EXPECT_EQ(ReadFileBytes(dir / "sub\\deeper\\f.dbr"), "x,2\r\ny,1\r\n");
}

// A replace that fails half way shows the usual box; the copy that holds all
// of the new content stays beside the file.
TEST(MainDialog, CopyOfTheNewContentStays) {
    ScratchDir dir;
    dir.Put("a.dbr", "b,2\r\na,1\r\n");
    FlakyFileSystem fs;
    fs.fail = false;
    fs.failReplace = true;
    CRecordToolDlg dialog(NULL, fs);
    ModalRun run(dialog);
    std::vector<Shown> shown = run.Run(dir.Path(), 3000);
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[0].text, "Cannot write file:\r\n" + (dir / "a.dbr"));
    EXPECT_EQ(shown[1].text, "Complete!");
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA((dir / "a.dbr.*.tvtmp").c_str(), &data);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    FindClose(find);
    EXPECT_EQ(ReadFileBytes(dir / data.cFileName), "a,1\r\nb,2\r\n");
}

// The wait cursor shows while the run works, the normal one over each of its
// message boxes and after it.
TEST(MainDialog, WaitCursorOnlyWhileTheRunWorks) {
    ScratchDir dir;
    dir.Put("a.dbr", "b,2\r\ntemplateName,t\r\n");
    dir.Put("b.dbr", "no comma\r\n");
    FlakyFileSystem fs;
    fs.fail = false;
    CRecordToolDlg dialog(NULL, fs);
    ModalRun run(dialog);
    fs.dialogThread = run.ThreadId();
    // The dialog's thread shares its cursor with the test's.
    ASSERT_TRUE(AttachThreadInput(GetCurrentThreadId(), run.ThreadId(), TRUE));
    const HCURSOR wait = LoadCursorA(nullptr, IDC_WAIT);
    std::vector<HCURSOR> atBoxes;
    std::vector<Shown> shown = run.Run(dir.Path(), 15000, [&](HWND) { atBoxes.push_back(GetCursor()); });
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(fs.cursors, std::vector<HCURSOR>(2, wait));
    EXPECT_EQ(atBoxes, std::vector<HCURSOR>(2, LoadCursorA(nullptr, IDC_ARROW)));
    EXPECT_TRUE(WaitFor([&] { return IsWindowEnabled(run.Window()) && GetCursor() != wait; }, 3000));
    AttachThreadInput(GetCurrentThreadId(), run.ThreadId(), FALSE);
}

// An HDROP as the shell hands one over: a DROPFILES header, then each path
// ended by a NUL, then one more NUL; narrow or wide (Latin-1 text here).
HDROP MakeDrop(const std::vector<std::string>& paths, bool wide) {
    std::string list;
    for (const std::string& path : paths) {
        for (char ch : path) {
            list += ch;
            if (wide) list += '\0';
        }
        list.append(wide ? 2 : 1, '\0');
    }
    list.append(wide ? 2 : 1, '\0');
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, sizeof(DROPFILES) + list.size());
    auto* header = static_cast<DROPFILES*>(GlobalLock(memory));
    header->pFiles = sizeof(DROPFILES);
    header->fWide = wide;
    memcpy(header + 1, list.data(), list.size());
    GlobalUnlock(memory);
    return static_cast<HDROP>(memory);
}

TEST(MainDialog, DroppedPathReplacesTheFieldWithoutARun) {
    const std::string longPath = "C:\\" + std::string(300, 'd') + "\\x.dbr";
    const struct {
        const char* name;
        std::vector<std::string> paths;
        bool wide;
        std::string field;
    } cases[] = {
        {"one file", {"C:\\Content\\a.dbr"}, false, "C:\\Content\\a.dbr"},
        {"several items, wide: the first", {"C:\\K\xE4se\\Records", "C:\\b.dbr"}, true, "C:\\K\xE4se\\Records"},
        {"a path longer than MAX_PATH", {longPath}, false, longPath},
    };
    CRecordToolDlg dialog;
    dialog.m_strFileName = "typed before";
    ModalRun run(dialog);
    EXPECT_TRUE(GetWindowLongA(run.Window(), GWL_EXSTYLE) & WS_EX_ACCEPTFILES);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DWORD_PTR result = 0;
        // A run would keep the message waiting behind its boxes.
        ASSERT_TRUE(SendMessageTimeoutA(run.Window(), WM_DROPFILES, reinterpret_cast<WPARAM>(MakeDrop(c.paths, c.wide)),
                                        0, SMTO_NORMAL, 5000, &result));
        EXPECT_EQ(WindowText(GetDlgItem(run.Window(), IDC_FILENAME)), c.field);
        EXPECT_EQ(Dialogs(0, run.ThreadId()).size(), 1u) << "a box opened";
        EXPECT_EQ(dialog.m_strFileName.str(), "typed before") << "a run started";
    }
}

// ---- the framework -----------------------------------------------------------

TEST(Framework, ApplicationNameIsTheExecutableWithoutExtension) {
    const std::pair<const char*, const char*> cases[] = {
        {"C:\\Program Files\\Tervalo\\Tervalo.exe", "Tervalo"},
        {"C:\\dir.v2\\Tervalo", "Tervalo"},
        {"Z:/build/win64/app/Tervalo.EXE", "Tervalo"},
        {"C:\\x\\my.tool.exe", "my.tool"},
        {"C:\\x\\.hidden", ".hidden"},
        {"Tervalo.exe", "Tervalo"},
    };
    for (const auto& c : cases) EXPECT_EQ(AfxAppNameFromPath(c.first).str(), c.second) << c.first;
    EXPECT_STREQ(AfxGetAppName(), "tervalo-dialog-tests");
}

BOOL CALLBACK CollectName(HMODULE, LPCSTR, LPSTR name, LONG_PTR param) {
    reinterpret_cast<std::vector<UINT_PTR>*>(param)->push_back(reinterpret_cast<UINT_PTR>(name));
    return TRUE;
}

TEST(Framework, StringTableHoldsOnlyTheAboutEntry) {
    // Strings are stored in blocks of 16: the block of string 101 is 7.
    std::vector<UINT_PTR> blocks;
    EnumResourceNamesA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(6) /* RT_STRING */, CollectName,
                       reinterpret_cast<LONG_PTR>(&blocks));
    ASSERT_EQ(blocks, std::vector<UINT_PTR>{IDS_ABOUT / 16 + 1});
    for (UINT id = IDS_ABOUT / 16 * 16; id < IDS_ABOUT / 16 * 16 + 16; ++id) {
        CString text("stale");
        BOOL found = text.LoadString(id);
        if (id == IDS_ABOUT) {
            EXPECT_TRUE(found);
            EXPECT_EQ(text.str(), "&About Tervalo...");
        } else {
            EXPECT_FALSE(found) << id;
            EXPECT_TRUE(text.IsEmpty()) << id;
        }
    }
}

// Commands that no window handles go to the application object; control
// notifications are no commands.
class CountingApp : public CWinApp {
public:
    CountingApp() : CWinApp("Counting") {}
    int commands = 0;
    void OnCount() { ++commands; }
    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(CountingApp, CWinApp)
    ON_COMMAND(0x7001, OnCount)
END_MESSAGE_MAP()

TEST(Framework, UnhandledCommandsReachTheApplication) {
    CountingApp app;
    EXPECT_STREQ(AfxGetAppName(), "Counting");
    CAboutBox box;
    ModalRun run(box);
    const struct {
        WPARAM wParam;
        int count;
    } cases[] = {
        {MAKEWPARAM(0x7001, 0), 1},            // menu or button
        {MAKEWPARAM(0x7001, 1), 2},            // accelerator
        {MAKEWPARAM(0x7001, EN_CHANGE), 2},    // a notification
        {MAKEWPARAM(0x7002, 0), 2},            // nobody's command
    };
    for (const auto& c : cases) {
        SendMessageA(run.Window(), WM_COMMAND, c.wParam, 0);
        EXPECT_EQ(app.commands, c.count) << std::hex << c.wParam;
    }
    EXPECT_TRUE(IsWindow(run.Window()));
}

}  // namespace
