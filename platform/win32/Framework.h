// A small application framework over USER32: the application object and its
// start-up, windows whose messages reach handlers through message maps, modal
// dialogs on resource templates with data exchange, and paint contexts. It
// holds only what Tervalo's dialogs use.
#pragma once

#include "WindowsHeaders.h"
// CString::LoadString is the framework's own; the macro would rename it to
// LoadStringA here and not in the code that does not see <windows.h>.
#undef LoadString

#include "../CString.h"
#include "../Types.h"

#include <shellapi.h>

#include <exception>

// The framework's Help command.
#define ID_HELP 0xE146

class CCmdTarget;
class CWnd;
class CDataExchange;

// One row of a message map: a window message (for WM_COMMAND also the
// command id) and the function that unpacks its parameters and calls the
// handler. A row with nMessage 0 ends the table.
typedef LRESULT (*AFX_PMSG)(CCmdTarget* target, WPARAM wParam, LPARAM lParam);

struct AFX_MSGMAP_ENTRY {
    UINT nMessage;
    UINT nID;
    AFX_PMSG pfn;
};

// A class's table and the way to its base class's map.
struct AFX_MSGMAP {
    const AFX_MSGMAP* (*pfnGetBaseMap)();
    const AFX_MSGMAP_ENTRY* lpEntries;
};

// In the class: declares the map. In the source file: BEGIN_MESSAGE_MAP, one
// ON_xxx row per handler, END_MESSAGE_MAP. The rows are captureless lambdas
// that cast the target to the class and call the handler, so a handler with
// the wrong signature does not compile.
#define DECLARE_MESSAGE_MAP()                         \
protected:                                            \
    static const AFX_MSGMAP* GetThisMessageMap();     \
    const AFX_MSGMAP* GetMessageMap() const override;

#define BEGIN_MESSAGE_MAP(theClass, baseClass)                                            \
    const AFX_MSGMAP* theClass::GetMessageMap() const { return GetThisMessageMap(); }     \
    const AFX_MSGMAP* theClass::GetThisMessageMap() {                                     \
        using ThisClass [[maybe_unused]] = theClass;                                      \
        using TheBaseClass = baseClass;                                                   \
        static const AFX_MSGMAP_ENTRY entries[] = {

#define END_MESSAGE_MAP()                                                                 \
            {0, 0, nullptr}};                                                             \
        static const AFX_MSGMAP map = {&TheBaseClass::GetThisMessageMap, entries};       \
        return &map;                                                                      \
    }

#define ON_COMMAND(id, memberFxn)                                                         \
    {WM_COMMAND, static_cast<UINT>(id), [](CCmdTarget* t, WPARAM, LPARAM) -> LRESULT {    \
         static_cast<ThisClass*>(t)->memberFxn();                                         \
         return 0;                                                                        \
     }},

#define ON_WM_SYSCOMMAND()                                                                \
    {WM_SYSCOMMAND, 0, [](CCmdTarget* t, WPARAM w, LPARAM l) -> LRESULT {                 \
         static_cast<ThisClass*>(t)->OnSysCommand(static_cast<UINT>(w), l);               \
         return 0;                                                                        \
     }},

#define ON_WM_PAINT()                                                                     \
    {WM_PAINT, 0, [](CCmdTarget* t, WPARAM, LPARAM) -> LRESULT {                          \
         static_cast<ThisClass*>(t)->OnPaint();                                           \
         return 0;                                                                        \
     }},

#define ON_WM_QUERYDRAGICON()                                                             \
    {WM_QUERYDRAGICON, 0, [](CCmdTarget* t, WPARAM, LPARAM) -> LRESULT {                  \
         return reinterpret_cast<LRESULT>(static_cast<ThisClass*>(t)->OnQueryDragIcon()); \
     }},

#define ON_WM_DROPFILES()                                                                 \
    {WM_DROPFILES, 0, [](CCmdTarget* t, WPARAM w, LPARAM) -> LRESULT {                    \
         static_cast<ThisClass*>(t)->OnDropFiles(reinterpret_cast<HDROP>(w));             \
         return 0;                                                                        \
     }},

#define ON_WM_TIMER()                                                                     \
    {WM_TIMER, 0, [](CCmdTarget* t, WPARAM w, LPARAM) -> LRESULT {                        \
         static_cast<ThisClass*>(t)->OnTimer(static_cast<UINT_PTR>(w));                   \
         return 0;                                                                        \
     }},

// The hit-test code comes sign-extended: HTERROR is negative.
#define ON_WM_SETCURSOR()                                                                 \
    {WM_SETCURSOR, 0, [](CCmdTarget* t, WPARAM w, LPARAM l) -> LRESULT {                  \
         return static_cast<ThisClass*>(t)->OnSetCursor(                                  \
             reinterpret_cast<HWND>(w), static_cast<UINT>(static_cast<short>(LOWORD(l))), \
             HIWORD(l));                                                                  \
     }},

#define ON_WM_QUERYENDSESSION()                                                           \
    {WM_QUERYENDSESSION, 0, [](CCmdTarget* t, WPARAM, LPARAM) -> LRESULT {                \
         return static_cast<ThisClass*>(t)->OnQueryEndSession();                          \
     }},

#define ON_WM_ENDSESSION()                                                                \
    {WM_ENDSESSION, 0, [](CCmdTarget* t, WPARAM w, LPARAM) -> LRESULT {                   \
         static_cast<ThisClass*>(t)->OnEndSession(static_cast<BOOL>(w));                  \
         return 0;                                                                        \
     }},

// A message of the program's own (WM_APP and up): the handler takes
// wParam and lParam as they come.
#define ON_MESSAGE(message, memberFxn)                                                    \
    {message, 0, [](CCmdTarget* t, WPARAM w, LPARAM l) -> LRESULT {                       \
         return static_cast<ThisClass*>(t)->memberFxn(w, l);                              \
     }},

// Anything that handles messages or commands through a message map.
class CCmdTarget {
public:
    CCmdTarget() = default;
    CCmdTarget(const CCmdTarget&) = delete;
    CCmdTarget& operator=(const CCmdTarget&) = delete;
    virtual ~CCmdTarget() = default;

    // Looks for message (for WM_COMMAND: the command in wParam) in this
    // class's map, then in its base classes' maps, and calls the first
    // handler found. FALSE when no map has one.
    BOOL OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result);

protected:
    static const AFX_MSGMAP* GetThisMessageMap();
    virtual const AFX_MSGMAP* GetMessageMap() const;
};

class CWinApp : public CCmdTarget {
public:
    // NULL: the application is named after its executable file.
    explicit CWinApp(LPCTSTR lpszAppName = NULL);
    ~CWinApp() override;

    // The program's work. The framework ends the program when it returns.
    virtual BOOL InitInstance() { return FALSE; }

    // Once stood for loading the library that drew dialog controls in three
    // dimensions; every Windows since 95 draws them so itself.
    BOOL Enable3dControls() { return TRUE; }

    // Help for the command ID_HELP. Tervalo ships no help file, so there is
    // nothing to open.
    void OnHelp() {}

    LPCTSTR m_pszAppName = nullptr;
    HINSTANCE m_hInstance = nullptr;
    CWnd* m_pMainWnd = nullptr;

private:
    CString m_strAppName;
    int m_nOleInits = 0;  // successful AfxOleInit calls, undone when InitInstance returns
    friend int AfxWinMain(HINSTANCE, HINSTANCE, LPSTR, int);
    friend BOOL AfxOleInit();
};

// Lets dialogs hold embedded (OLE) controls. Tervalo's dialogs hold only the
// system's own controls, which need no container support.
inline void AfxEnableControlContainer() {}

// Initialises COM (a single-threaded apartment) on the application's thread,
// which the shell's services need (path completion in an edit control, for
// one). Released when InitInstance returns. FALSE when COM cannot be had.
BOOL AfxOleInit();

CWinApp* AfxGetApp();
// The application's name; the executable's name without extension when the
// program has no application object (as in tests).
LPCTSTR AfxGetAppName();
// The module that holds the dialog templates, strings and icons.
HINSTANCE AfxGetResourceHandle();
// The name of the executable at path, without directory and extension.
CString AfxAppNameFromPath(const CString& path);
// Start-up: calls the one application object's InitInstance.
int AfxWinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR lpCmdLine, int nCmdShow);

class CWnd : public CCmdTarget {
public:
    HWND m_hWnd = nullptr;

    // A box owned by this window; a NULL caption gives the application's name.
    int MessageBox(LPCTSTR lpszText, LPCTSTR lpszCaption = NULL, UINT nType = MB_OK);

    // TRUE: copies the controls' contents into the members; FALSE: the other
    // way round (see DoDataExchange).
    BOOL UpdateData(BOOL bSaveAndValidate = TRUE);

    LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) {
        return ::SendMessageA(m_hWnd, message, wParam, lParam);
    }
    HMENU GetSystemMenu(BOOL bRevert) const { return ::GetSystemMenu(m_hWnd, bRevert); }
    BOOL IsIconic() const { return ::IsIconic(m_hWnd); }
    void GetClientRect(LPRECT lpRect) const { ::GetClientRect(m_hWnd, lpRect); }

    // The system's handling of the message being handled now.
    LRESULT Default();

protected:
    // Exchanges data between the controls and the members that DDX_ calls name.
    virtual void DoDataExchange(CDataExchange*) {}

    // Routes a message through the message map; what no handler takes gets
    // default handling.
    virtual LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam);

    // Connects the object with hWnd: from now on the window's messages come
    // to WindowProc.
    void SubclassWindow(HWND hWnd);

    // The window procedure of every window with an object. A C++ exception
    // must not cross the system's frames: one that escapes a handler is
    // reported in a message box here, and the window goes on.
    static LRESULT CALLBACK AfxWndProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);
    static LRESULT CallWindowProc(CWnd* wnd, UINT message, WPARAM wParam, LPARAM lParam);

private:
    WNDPROC m_pfnSuper = nullptr;
    MSG m_currentMsg = {};
};

// The direction and the dialog of one data exchange.
class CDataExchange {
public:
    CDataExchange(CWnd* pDlgWnd, BOOL bSaveAndValidate)
        : m_bSaveAndValidate(bSaveAndValidate), m_pDlgWnd(pDlgWnd) {}
    BOOL m_bSaveAndValidate;  // TRUE: controls to members
    CWnd* m_pDlgWnd;
};

// Exchanges the text of control nIDC with value. Taken from the control, the
// text is put in the process code page exactly; where that cannot hold it,
// exact (when given) turns false and value has "?" for what does not fit.
void DDX_Text(CDataExchange* pDX, int nIDC, CString& value, bool* exact = nullptr);

// The text of the box that reports an exception which a handler, or a
// thread working for a window, let through: a file error's message, "Out of
// memory." or "The command failed:" with what it says. Any other exception
// is thrown on.
CString AfxExceptionMessage(const std::exception_ptr& e);

// A modal dialog on a dialog template of the resources.
class CDialog : public CWnd {
public:
    explicit CDialog(UINT nIDTemplate, CWnd* pParentWnd = NULL);

    // Shows the dialog and runs its modal loop on the caller's stack; returns
    // the result given to EndDialog, or -1 when the dialog could not be made.
    virtual INT_PTR DoModal();
    virtual BOOL OnInitDialog();
    void EndDialog(int nResult) { ::EndDialog(m_hWnd, nResult); }

protected:
    // IDOK (the OK button, Enter): takes over the controls' data and ends
    // the dialog. IDCANCEL (Cancel, Esc, the close box): ends it.
    virtual void OnOK();
    virtual void OnCancel();

    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;

    DECLARE_MESSAGE_MAP()

private:
    static INT_PTR CALLBACK AfxDlgProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);

    UINT m_nIDTemplate;
    CWnd* m_pParentWnd;
};

// BeginPaint and EndPaint around a WM_PAINT handler.
class CPaintDC {
public:
    explicit CPaintDC(CWnd* pWnd);
    ~CPaintDC();
    CPaintDC(const CPaintDC&) = delete;
    CPaintDC& operator=(const CPaintDC&) = delete;

    HDC GetSafeHdc() const { return m_hDC; }
    BOOL DrawIcon(int x, int y, HICON hIcon) { return ::DrawIcon(m_hDC, x, y, hIcon); }

private:
    HWND m_hWnd;
    PAINTSTRUCT m_ps;
    HDC m_hDC;
};
