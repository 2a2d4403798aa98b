#include "WinTestSupport.h"

#include <cstdio>

namespace e2e {

bool WaitFor(const std::function<bool()>& condition, int timeoutMs) {
    DWORD start = GetTickCount();
    for (;;) {
        if (condition()) return true;
        if (static_cast<int>(GetTickCount() - start) > timeoutMs) return false;
        Sleep(10);
    }
}

std::string WindowText(HWND window) {
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutA(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 5000, &length)) return "";
    std::string text(length + 1, '\0');
    DWORD_PTR got = 0;
    SendMessageTimeoutA(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(&text[0]), SMTO_ABORTIFHUNG,
                        5000, &got);
    text.resize(got);
    return text;
}

std::string ClassName(HWND window) {
    char name[256] = "";
    GetClassNameA(window, name, sizeof name);
    return name;
}

std::vector<HWND> Children(HWND parent) {
    std::vector<HWND> children;
    for (HWND child = GetWindow(parent, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
        children.push_back(child);
    return children;
}

namespace {
struct DialogQuery {
    DWORD processId;
    DWORD threadId;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectDialog(HWND window, LPARAM param) {
    auto* query = reinterpret_cast<DialogQuery*>(param);
    DWORD pid = 0;
    DWORD tid = GetWindowThreadProcessId(window, &pid);
    if (query->threadId ? tid == query->threadId : pid == query->processId) {
        if (IsWindowVisible(window) && ClassName(window) == "#32770") query->found.push_back(window);
    }
    return TRUE;
}
}  // namespace

std::vector<HWND> Dialogs(DWORD processId, DWORD threadId) {
    DialogQuery query{processId, threadId, {}};
    EnumWindows(CollectDialog, reinterpret_cast<LPARAM>(&query));
    return query.found;
}

HWND FindDialog(DWORD processId, const std::string& caption) {
    for (HWND dialog : Dialogs(processId))
        if (WindowText(dialog) == caption) return dialog;
    return nullptr;
}

namespace {
void Send(INPUT* inputs, UINT count) {
    SendInput(count, inputs, sizeof(INPUT));
    Sleep(20);
}

INPUT Key(WORD vk, WORD scan, DWORD flags) {
    INPUT input = {};
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = vk;
    input.ki.wScan = scan;
    input.ki.dwFlags = flags;
    return input;
}
}  // namespace

void PressKey(WORD vk, bool alt) {
    std::vector<INPUT> inputs;
    if (alt) inputs.push_back(Key(VK_MENU, 0, 0));
    inputs.push_back(Key(vk, 0, 0));
    inputs.push_back(Key(vk, 0, KEYEVENTF_KEYUP));
    if (alt) inputs.push_back(Key(VK_MENU, 0, KEYEVENTF_KEYUP));
    Send(inputs.data(), static_cast<UINT>(inputs.size()));
}

void TypeText(const std::string& text) {
    for (unsigned char ch : text) {
        INPUT inputs[2] = {Key(0, ch, KEYEVENTF_UNICODE), Key(0, ch, KEYEVENTF_UNICODE | KEYEVENTF_KEYUP)};
        Send(inputs, 2);
    }
}

bool Activate(HWND window) {
    SetForegroundWindow(window);
    return WaitFor([&] { return GetForegroundWindow() == window; }, 5000);
}

std::vector<Shown> CollectMessages(DWORD processId, HWND mainDialog, int timeoutMs,
                                   const std::function<void(HWND box)>& onBox) {
    std::vector<Shown> shown;
    for (;;) {
        HWND box = nullptr;
        WaitFor(
            [&] {
                for (HWND dialog : Dialogs(processId)) {
                    if (dialog == mainDialog || GetDlgItem(dialog, 1000)) continue;
                    if (GetDlgItem(dialog, 0xFFFF) && GetDlgItem(dialog, IDOK)) box = dialog;
                }
                return box != nullptr;
            },
            timeoutMs);
        if (!box) return shown;
        Shown message;
        message.caption = WindowText(box);
        message.text = WindowText(GetDlgItem(box, 0xFFFF));
        message.ownedBy = GetWindow(box, GW_OWNER) == mainDialog;
        shown.push_back(message);
        if (onBox) onBox(box);
        // A posted click: a sent one would wait for the box's own loop.
        PostMessageA(GetDlgItem(box, IDOK), BM_CLICK, 0, 0);
        WaitFor([&] { return !IsWindow(box) || !IsWindowVisible(box); }, timeoutMs);
        if (message.text == "Complete!") return shown;
    }
}

bool SaveWindowBitmap(HWND window, const std::string& path) {
    RECT rect;
    if (!GetWindowRect(window, &rect)) return false;
    int width = rect.right - rect.left, height = rect.bottom - rect.top;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = height;  // bottom-up, as the file stores it
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
    GdiFlush();
    DWORD rowBytes = ((static_cast<DWORD>(width) * 3 + 3) & ~3u);
    DWORD imageBytes = rowBytes * static_cast<DWORD>(height);
    BITMAPFILEHEADER file = {};
    file.bfType = 0x4D42;  // "BM"
    file.bfOffBits = sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER);
    file.bfSize = file.bfOffBits + imageBytes;
    std::string bytes(reinterpret_cast<const char*>(&file), sizeof file);
    bytes.append(reinterpret_cast<const char*>(&info.bmiHeader), sizeof(BITMAPINFOHEADER));
    bytes.append(static_cast<const char*>(bits), imageBytes);
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return WriteFileBytes(path, bytes);
}

std::string ReadFileBytes(const std::string& path) {
    std::string bytes;
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return "<missing>";
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) bytes.append(buffer, got);
    CloseHandle(file);
    return bytes;
}

bool WriteFileBytes(const std::string& path, const std::string& bytes) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    bool ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
              written == bytes.size();
    return CloseHandle(file) && ok;
}

namespace {
void RemoveTree(const std::string& path) {
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA((path + "\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::string name = data.cFileName;
            if (name == "." || name == "..") continue;
            std::string child = path + "\\" + name;
            SetFileAttributesA(child.c_str(), FILE_ATTRIBUTE_NORMAL);
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(child);
            else
                DeleteFileA(child.c_str());
        } while (FindNextFileA(find, &data));
        FindClose(find);
    }
    RemoveDirectoryA(path.c_str());
}
}  // namespace

ScratchDir::ScratchDir(const std::string& under) {
    static int counter = 0;
    std::string base = under;
    if (base.empty()) {
        char temp[MAX_PATH];
        GetTempPathA(MAX_PATH, temp);
        base = temp;
    }
    if (!base.empty() && base.back() == '\\') base.pop_back();
    m_path = base + "\\tervalo-e2e-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++counter);
    RemoveTree(m_path);
    CreateDirectoryA(m_path.c_str(), nullptr);
}

ScratchDir::~ScratchDir() { RemoveTree(m_path); }

std::string ScratchDir::operator/(const std::string& relative) const { return m_path + "\\" + relative; }

void ScratchDir::Put(const std::string& relative, const std::string& bytes) const {
    for (size_t at = relative.find('\\'); at != std::string::npos; at = relative.find('\\', at + 1))
        CreateDirectoryA((*this / relative.substr(0, at)).c_str(), nullptr);
    WriteFileBytes(*this / relative, bytes);
}

std::string Expand(const std::string& pattern, const std::string& root) {
    std::string out;
    for (char ch : pattern) {
        if (ch == '%')
            out += root;
        else
            out += ch;
    }
    return out;
}

std::string Visible(const std::string& text) {
    std::string out;
    for (char ch : text) {
        if (ch == '\r')
            out += "\\r";
        else if (ch == '\n')
            out += "\\n";
        else
            out += ch;
    }
    return out;
}

}  // namespace e2e
