// A file system that hands every call on to another one: tests derive from
// it to watch or change what passes.
#pragma once

#include "../../platform/FileSystem.h"

class ForwardingFileSystem : public FileSystem {
public:
    explicit ForwardingFileSystem(FileSystem& inner = GetRealFileSystem()) : m_inner(inner) {}
    std::unique_ptr<DirectoryListing> FindFirst(const CString& pattern, CString& root, FileError& error) override {
        return m_inner.FindFirst(pattern, root, error);
    }
    std::unique_ptr<InputFile> OpenRead(const CString& path, FileError& error) override {
        return m_inner.OpenRead(path, error);
    }
    bool Identify(const CString& path, FileFacts& facts, FileError& error) override {
        return m_inner.Identify(path, facts, error);
    }
    bool SetAttributes(const CString& path, const InputFile& file, DWORD attributes, FileFacts& facts,
                       FileError& error) override {
        return m_inner.SetAttributes(path, file, attributes, facts, error);
    }
    std::unique_ptr<OutputFile> CreateExclusive(const CString& path, const FileFacts& like, FileError& error) override {
        return m_inner.CreateExclusive(path, like, error);
    }
    bool Replace(const CString& from, const CString& to, FileError& error) override {
        return m_inner.Replace(from, to, error);
    }
    bool Remove(const CString& path, FileError& error) override { return m_inner.Remove(path, error); }
    unsigned long ProcessId() override { return m_inner.ProcessId(); }
    bool CopyIdentity(const InputFile& from, const FileFacts& facts, OutputFile& to, FileError& error) override {
        return m_inner.CopyIdentity(from, facts, to, error);
    }
    std::unique_ptr<OutputFile> OpenInPlace(const CString& name, std::unique_ptr<InputFile>& read,
                                            const FileFacts& expected, FileError& error) override {
        return m_inner.OpenInPlace(name, read, expected, error);
    }
    bool FlushAll(const std::vector<OutputFile*>& files, FileError& error) override {
        return m_inner.FlushAll(files, error);
    }
    bool FlushDirectoryOf(const CString& path, FileError& error) override {
        return m_inner.FlushDirectoryOf(path, error);
    }
    bool ProcessRunning(unsigned long pid) override { return m_inner.ProcessRunning(pid); }
    bool Rename(const CString& from, const CString& to, FileError& error) override {
        return m_inner.Rename(from, to, error);
    }
    size_t OpenFilesLeft() override { return m_inner.OpenFilesLeft(); }
    bool Concurrent() override { return m_inner.Concurrent(); }

protected:
    FileSystem& m_inner;
};
