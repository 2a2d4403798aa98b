// The main dialog: one field for a file name, directory name or wildcard
// pattern, OK to sort every record file it names, Cancel to quit.
#pragma once

#include <atomic>
#include <exception>

#include "../platform/FileSystem.h"
#include "../platform/win32/Framework.h"
#include "../sorting/RecordSorter.h"

class CRecordToolDlg : public CDialog {
public:
    explicit CRecordToolDlg(CWnd* pParent = NULL, FileSystem& fs = GetRealFileSystem());
    ~CRecordToolDlg() override;

    // The run's steps, with their messages in this dialog's message boxes.
    BOOL WalkPattern(CString pattern) { return m_sorter.WalkPattern(pattern); }
    BOOL SortRecordFile(CString path) { return m_sorter.SortRecordFile(path); }

    // Not changed while a run goes: the run reads them on its own thread.
    CString m_strFileName;
    // The field's text fitted the code page exactly when it was last taken;
    // otherwise m_strFileName has "?" where it did not, and names nothing.
    bool m_bFileNameExact = true;

protected:
    HICON m_hIcon;

    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;
    // A run over the field's entry, on a thread of its own: the dialog
    // answers all the while and the caption counts the record files done.
    // OK, the field and About wait until the run is over; Enter and drops
    // are ignored meanwhile.
    void OnOK() override;
    // Cancel, Esc, the close box: during a run, the run stops between two
    // files, puts what it has finished in place, and the program ends.
    void OnCancel() override;

    void OnSysCommand(UINT nID, LPARAM lParam);
    void OnPaint();
    HCURSOR OnQueryDragIcon();
    void OnDropFiles(HDROP hDropInfo);
    void OnTimer(UINT_PTR nIDEvent);
    BOOL OnSetCursor(HWND hWnd, UINT nHitTest, UINT message);
    // A shutdown or log-off during a run: the system shows the reason that
    // the run gave it, and the run stops as after Cancel. Should the session
    // end all the same, a box of the run is closed unanswered, and what is
    // not in place within a few seconds is given up.
    BOOL OnQueryEndSession();
    void OnEndSession(BOOL bEnding);
    // From the run's thread: a message to show, and the end of the run.
    LRESULT OnRunMessage(WPARAM wParam, LPARAM lParam);
    LRESULT OnRunOver(WPARAM wParam, LPARAM lParam);

    DECLARE_MESSAGE_MAP()

private:
    // Shows the run's messages in boxes owned by the dialog, on its thread;
    // the run waits for each to be answered.
    class DialogSink : public IMessageSink {
    public:
        explicit DialogSink(CRecordToolDlg& owner) : m_owner(owner) {}
        void ShowMessage(const CString& text, MessageKind kind) override;
        void RecordFileDone(const CString&, bool) override { ++m_owner.m_filesDone; }
        bool StopRequested() override { return m_owner.m_stop; }

    private:
        CRecordToolDlg& m_owner;
    };

    static unsigned __stdcall RunThread(void* dialog);
    // The run itself, on whichever thread: what ends it early is kept for
    // the dialog's thread to report.
    void Work();
    // The dialog as a run finds it and as it leaves it.
    void BeginRun();
    void EndRun();
    void EnableEntry(BOOL enable);
    // Once the run's thread is done: the dialog back, then the run's last
    // box, then the end of the program if a stop was asked for.
    void FinishRun();
    // The normal cursor shows over the box, whatever showed before.
    void ShowRunMessage(const CString& text, UINT type);
    // Ends every box that this thread shows for the dialog.
    void CloseRunBoxes();

    DialogSink m_sink;
    CRecordSorter m_sorter;
    CString m_caption;  // the template's
    bool m_running = false;
    HANDLE m_thread = nullptr;  // the run's, until FinishRun
    std::atomic<bool> m_stop{false};
    std::atomic<unsigned> m_filesDone{0};
    // Left by the run for its end: "Complete!", or what it failed with.
    CString m_lastMessage;
    std::exception_ptr m_failure;
    DWORD m_runStart = 0;
    CString m_shownCaption;
    HWND m_focusBefore = nullptr;
    HCURSOR m_cursorBefore = nullptr;
    bool m_blockingShutdown = false;
    // A box of the run: its text, and its answer, which the run waits for
    // unless the session ends.
    CString m_boxText;
    HANDLE m_answered = nullptr;
    HANDLE m_sessionEnds = nullptr;
    std::atomic<bool> m_sessionEnding{false};
};
