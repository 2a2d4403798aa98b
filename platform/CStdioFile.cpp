#include "CStdioFile.h"

#include <cstring>

namespace {
constexpr size_t kBufferSize = 64 * 1024;
constexpr char kEndMark = 0x1A;
}  // namespace

CString CFileException::GetErrorMessage() const {
    CString words;
    switch (m_cause) {
    case readError: words = "Error reading file:\r\n"; break;
    case writeError: words = "Error writing file:\r\n"; break;
    default: words = "File error:\r\n"; break;
    }
    CString text = words + m_strFileName;
    if (!m_strReason.IsEmpty()) text += "\r\n" + m_strReason;
    return text;
}

CStdioFile::CStdioFile(FileSystem& fs) : m_fs(fs) {}

CStdioFile::~CStdioFile() { Close(); }

BOOL CStdioFile::Open(const CString& path, UINT flags, FileError* error) {
    FileError local;
    FileError& err = error ? *error : local;
    // New content for the file this object has just read keeps that read.
    std::unique_ptr<InputFile> read;
    if ((flags & modeWrite) && m_in && path == m_path) read = std::move(m_in);
    Close();
    m_path = path;
    m_pos = m_end = 0;
    m_atEnd = false;
    m_dataAfterEndMark = false;
    m_metEndMark = false;
    m_endedByCrLf = true;
    if (!m_buffer) m_buffer.reset(new char[kBufferSize]);
    if (flags & modeWrite) {
        if (!(flags & modeCreate)) return FALSE;  // only whole new content is written
        if (!read) read = m_fs.OpenRead(path, err);
        if (!read) return FALSE;
        m_out = Replacement::Create(m_fs, path, std::move(read), err);
        return m_out != nullptr;
    }
    m_in = m_fs.OpenRead(path, err);
    return m_in != nullptr;
}

void CStdioFile::Close() {
    m_out.reset();  // removes uncommitted new content
    m_in.reset();
    m_pos = m_end = 0;
}

void CStdioFile::Fail(CFileException::Cause cause, const FileError& error) {
    CString path = m_path;
    Close();
    throw CFileException(cause, path, error.code, error.reason);
}

bool CStdioFile::Fill() {
    if (m_atEnd || !m_in) return false;
    size_t got = 0;
    FileError error;
    if (!m_in->Read(m_buffer.get(), kBufferSize, got, error)) Fail(CFileException::readError, error);
    m_pos = 0;
    m_end = got;
    if (got == 0) m_atEnd = true;
    return got != 0;
}

BOOL CStdioFile::SkipByteOrderMark() {
    static const char kMark[3] = {'\xEF', '\xBB', '\xBF'};
    while (m_end - m_pos < 3 && !m_atEnd) {
        // Keep what is there and read more behind it.
        std::memmove(m_buffer.get(), m_buffer.get() + m_pos, m_end - m_pos);
        m_end -= m_pos;
        m_pos = 0;
        size_t got = 0;
        FileError error;
        if (!m_in->Read(m_buffer.get() + m_end, kBufferSize - m_end, got, error))
            Fail(CFileException::readError, error);
        if (got == 0) m_atEnd = true;
        m_end += got;
    }
    if (m_end - m_pos >= 3 && std::memcmp(m_buffer.get() + m_pos, kMark, 3) == 0) {
        m_pos += 3;
        return TRUE;
    }
    return FALSE;
}

BOOL CStdioFile::ReadString(CString& line) {
    std::string_view view;
    if (!ReadLine(view)) {
        line.Empty();
        return FALSE;
    }
    line.str().assign(view.data(), view.size());
    return TRUE;
}

BOOL CStdioFile::ReadLine(std::string_view& line) {
    // A line that lies whole in the buffer is handed out where it is; one
    // that crosses a refill, or ends at a Ctrl-Z (whose check refills the
    // buffer), is collected in m_line.
    m_line.clear();
    line = std::string_view();
    if (!m_in) return FALSE;
    bool collected = false;
    bool readAny = false;
    for (;;) {
        if (m_pos == m_end && !Fill()) break;
        const char* start = m_buffer.get() + m_pos;
        size_t avail = m_end - m_pos;
        const char* lf = static_cast<const char*>(std::memchr(start, '\n', avail));
        size_t span = lf ? static_cast<size_t>(lf - start) : avail;
        const char* mark = static_cast<const char*>(std::memchr(start, kEndMark, span));
        if (mark) {
            m_line.append(start, static_cast<size_t>(mark - start));
            collected = true;
            m_endedByCrLf = false;
            m_metEndMark = true;
            readAny = readAny || mark != start;
            m_pos += static_cast<size_t>(mark - start) + 1;
            // Input ends here. Look at what follows: only more marks may.
            for (;;) {
                while (m_pos < m_end) {
                    if (m_buffer[m_pos++] != kEndMark) m_dataAfterEndMark = true;
                }
                if (m_dataAfterEndMark || !Fill()) break;
            }
            m_atEnd = true;
            m_pos = m_end = 0;
            break;
        }
        readAny = true;
        if (lf) {
            m_pos += span + 1;
            if (!collected) {
                if (span > 0 && start[span - 1] == '\r')
                    --span;
                else
                    m_endedByCrLf = false;
                line = std::string_view(start, span);
                return TRUE;
            }
            m_line.append(start, span);
            if (!m_line.empty() && m_line.back() == '\r')
                m_line.pop_back();
            else
                m_endedByCrLf = false;
            line = m_line;
            return TRUE;
        }
        m_line.append(start, span);
        collected = true;
        m_pos = m_end;
    }
    line = m_line;
    if (readAny) m_endedByCrLf = false;  // a last line without a line break
    return readAny ? TRUE : FALSE;
}

void CStdioFile::Append(const char* data, size_t size) {
    while (size > 0) {
        if (m_end == kBufferSize) Flush();
        size_t room = kBufferSize - m_end;
        size_t n = size < room ? size : room;
        std::memcpy(m_buffer.get() + m_end, data, n);
        m_end += n;
        data += n;
        size -= n;
    }
}

void CStdioFile::Flush() {
    if (!m_out || m_end == 0) return;
    FileError error;
    if (!m_out->Write(m_buffer.get(), m_end, error)) Fail(CFileException::writeError, error);
    m_end = 0;
}

void CStdioFile::WriteString(const char* text) {
    WriteString(std::string_view(text ? text : ""));
}

void CStdioFile::WriteString(const CString& text) {
    WriteString(std::string_view(text.str()));
}

void CStdioFile::WriteString(std::string_view text) {
    if (!m_out) return;
    const char* p = text.data();
    size_t left = text.size();
    while (left > 0) {
        const char* lf = static_cast<const char*>(std::memchr(p, '\n', left));
        if (!lf) {
            Append(p, left);
            return;
        }
        size_t span = static_cast<size_t>(lf - p);
        Append(p, span);
        Append("\r\n", 2);
        p += span + 1;
        left -= span + 1;
    }
}

void CStdioFile::WriteBytes(std::string_view bytes) {
    if (m_out) Append(bytes.data(), bytes.size());
}

void CStdioFile::WriteLine(std::string_view text) {
    if (!m_out) return;
    WriteString(text);
    Append("\r\n", 2);
}

std::unique_ptr<Replacement> CStdioFile::Detach() {
    if (!m_out) return nullptr;
    Flush();
    m_out->Finish();
    m_pos = m_end = 0;
    return std::move(m_out);
}

BOOL CStdioFile::Commit(FileError* error) {
    CString path = m_path;
    std::unique_ptr<Replacement> out = Detach();
    if (!out) return FALSE;
    FileError local;
    FileError& err = error ? *error : local;
    Replacement::Result result = out->Commit(err);
    if (result == Replacement::Result::WriteFailed) throw CFileException(CFileException::writeError, path, err.code, err.reason);
    return result == Replacement::Result::Placed ? TRUE : FALSE;
}
