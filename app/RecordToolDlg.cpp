#include "RecordToolDlg.h"

#include "../resources/resource.h"
#include "AboutBox.h"

BEGIN_MESSAGE_MAP(CRecordToolDlg, CDialog)
    ON_WM_SYSCOMMAND()
    ON_WM_PAINT()
    ON_WM_QUERYDRAGICON()
END_MESSAGE_MAP()

CRecordToolDlg::CRecordToolDlg(CWnd* pParent, FileSystem& fs)
    : CDialog(IDD_MAIN, pParent),
      m_hIcon(::LoadIconA(AfxGetResourceHandle(), MAKEINTRESOURCEA(IDI_APP))),
      m_sink(*this),
      m_sorter(m_sink, fs) {}

void CRecordToolDlg::DoDataExchange(CDataExchange* pDX) {
    CDialog::DoDataExchange(pDX);
    DDX_Text(pDX, IDC_FILENAME, m_strFileName);
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
    return TRUE;
}

void CRecordToolDlg::OnOK() {
    UpdateData(TRUE);
    WalkPattern(m_strFileName);
    MessageBox(kCompleteMessage);
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
