// The file system services on POSIX systems: the backend's class and what
// its parts share. Searches follow the Windows rules that the program was
// made for (see PosixSearch.cpp); files are read, made and replaced in
// PosixFiles.cpp.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <string>

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

// A regular file open for reading.
class PosixInputFile : public InputFile {
public:
    PosixInputFile(UniqueFd fd, FileFacts facts) : m_fd(std::move(fd)), m_facts(std::move(facts)) {}
    bool Read(void* buffer, size_t size, size_t& got, FileError& error) override;
    const FileFacts& Facts() const override { return m_facts; }
    int Fd() const { return m_fd.Get(); }

private:
    UniqueFd m_fd;
    FileFacts m_facts;
};

// A file being written: a new one (path names it, for its removal on an
// interrupt), or one written in place (no path: never removed).
class PosixOutputFile : public OutputFile {
public:
    // made: the new file's status just after it was made (for a file
    // written in place: its status when opened).
    PosixOutputFile(UniqueFd fd, std::string path, const struct stat& made)
        : m_fd(std::move(fd)), m_path(std::move(path)), m_made(made) {}
    bool Write(const void* data, size_t size, FileError& error) override;
    bool StartWriteback(FileError& error) override;
    bool Flush(FileError& error) override;
    bool Truncate(FileError& error) override;
    bool Close(FileError& error) override;
    void RemoveOnInterrupt() noexcept override {
        if (!m_path.empty()) unlink(m_path.c_str());
    }
    int Fd() const { return m_fd.Get(); }
    const struct stat& Made() const { return m_made; }

private:
    UniqueFd m_fd;
    std::string m_path;
    struct stat m_made;
    off_t m_written = 0;
};

class PosixFileSystem : public FileSystem {
public:
    PosixFileSystem();
    std::unique_ptr<DirectoryListing> FindFirst(const CString& pattern, CString& root, FileError& error) override;
    std::unique_ptr<InputFile> OpenRead(const CString& path, FileError& error) override;
    bool Identify(const CString& path, FileFacts& facts, FileError& error) override;
    bool SetAttributes(const CString& path, const InputFile& file, DWORD attributes, FileFacts& facts,
                       FileError& error) override;
    std::unique_ptr<OutputFile> CreateExclusive(const CString& path, const FileFacts& like, FileError& error) override;
    bool Replace(const CString& from, const CString& to, FileError& error) override;
    bool Remove(const CString& path, FileError& error) override;
    unsigned long ProcessId() override {
        static const unsigned long pid = static_cast<unsigned long>(getpid());  // one system call, not one a file
        return pid;
    }
    bool CopyIdentity(const InputFile& from, const FileFacts& facts, OutputFile& to, FileError& error) override;
    std::unique_ptr<OutputFile> OpenInPlace(const CString& name, std::unique_ptr<InputFile>& read,
                                            const FileFacts& expected, FileError& error) override;
    bool FlushAll(const std::vector<OutputFile*>& files, FileError& error) override;
    bool FlushDirectoryOf(const CString& path, FileError& error) override;
    // PosixProcess.cpp
    bool ProcessRunning(unsigned long pid) override;
    bool Rename(const CString& from, const CString& to, FileError& error) override;
    size_t OpenFilesLeft() override;
    bool Concurrent() override { return true; }
};
