// The About box: the program's name and version and what it does.
#pragma once

#include "../platform/win32/Framework.h"

class CAboutBox : public CDialog {
public:
    CAboutBox();
    ~CAboutBox() override = default;

protected:
    void DoDataExchange(CDataExchange* pDX) override;

    DECLARE_MESSAGE_MAP()
};
