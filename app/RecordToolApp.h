// The application object: shows the main dialog and ends the program when it
// closes.
#pragma once

#include "../platform/win32/Framework.h"

class CRecordToolApp : public CWinApp {
public:
    CRecordToolApp();
    ~CRecordToolApp() override = default;

    BOOL InitInstance() override;

    DECLARE_MESSAGE_MAP()
};
