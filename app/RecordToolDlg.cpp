#include "RecordToolDlg.h"

#include <shlwapi.h>

#include <vector>

#include "../resources/resource.h"
#include "AboutBox.h"

BEGIN_MESSAGE_MAP(CRecordToolDlg, CDialog)
    ON_WM_SYSCOMMAND()
    ON_WM_PAINT()
    ON_WM_QUERYDRAGICON()
    ON_WM_DROPFILES()
END_MESSAGE_MAP()

CRecordToolDlg::CRecordToolDlg(CWnd* pParent, FileSystem& fs)
    : CDialog(IDD_MAIN, pParent),
      m_hIcon(::LoadIconA(AfxGetResourceHandle(), MAKEINTRESOURCEA(IDI_APP))),
      m_sink(*this),
      m_sorter(m_sink, fs) {}

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

    // Files and folders dropped on the dialog name the entry; typing in the
    // field offers the names of existing files and folders (where the thread
    // has COM; without it the field is a plain one).
    ::DragAcceptFiles(m_hWnd, TRUE);
    ::SHAutoComplete(::GetDlgItem(m_hWnd, IDC_FILENAME), SHACF_FILESYS_ONLY);
    return TRUE;
}

void CRecordToolDlg::OnOK() {
    UpdateData(TRUE);
    // The run blocks the dialog until it returns; the sink shows the normal
    // cursor over each of its message boxes.
    CWaitCursor wait;
    // An entry that the code page cannot hold is not searched: its "?"
    // would match other names.
    if (m_bFileNameExact)
        m_sorter.Run(m_strFileName);
    else
        m_sorter.RunUnnamable(m_strFileName);
}

// The first item dropped replaces the field's text; the run waits for OK.
// The name goes into the field as it is, whatever the code page holds.
void CRecordToolDlg::OnDropFiles(HDROP hDropInfo) {
    UINT length = ::DragQueryFileW(hDropInfo, 0, NULL, 0);
    if (length > 0) {
        std::vector<wchar_t> path(length + 1);
        ::DragQueryFileW(hDropInfo, 0, path.data(), length + 1);
        ::SetDlgItemTextW(m_hWnd, IDC_FILENAME, path.data());
    }
    ::DragFinish(hDropInfo);
}

void CRecordToolDlg::DialogSink::ShowMessage(const CString& text, MessageKind) {
    HCURSOR previous = ::SetCursor(::LoadCursorA(NULL, IDC_ARROW));
    m_owner.MessageBox(text, NULL, MB_OK);
    ::SetCursor(previous);
}

void CRecordToolDlg::OnSysCommand(UINT nID, LPARAM) {
    if ((nID & 0xFFF0) == IDM_ABOUT) {
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
