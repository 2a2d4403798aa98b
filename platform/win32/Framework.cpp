#include "Framework.h"

#include <commctrl.h>
#include <objbase.h>

#include <exception>
#include <new>
#include <vector>

#include "../CFileException.h"
#include "WideText.h"

namespace {

CWinApp* g_app = nullptr;

CString ModuleFileName() {
    std::vector<char> path(MAX_PATH);
    for (;;) {
        DWORD n = ::GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n < path.size()) return CString(path.data(), static_cast<int>(n));
        path.resize(path.size() * 2);
    }
}

// Reports an exception that a handler let through, in a box owned by the
// window that was handling message.
LRESULT ReportException(HWND hWnd, UINT message, const CString& text) {
    // A WM_PAINT that is not validated comes back at once, for ever.
    if (message == WM_PAINT) ::ValidateRect(hWnd, nullptr);
    ::MessageBoxA(hWnd, text, AfxGetAppName(), MB_OK | MB_ICONEXCLAMATION);
    return 0;
}

}  // namespace

CString AfxAppNameFromPath(const CString& path) {
    int slash = path.ReverseFind('\\');
    int other = path.ReverseFind('/');
    if (other > slash) slash = other;
    CString name = path.Mid(slash + 1);
    int dot = name.ReverseFind('.');
    return dot > 0 ? name.Left(dot) : name;
}

// ---- strings -------------------------------------------------------------

BOOL CString::LoadString(UINT id) {
    // A string resource holds at most 65535 characters; in a multibyte code
    // page each may take two bytes.
    std::vector<char> buffer(256);
    for (;;) {
        int n = ::LoadStringA(AfxGetResourceHandle(), id, buffer.data(), static_cast<int>(buffer.size()));
        if (n < static_cast<int>(buffer.size()) - 1 || buffer.size() > 2 * 65536) {
            m_text.assign(buffer.data(), n > 0 ? static_cast<size_t>(n) : 0);
            return n > 0;
        }
        buffer.resize(buffer.size() * 2);
    }
}

// ---- message maps --------------------------------------------------------

const AFX_MSGMAP* CCmdTarget::GetThisMessageMap() {
    static const AFX_MSGMAP_ENTRY entries[] = {{0, 0, nullptr}};
    static const AFX_MSGMAP map = {nullptr, entries};
    return &map;
}

const AFX_MSGMAP* CCmdTarget::GetMessageMap() const { return GetThisMessageMap(); }

BOOL CCmdTarget::OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) {
    UINT id = 0;
    if (message == WM_COMMAND) {
        // Commands come from a click (code 0), a menu (0) or an accelerator
        // (1); other control notifications are no commands.
        if (HIWORD(wParam) > 1) return FALSE;
        id = LOWORD(wParam);
    }
    for (const AFX_MSGMAP* map = GetMessageMap(); map;
         map = map->pfnGetBaseMap ? map->pfnGetBaseMap() : nullptr) {
        for (const AFX_MSGMAP_ENTRY* entry = map->lpEntries; entry->nMessage != 0; ++entry) {
            if (entry->nMessage == message && entry->nID == id) {
                *result = entry->pfn(this, wParam, lParam);
                return TRUE;
            }
        }
    }
    return FALSE;
}

// ---- the application -----------------------------------------------------

CWinApp::CWinApp(LPCTSTR lpszAppName) {
    if (lpszAppName) {
        m_strAppName = lpszAppName;
        m_pszAppName = m_strAppName;
    }
    g_app = this;
}

CWinApp::~CWinApp() {
    if (g_app == this) g_app = nullptr;
}

CWinApp* AfxGetApp() { return g_app; }

LPCTSTR AfxGetAppName() {
    if (g_app && g_app->m_pszAppName) return g_app->m_pszAppName;
    static const CString name = AfxAppNameFromPath(ModuleFileName());
    return name;
}

HINSTANCE AfxGetResourceHandle() {
    if (g_app && g_app->m_hInstance) return g_app->m_hInstance;
    return ::GetModuleHandleA(nullptr);
}

int AfxWinMain(HINSTANCE hInstance, HINSTANCE, LPSTR, int) {
    CWinApp* app = AfxGetApp();
    if (!app) return -1;
    app->m_hInstance = hInstance;
    if (!app->m_pszAppName) {
        app->m_strAppName = AfxAppNameFromPath(ModuleFileName());
        app->m_pszAppName = app->m_strAppName;
    }
    // The dialogs' controls are the common controls' (version 6, with visual
    // styles, where the manifest asks for it): their classes are registered here.
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_STANDARD_CLASSES | ICC_WIN95_CLASSES};
    ::InitCommonControlsEx(&controls);
    // All of the program's windows are modal dialogs that live inside
    // InitInstance, so when it returns there is nothing left to run a
    // message loop for, whatever it returns.
    app->InitInstance();
    app->m_pMainWnd = nullptr;
    for (; app->m_nOleInits > 0; --app->m_nOleInits) ::CoUninitialize();
    return 0;
}

BOOL AfxOleInit() {
    CWinApp* app = AfxGetApp();
    if (!app || FAILED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return FALSE;
    ++app->m_nOleInits;
    return TRUE;
}

// ---- windows -------------------------------------------------------------

int CWnd::MessageBox(LPCTSTR lpszText, LPCTSTR lpszCaption, UINT nType) {
    if (!lpszCaption) lpszCaption = AfxGetAppName();
    return ::MessageBoxA(m_hWnd, lpszText, lpszCaption, nType);
}

BOOL CWnd::UpdateData(BOOL bSaveAndValidate) {
    CDataExchange dx(this, bSaveAndValidate);
    DoDataExchange(&dx);
    return TRUE;
}

LRESULT CWnd::Default() {
    return DefWindowProc(m_currentMsg.message, m_currentMsg.wParam, m_currentMsg.lParam);
}

LRESULT CWnd::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    LRESULT result = 0;
    if (OnMessage(message, wParam, lParam, &result)) return result;
    // Commands that the window has no handler for go to the application.
    if (message == WM_COMMAND && AfxGetApp() && AfxGetApp()->OnMessage(message, wParam, lParam, &result))
        return result;
    return DefWindowProc(message, wParam, lParam);
}

LRESULT CWnd::DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    if (m_pfnSuper) return ::CallWindowProcA(m_pfnSuper, m_hWnd, message, wParam, lParam);
    return ::DefWindowProcA(m_hWnd, message, wParam, lParam);
}

void CWnd::SubclassWindow(HWND hWnd) {
    m_hWnd = hWnd;
    ::SetWindowLongPtrA(hWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    m_pfnSuper = reinterpret_cast<WNDPROC>(
        ::SetWindowLongPtrA(hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&CWnd::AfxWndProc)));
}

LRESULT CALLBACK CWnd::AfxWndProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
    CWnd* wnd = reinterpret_cast<CWnd*>(::GetWindowLongPtrA(hWnd, GWLP_USERDATA));
    if (!wnd) return ::DefWindowProcA(hWnd, message, wParam, lParam);
    return CallWindowProc(wnd, message, wParam, lParam);
}

LRESULT CWnd::CallWindowProc(CWnd* wnd, UINT message, WPARAM wParam, LPARAM lParam) {
    HWND hWnd = wnd->m_hWnd;
    MSG outer = wnd->m_currentMsg;  // handlers may run modal loops: messages nest
    wnd->m_currentMsg = MSG{hWnd, message, wParam, lParam, 0, {0, 0}};
    LRESULT result = 0;
    try {
        result = wnd->WindowProc(message, wParam, lParam);
    } catch (...) {
        result = ReportException(hWnd, message, AfxExceptionMessage(std::current_exception()));
    }
    wnd->m_currentMsg = outer;
    if (message == WM_NCDESTROY) {
        // The window is gone: the object lets go of it.
        ::SetWindowLongPtrA(hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(wnd->m_pfnSuper));
        ::SetWindowLongPtrA(hWnd, GWLP_USERDATA, 0);
        wnd->m_pfnSuper = nullptr;
        wnd->m_hWnd = nullptr;
    }
    return result;
}

CString AfxExceptionMessage(const std::exception_ptr& e) {
    try {
        std::rethrow_exception(e);
    } catch (const CFileException& error) {
        return error.GetErrorMessage();
    } catch (const std::bad_alloc&) {
        return "Out of memory.";
    } catch (const std::exception& error) {
        return CString("The command failed:\r\n") + error.what();
    }
}

void DDX_Text(CDataExchange* pDX, int nIDC, CString& value, bool* exact) {
    HWND control = ::GetDlgItem(pDX->m_pDlgWnd->m_hWnd, nIDC);
    if (!pDX->m_bSaveAndValidate) {
        std::wstring wide;
        if (ToWide(value.str(), wide))
            ::SetWindowTextW(control, wide.c_str());
        else
            ::SetWindowTextA(control, value);
        return;
    }
    // The text as the control holds it, which may be more than the code
    // page can (pasted or dropped).
    int length = ::GetWindowTextLengthW(control);
    std::vector<wchar_t> text(static_cast<size_t>(length) + 1);
    int got = ::GetWindowTextW(control, text.data(), length + 1);
    std::string narrow;
    bool fits = ToNarrow(std::wstring(text.data(), got > 0 ? static_cast<size_t>(got) : 0), narrow);
    value = CString(std::move(narrow));
    if (exact) *exact = fits;
}

// ---- dialogs -------------------------------------------------------------

BEGIN_MESSAGE_MAP(CDialog, CWnd)
    ON_COMMAND(IDOK, OnOK)
    ON_COMMAND(IDCANCEL, OnCancel)
END_MESSAGE_MAP()

CDialog::CDialog(UINT nIDTemplate, CWnd* pParentWnd)
    : m_nIDTemplate(nIDTemplate), m_pParentWnd(pParentWnd) {}

INT_PTR CDialog::DoModal() {
    // Without a parent, a dialog is owned by the main window (when that is
    // another, open window), which stays disabled while the dialog is shown.
    HWND owner = m_pParentWnd ? m_pParentWnd->m_hWnd : nullptr;
    CWinApp* app = AfxGetApp();
    if (!owner && app && app->m_pMainWnd && app->m_pMainWnd != this) owner = app->m_pMainWnd->m_hWnd;
    // The dialog manager makes the controls as Unicode windows: an edit
    // control made for an ANSI dialog keeps its text in the code page, and
    // a character that does not fit there would be lost before anyone read
    // it (see DDX_Text).
    return ::DialogBoxParamW(AfxGetResourceHandle(), MAKEINTRESOURCEW(m_nIDTemplate), owner,
                             &CDialog::AfxDlgProc, reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK CDialog::AfxDlgProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
    // The dialog's messages come to AfxWndProc from WM_INITDIALOG on; the
    // dialog manager's own handling, which calls this procedure, is where
    // they end up when no handler takes them.
    if (message != WM_INITDIALOG) return FALSE;
    CDialog* dialog = reinterpret_cast<CDialog*>(lParam);
    dialog->SubclassWindow(hWnd);
    return CallWindowProc(dialog, message, wParam, lParam);
}

LRESULT CDialog::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) return OnInitDialog();
    return CWnd::WindowProc(message, wParam, lParam);
}

BOOL CDialog::OnInitDialog() {
    UpdateData(FALSE);
    return TRUE;
}

void CDialog::OnOK() {
    if (!UpdateData(TRUE)) return;
    EndDialog(IDOK);
}

void CDialog::OnCancel() { EndDialog(IDCANCEL); }

// ---- painting ------------------------------------------------------------

CPaintDC::CPaintDC(CWnd* pWnd) : m_hWnd(pWnd->m_hWnd), m_ps(), m_hDC(::BeginPaint(m_hWnd, &m_ps)) {}

CPaintDC::~CPaintDC() { ::EndPaint(m_hWnd, &m_ps); }
