// The file system services on POSIX systems: the backend's class and what
// its parts share. Searches follow the Windows rules that the program was
// made for (see PosixSearch.cpp); files are read, made and replaced in
// PosixFiles.cpp.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include "../FileSystem.h"

FileError ErrorFrom(int code);

// What a status says of a file.
FileFacts FactsFrom(const struct stat& st);

// Owns an open descriptor.
class UniqueFd {
public:
    explicit UniqueFd(int fd = -1) : m_fd(fd) {}
    ~UniqueFd() { Reset(); }
    UniqueFd(UniqueFd&& other) noexcept : m_fd(other.Release()) {}
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    int Get() const { return m_fd; }
    void Reset(int fd = -1) {
        if (m_fd >= 0) close(m_fd);
        m_fd = fd;
    }
    int Release() {
        int fd = m_fd;
        m_fd = -1;
        return fd;
    }

private:
    int m_fd;
};

class PosixFileSystem : public FileSystem {
public:
    PosixFileSystem();
    std::unique_ptr<DirectoryListing> FindFirst(const CString& pattern, CString& root, FileError& error) override;
    std::unique_ptr<InputFile> OpenRead(const CString& path, FileError& error) override;
    bool Identify(const CString& path, FileFacts& facts, FileError& error) override;
    bool SetAttributes(const CString& path, DWORD attributes, FileFacts& facts, FileError& error) override;
    std::unique_ptr<OutputFile> CreateExclusive(const CString& path, const FileFacts& like, FileError& error) override;
    bool Replace(const CString& from, const CString& to, FileError& error) override;
    bool Remove(const CString& path, FileError& error) override;
    unsigned long ProcessId() override { return static_cast<unsigned long>(getpid()); }
};
