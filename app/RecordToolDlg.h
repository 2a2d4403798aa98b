// The main dialog: one field for a file name, directory name or wildcard
// pattern, OK to sort every record file it names, Cancel to quit.
#pragma once

#include "../platform/FileSystem.h"
#include "../platform/win32/Framework.h"
#include "../sorting/RecordSorter.h"

class CRecordToolDlg : public CDialog {
public:
    explicit CRecordToolDlg(CWnd* pParent = NULL, FileSystem& fs = GetRealFileSystem());
    ~CRecordToolDlg() override = default;

    // The run's steps, with their messages in this dialog's message boxes.
    BOOL WalkPattern(CString pattern) { return m_sorter.WalkPattern(pattern); }
    BOOL SortRecordFile(CString path) { return m_sorter.SortRecordFile(path); }

    CString m_strFileName;
    // The field's text fitted the code page exactly when it was last taken;
    // otherwise m_strFileName has "?" where it did not, and names nothing.
    bool m_bFileNameExact = true;

protected:
    HICON m_hIcon;

    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;
    // A run over the field's entry; the dialog stays open.
    void OnOK() override;

    void OnSysCommand(UINT nID, LPARAM lParam);
    void OnPaint();
    HCURSOR OnQueryDragIcon();
    void OnDropFiles(HDROP hDropInfo);

    DECLARE_MESSAGE_MAP()

private:
    // Shows the run's messages in boxes owned by the dialog.
    class DialogSink : public IMessageSink {
    public:
        explicit DialogSink(CWnd& owner) : m_owner(owner) {}
        // The normal cursor shows over the box, whatever showed before.
        void ShowMessage(const CString& text, MessageKind kind) override;

    private:
        CWnd& m_owner;
    };

    DialogSink m_sink;
    CRecordSorter m_sorter;
};
