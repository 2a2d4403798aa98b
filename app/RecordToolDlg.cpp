#include "RecordToolDlg.h"

#include <process.h>
#include <shlwapi.h>

#include <string>
#include <vector>

#include "../platform/Interrupts.h"
#include "../resources/resource.h"
#include "AboutBox.h"

namespace {
// Posted by the run's thread: a box to show (m_boxText), and, as its last
// act, its end.
const UINT WM_RUN_MESSAGE = WM_APP + 1;
const UINT WM_RUN_OVER = WM_APP + 2;
// The caption counts files a few times a second, once a run has lasted a
// moment: a short one leaves it as it is.
const UINT_PTR kProgressTimer = 1;
const UINT kProgressEveryMs = 250;
const DWORD kProgressAfterMs = 500;
// What Windows shows while a run goes, should a shutdown or log-off come.
const wchar_t kRunGoing[] = L"Rewriting record files. A shutdown stops the run, and what is finished is put in place.";
// How long a session that ends waits for the run: Windows allows about five
// seconds once the program has been told.
const DWORD kSessionEndMs = 4000;

// Ends window, a window of this thread, if it is a box owned by dialog.
BOOL CALLBACK EndBoxOf(HWND window, LPARAM dialog) {
    char name[16] = "";
    ::GetClassNameA(window, name, sizeof name);
    if (std::string(name) == "#32770" && ::GetWindow(window, GW_OWNER) == reinterpret_cast<HWND>(dialog))
        ::EndDialog(window, IDOK);
    return TRUE;
}
}  // namespace

BEGIN_MESSAGE_MAP(CRecordToolDlg, CDialog)
    ON_WM_SYSCOMMAND()
    ON_WM_PAINT()
    ON_WM_QUERYDRAGICON()
    ON_WM_DROPFILES()
    ON_WM_TIMER()
    ON_WM_SETCURSOR()
    ON_WM_QUERYENDSESSION()
    ON_WM_ENDSESSION()
    ON_MESSAGE(WM_RUN_MESSAGE, OnRunMessage)
    ON_MESSAGE(WM_RUN_OVER, OnRunOver)
END_MESSAGE_MAP()

CRecordToolDlg::CRecordToolDlg(CWnd* pParent, FileSystem& fs)
    : CDialog(IDD_MAIN, pParent),
      m_hIcon(::LoadIconA(AfxGetResourceHandle(), MAKEINTRESOURCEA(IDI_APP))),
      m_sink(*this),
      m_sorter(m_sink, fs),
      m_answered(::CreateEventA(NULL, FALSE, FALSE, NULL)),
      m_sessionEnds(::CreateEventA(NULL, TRUE, FALSE, NULL)) {}

// The dialog ends only after its run; should it not, the run's thread must
// not outlive what it works with.
CRecordToolDlg::~CRecordToolDlg() {
    if (m_thread) {
        m_stop = true;
        ::WaitForSingleObject(m_thread, INFINITE);
        ::CloseHandle(m_thread);
    }
    if (m_answered) ::CloseHandle(m_answered);
    if (m_sessionEnds) ::CloseHandle(m_sessionEnds);
}

void CRecordToolDlg::DoDataExchange(CDataExchange* pDX) {
    CDialog::DoDataExchange(pDX);
    DDX_Text(pDX, IDC_FILENAME, m_strFileName, &m_bFileNameExact);
}

BOOL CRecordToolDlg::OnInitDialog() {
    CDialog::OnInitDialog();

    HMENU sysMenu = GetSystemMenu(FALSE);
    if (sysMenu) {
        CString about;
        about.LoadString(IDS_ABOUT);
        if (!about.IsEmpty()) {
            ::AppendMenuA(sysMenu, MF_SEPARATOR, 0, NULL);
            ::AppendMenuA(sysMenu, MF_STRING, IDM_ABOUT, about);
        }
    }

    SendMessage(WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
    SendMessage(WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIcon));

    char caption[256] = "";
    ::GetWindowTextA(m_hWnd, caption, sizeof caption);
    m_caption = caption;

    // Files and folders dropped on the dialog name the entry; typing in the
    // field offers the names of existing files and folders (where the thread
    // has COM; without it the field is a plain one).
    ::DragAcceptFiles(m_hWnd, TRUE);
    ::SHAutoComplete(::GetDlgItem(m_hWnd, IDC_FILENAME), SHACF_FILESYS_ONLY);
    return TRUE;
}

void CRecordToolDlg::OnOK() {
    if (m_running) return;
    UpdateData(TRUE);
    BeginRun();
    m_thread = reinterpret_cast<HANDLE>(::_beginthreadex(NULL, 0, &CRecordToolDlg::RunThread, this, 0, NULL));
    // Without a thread of its own the run blocks the dialog, as it once did.
    if (!m_thread) {
        Work();
        FinishRun();
    }
}

unsigned __stdcall CRecordToolDlg::RunThread(void* dialog) {
    CRecordToolDlg* self = static_cast<CRecordToolDlg*>(dialog);
    self->Work();
    ::PostMessageA(self->m_hWnd, WM_RUN_OVER, 0, 0);
    return 0;
}

void CRecordToolDlg::Work() {
    try {
        // An entry that the code page cannot hold is not searched: its "?"
        // would match other names.
        if (m_bFileNameExact)
            m_sorter.Run(m_strFileName);
        else
            m_sorter.RunUnnamable(m_strFileName);
    } catch (...) {
        m_failure = std::current_exception();
    }
}

void CRecordToolDlg::BeginRun() {
    m_running = true;
    m_stop = false;
    m_filesDone = 0;
    m_lastMessage.Empty();
    m_failure = nullptr;
    m_runStart = ::GetTickCount();
    m_shownCaption = m_caption;
    // The focus goes to Cancel, where Esc and the mouse still work; Cancel
    // does not become the default button, so that Enter does not press it.
    HWND focus = ::GetFocus();
    m_focusBefore = ::IsChild(m_hWnd, focus) ? focus : ::GetDlgItem(m_hWnd, IDOK);
    HWND cancel = ::GetDlgItem(m_hWnd, IDCANCEL);
    SendMessage(WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(cancel), TRUE);
    ::SendMessageA(cancel, BM_SETSTYLE, BS_PUSHBUTTON, TRUE);
    EnableEntry(FALSE);
    ::SetTimer(m_hWnd, kProgressTimer, kProgressEveryMs, NULL);
    m_cursorBefore = ::SetCursor(::LoadCursorA(NULL, IDC_WAIT));
    // Work that a shutdown would cut: Windows is told while it goes.
    m_blockingShutdown = ::ShutdownBlockReasonCreate(m_hWnd, kRunGoing) != FALSE;
}

void CRecordToolDlg::EndRun() {
    ::KillTimer(m_hWnd, kProgressTimer);
    ::SetWindowTextA(m_hWnd, m_caption);
    EnableEntry(TRUE);
    SendMessage(WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(m_focusBefore), TRUE);
    ::SetCursor(m_cursorBefore ? m_cursorBefore : ::LoadCursorA(NULL, IDC_ARROW));
    if (m_blockingShutdown) ::ShutdownBlockReasonDestroy(m_hWnd);
    m_blockingShutdown = false;
    m_running = false;
}

void CRecordToolDlg::EnableEntry(BOOL enable) {
    ::EnableWindow(::GetDlgItem(m_hWnd, IDOK), enable);
    ::EnableWindow(::GetDlgItem(m_hWnd, IDC_FILENAME), enable);
    ::EnableMenuItem(GetSystemMenu(FALSE), IDM_ABOUT, MF_BYCOMMAND | (enable ? MF_ENABLED : MF_GRAYED));
}

LRESULT CRecordToolDlg::OnRunOver(WPARAM, LPARAM) {
    FinishRun();
    return 0;
}

void CRecordToolDlg::FinishRun() {
    if (!m_running) return;
    if (m_thread) {
        ::WaitForSingleObject(m_thread, INFINITE);  // it posted the end as its last act
        ::CloseHandle(m_thread);
        m_thread = nullptr;
    }
    EndRun();
    std::exception_ptr failure = m_failure;
    m_failure = nullptr;
    // The session's end waits for no box.
    if (failure && !m_sessionEnding)
        ShowRunMessage(AfxExceptionMessage(failure), MB_OK | MB_ICONEXCLAMATION);
    else if (!m_stop && !m_lastMessage.IsEmpty())
        ShowRunMessage(m_lastMessage, MB_OK);
    if (m_stop) EndDialog(IDCANCEL);
}

void CRecordToolDlg::OnCancel() {
    if (!m_running) {
        CDialog::OnCancel();
        return;
    }
    // Enter on the focused Cancel button is no Cancel.
    if (::GetKeyState(VK_RETURN) < 0) return;
    m_stop = true;
}

BOOL CRecordToolDlg::OnQueryEndSession() {
    if (!m_running) return static_cast<BOOL>(Default());
    m_stop = true;
    return FALSE;
}

void CRecordToolDlg::OnEndSession(BOOL bEnding) {
    if (!m_running) return;
    m_stop = true;
    // The session goes on: the run stops and the program ends, as after
    // Cancel. Otherwise the process may be ended as soon as this returns,
    // so the run is seen through here, within the time Windows allows. A
    // box of the run, which may lie lower on this thread's stack, is closed
    // (once this returns) and answers nothing: the run goes on without it.
    if (!bEnding) return;
    m_sessionEnding = true;
    ::SetEvent(m_sessionEnds);
    CloseRunBoxes();
    const DWORD start = ::GetTickCount();
    while (m_thread) {
        DWORD spent = ::GetTickCount() - start;
        if (spent >= kSessionEndMs ||
            ::MsgWaitForMultipleObjects(1, &m_thread, FALSE, kSessionEndMs - spent, QS_SENDMESSAGE) !=
                WAIT_OBJECT_0 + 1)
            break;
        MSG msg;
        ::PeekMessageA(&msg, NULL, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
    if (m_thread && ::WaitForSingleObject(m_thread, 0) == WAIT_TIMEOUT) {
        // Out of time: what is not in place yet is given up, its temporary
        // files removed (a copy beside a file being written into stays),
        // and the process ends before the run can do more.
        Interrupts::InterruptNow();
        ::TerminateProcess(::GetCurrentProcess(), 0);
    }
    FinishRun();
}

void CRecordToolDlg::CloseRunBoxes() {
    ::EnumThreadWindows(::GetCurrentThreadId(), &EndBoxOf, reinterpret_cast<LPARAM>(m_hWnd));
}

void CRecordToolDlg::OnTimer(UINT_PTR nIDEvent) {
    if (nIDEvent != kProgressTimer || !m_running) {
        Default();
        return;
    }
    if (::GetTickCount() - m_runStart < kProgressAfterMs) return;
    unsigned done = m_filesDone;
    CString caption = m_caption + " - " + CString(std::to_string(done)) + (done == 1 ? " file" : " files");
    if (caption == m_shownCaption) return;
    ::SetWindowTextA(m_hWnd, caption);
    m_shownCaption = caption;
}

// The wait cursor stays over the dialog while the run works; a box of the
// run (which disables the dialog) has the normal one.
BOOL CRecordToolDlg::OnSetCursor(HWND, UINT nHitTest, UINT) {
    if (!m_running || nHitTest == static_cast<UINT>(HTERROR)) return static_cast<BOOL>(Default());
    ::SetCursor(::LoadCursorA(NULL, IDC_WAIT));
    return TRUE;
}

LRESULT CRecordToolDlg::OnRunMessage(WPARAM, LPARAM) {
    if (!m_sessionEnding) ShowRunMessage(CString(m_boxText), MB_OK);
    ::SetEvent(m_answered);
    return 0;
}

void CRecordToolDlg::ShowRunMessage(const CString& text, UINT type) {
    HCURSOR previous = ::SetCursor(::LoadCursorA(NULL, IDC_ARROW));
    MessageBox(text, NULL, type);
    ::SetCursor(previous);
}

// The first item dropped replaces the field's text; the run waits for OK.
// The name goes into the field as it is, whatever the code page holds.
// During a run the field is not to change: a drop does nothing.
void CRecordToolDlg::OnDropFiles(HDROP hDropInfo) {
    UINT length = m_running ? 0 : ::DragQueryFileW(hDropInfo, 0, NULL, 0);
    if (length > 0) {
        std::vector<wchar_t> path(length + 1);
        ::DragQueryFileW(hDropInfo, 0, path.data(), length + 1);
        ::SetDlgItemTextW(m_hWnd, IDC_FILENAME, path.data());
    }
    ::DragFinish(hDropInfo);
}

void CRecordToolDlg::DialogSink::ShowMessage(const CString& text, MessageKind kind) {
    // "Complete!" ends the run: it is shown once the run is over, so that
    // the dialog is ready for the next run when its box is answered.
    if (kind == MessageKind::Complete && m_owner.m_running) {
        m_owner.m_lastMessage = text;
        return;
    }
    // Without a thread of its own, the run shows its boxes itself.
    if (!m_owner.m_hWnd || ::GetWindowThreadProcessId(m_owner.m_hWnd, NULL) == ::GetCurrentThreadId()) {
        m_owner.ShowRunMessage(text, MB_OK);
        return;
    }
    // The box belongs to the dialog's thread; the run's waits for the
    // answer, or for the end of the session, which answers none.
    if (m_owner.m_sessionEnding) return;
    m_owner.m_boxText = text;
    if (!::PostMessageA(m_owner.m_hWnd, WM_RUN_MESSAGE, 0, 0)) return;
    HANDLE events[] = {m_owner.m_answered, m_owner.m_sessionEnds};
    ::WaitForMultipleObjects(2, events, FALSE, INFINITE);
}

void CRecordToolDlg::OnSysCommand(UINT nID, LPARAM) {
    if ((nID & 0xFFF0) == IDM_ABOUT) {
        // Not during a run: the run's boxes would come over it.
        if (m_running) return;
        CAboutBox about;
        about.DoModal();
    } else {
        Default();
    }
}

// Minimised, the dialog shows its icon centred in the client area.
void CRecordToolDlg::OnPaint() {
    if (!IsIconic()) {
        Default();
        return;
    }
    CPaintDC dc(this);
    SendMessage(WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc.GetSafeHdc()), 0);
    int cxIcon = ::GetSystemMetrics(SM_CXICON);
    int cyIcon = ::GetSystemMetrics(SM_CYICON);
    RECT rect;
    GetClientRect(&rect);
    int x = (rect.right - rect.left - cxIcon + 1) / 2;
    int y = (rect.bottom - rect.top - cyIcon + 1) / 2;
    dc.DrawIcon(x, y, m_hIcon);
}

HCURSOR CRecordToolDlg::OnQueryDragIcon() { return static_cast<HCURSOR>(m_hIcon); }
