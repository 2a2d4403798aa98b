// Text files, read and written in text mode:
//  - reading: CR LF or a lone LF ends a line and is not part of it; a lone CR
//    stays in the line; a byte 0x1A (Ctrl-Z) ends the input.
//  - writing: every LF written becomes CR LF.
// The same code serves every backend; only the raw byte I/O differs.
// Read and write errors after a successful open throw CFileException.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "CFileException.h"
#include "FileSystem.h"
#include "Replacement.h"

class CFile {
public:
    enum OpenFlags : UINT {
        modeRead = 0x0000,
        modeWrite = 0x0001,
        modeCreate = 0x1000,
        typeText = 0x4000,
    };
};

class CStdioFile : public CFile {
public:
    explicit CStdioFile(FileSystem& fs = GetRealFileSystem());
    ~CStdioFile();
    CStdioFile(const CStdioFile&) = delete;
    CStdioFile& operator=(const CStdioFile&) = delete;

    // modeRead opens an existing file. modeCreate | modeWrite prepares new
    // content for an existing file: it is written beside the file and put in
    // its place only by Commit; until then the file keeps its old content.
    // Given the path that this object has open for reading, the new content
    // is for the file that was read: the read stays open until the commit,
    // which puts nothing in place if the name no longer leads to that file as
    // it was read. FALSE on failure, with the reason in error when given.
    BOOL Open(const CString& path, UINT flags, FileError* error = nullptr);
    // The facts of the file open for reading, taken at its open.
    const FileFacts& ReadFacts() const { return m_in->Facts(); }

    // Reading. After Open: consumes a UTF-8 byte-order mark at the start of
    // the file and tells whether there was one.
    BOOL SkipByteOrderMark();
    // The next line without its line break; FALSE at the end of the input
    // with nothing more read.
    BOOL ReadString(CString& line);
    // The same line as a view, without copying it. The view stays valid
    // until the next read, Open or Close.
    BOOL ReadLine(std::string_view& line);
    // TRUE once a Ctrl-Z ended the input while something other than further
    // Ctrl-Z bytes followed it: content that text mode would not show.
    BOOL HasDataAfterEndMark() const { return m_dataAfterEndMark; }
    // TRUE once a Ctrl-Z ended the input.
    BOOL MetEndMark() const { return m_metEndMark; }
    // TRUE while every line read so far was ended by CR LF and no Ctrl-Z
    // was met: the bytes read after the mark are then exactly the lines read,
    // each as WriteLine writes it.
    BOOL LinesEndedByCrLf() const { return m_endedByCrLf; }

    // Writing.
    void WriteString(const char* text);
    void WriteString(const CString& text);
    void WriteString(std::string_view text);
    // Writes text and a line break, as WriteString(text) and then
    // WriteString("\n") would.
    void WriteLine(std::string_view text);
    // Writes bytes as they are: an LF stays an LF.
    void WriteBytes(std::string_view bytes);
    // Writes out what is buffered, finishes the new content and puts it in
    // place of the file. I/O errors throw; FALSE when the file could not be
    // replaced (it then keeps its old content).
    BOOL Commit(FileError* error = nullptr);
    // Writes out what is buffered and hands over the finished new content,
    // to be committed later (with others, after one flush). I/O errors throw.
    std::unique_ptr<Replacement> Detach();

    // Ends reading, or abandons new content that was not committed.
    void Close();

private:
    bool Fill();
    void Append(const char* data, size_t size);
    void Flush();
    [[noreturn]] void Fail(CFileException::Cause cause, const FileError& error);

    FileSystem& m_fs;
    CString m_path;
    std::unique_ptr<InputFile> m_in;
    std::unique_ptr<Replacement> m_out;
    // One buffer for reading and writing, allocated once per object and not
    // cleared: only the bytes between m_pos and m_end mean anything.
    std::unique_ptr<char[]> m_buffer;
    // A line that does not lie whole in the buffer is put together here.
    std::string m_line;
    size_t m_pos = 0;
    size_t m_end = 0;
    bool m_atEnd = false;
    bool m_dataAfterEndMark = false;
    bool m_metEndMark = false;
    bool m_endedByCrLf = true;
};
