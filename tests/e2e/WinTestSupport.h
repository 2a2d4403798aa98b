// Helpers for tests that work Tervalo's windows the way a user does: find
// windows, read their texts, press keys, read and dismiss message boxes, and
// prepare record files on disk.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace e2e {

// Polls condition until it holds or timeoutMs have passed.
bool WaitFor(const std::function<bool()>& condition, int timeoutMs = 10000);

std::string WindowText(HWND window);  // WM_GETTEXT, also across processes
std::string ClassName(HWND window);
// The children of parent in z-order, which is the order of the template.
std::vector<HWND> Children(HWND parent);
// Visible top-level dialogs (class #32770) of a thread, or of a process when
// threadId is 0.
std::vector<HWND> Dialogs(DWORD processId, DWORD threadId = 0);
// The dialog of the process captioned caption, or null.
HWND FindDialog(DWORD processId, const std::string& caption);

// Keys through the system's input queue, to whatever window has the focus:
// virtual keys, and text as characters.
void PressKey(WORD vk, bool alt = false);
void TypeText(const std::string& text);
// Brings window to the foreground, so that keys go to it.
bool Activate(HWND window);

// A message box as the user sees it.
struct Shown {
    std::string caption;
    std::string text;
    bool ownedBy = false;  // owned by the window the caller named
    bool operator==(const Shown& o) const { return caption == o.caption && text == o.text; }
};

// Reads and dismisses (with its OK button) every message box that a dialog
// of the process shows, until one says "Complete!" or, when that does not
// come, until timeoutMs pass with no box open. mainDialog is the dialog that
// should own the boxes and is never taken for one. onBox, when given, sees
// each box before it is dismissed.
std::vector<Shown> CollectMessages(DWORD processId, HWND mainDialog, int timeoutMs = 15000,
                                   const std::function<void(HWND box)>& onBox = nullptr);

// Saves what the screen shows of window as a 24-bit BMP.
bool SaveWindowBitmap(HWND window, const std::string& path);

// Files.
std::string ReadFileBytes(const std::string& path);
bool WriteFileBytes(const std::string& path, const std::string& bytes);
// A fresh directory below the temporary folder, removed with its content on
// destruction.
class ScratchDir {
public:
    explicit ScratchDir(const std::string& under = "");
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& Path() const { return m_path; }
    std::string operator/(const std::string& relative) const;
    // Writes a file at the relative path, making the folders on the way.
    void Put(const std::string& relative, const std::string& bytes) const;

private:
    std::string m_path;
};

// Replaces every "%" in pattern with root.
std::string Expand(const std::string& pattern, const std::string& root);

// Printable form of text with CR and LF spelled out, for failure messages.
std::string Visible(const std::string& text);

}  // namespace e2e
