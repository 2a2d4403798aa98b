// A file system held in memory, so that the microbenchmarks measure the
// reader and the sorter without the kernel. Only reading and replacing
// whole files is supported; with keepOriginals, replaced content is
// dropped so that every round sorts the same input.
#pragma once

#include <cstring>
#include <map>
#include <memory>
#include <string>

#include "FileSystem.h"

class MemoryFileSystem : public FileSystem {
public:
    explicit MemoryFileSystem(bool keepOriginals) : m_keepOriginals(keepOriginals) {}

    void Put(const std::string& path, std::string content) { m_files[path] = std::move(content); }
    const std::string& Get(const std::string& path) { return m_files[path]; }

    std::unique_ptr<FileSearch> FindFirst(const CString&, FindEntry&, CString&, FileError&) override { return nullptr; }

    std::unique_ptr<InputFile> OpenRead(const CString& path, FileError& error) override {
        auto it = m_files.find(path.str());
        if (it == m_files.end()) {
            error.code = 2;
            return nullptr;
        }
        return std::make_unique<Input>(it->second);
    }

    std::unique_ptr<ReplacementFile> CreateReplacement(const CString& path, FileError& error) override {
        auto it = m_files.find(path.str());
        if (it == m_files.end()) {
            error.code = 2;
            return nullptr;
        }
        return std::make_unique<Replacement>(*this, path.str());
    }

    BOOL SetFileAttributesA(const CString&, DWORD) override { return TRUE; }
    bool GetDirectoryId(const CString&, DirectoryId&) override { return false; }

private:
    class Input : public InputFile {
    public:
        explicit Input(const std::string& content) : m_content(content) {}
        bool Read(void* buffer, size_t size, size_t& got, FileError&) override {
            got = std::min(size, m_content.size() - m_pos);
            std::memcpy(buffer, m_content.data() + m_pos, got);
            m_pos += got;
            return true;
        }

    private:
        const std::string& m_content;
        size_t m_pos = 0;
    };

    class Replacement : public ReplacementFile {
    public:
        Replacement(MemoryFileSystem& fs, std::string path) : m_fs(fs), m_path(std::move(path)) {}
        bool Write(const void* data, size_t size, FileError&) override {
            m_content.append(static_cast<const char*>(data), size);
            return true;
        }
        bool Close(FileError&) override { return true; }
        bool Replace(FileError&) override {
            if (!m_fs.m_keepOriginals) m_fs.m_files[m_path] = std::move(m_content);
            return true;
        }

    private:
        MemoryFileSystem& m_fs;
        std::string m_path;
        std::string m_content;
    };

    bool m_keepOriginals;
    std::map<std::string, std::string> m_files;
};
