#include "RecordToolApp.h"

#include "RecordToolDlg.h"

BEGIN_MESSAGE_MAP(CRecordToolApp, CWinApp)
    ON_COMMAND(ID_HELP, CWinApp::OnHelp)
END_MESSAGE_MAP()

// No name of its own: the application is named after its executable.
CRecordToolApp::CRecordToolApp() : CWinApp(NULL) {}

// The one application object.
CRecordToolApp theApp;

BOOL CRecordToolApp::InitInstance() {
    AfxEnableControlContainer();
    Enable3dControls();
    // Path completion in the dialog's field needs COM on this thread.
    AfxOleInit();

    CRecordToolDlg dlg;
    m_pMainWnd = &dlg;
    dlg.DoModal();

    // The dialog has closed: end the program rather than wait for messages.
    return FALSE;
}
