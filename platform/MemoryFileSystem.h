// A file system held in memory, so that the sorter can work on bytes that
// are no file (standard input, a diff, a merge), and the microbenchmarks and
// the fuzz target drive the reader and the sorter without the kernel. Only reading
// and replacing whole files is supported (nothing is written in place, and
// flushes have nothing to do); with keepOriginals, replaced content is
// dropped so that every round sorts the same input. Reads give at most chunk
// bytes each.
#pragma once

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <string>

#include "FileSystem.h"

class MemoryFileSystem : public FileSystem {
public:
    explicit MemoryFileSystem(bool keepOriginals, size_t chunk = static_cast<size_t>(-1))
        : m_keepOriginals(keepOriginals), m_chunk(chunk) {}

    void Put(const std::string& path, std::string content) { m_files[path] = std::move(content); }
    const std::string& Get(const std::string& path) { return m_files[path]; }
    // New content made and neither put in place nor removed.
    size_t Pending() const { return m_new.size(); }

    // What the sorter asked for.
    int outputsCreated = 0;
    int replacements = 0;
    int attributeChanges = 0;

    std::unique_ptr<DirectoryListing> FindFirst(const CString&, CString&, FileError&) override { return nullptr; }

    std::unique_ptr<InputFile> OpenRead(const CString& path, FileError& error) override {
        FileFacts facts;
        if (!Identify(path, facts, error)) return nullptr;
        facts.target = path;
        return std::make_unique<Input>(m_files[path.str()], m_chunk, facts);
    }
    bool Identify(const CString& path, FileFacts& facts, FileError& error) override {
        auto it = m_files.find(path.str());
        if (it == m_files.end()) {
            error.code = 2;
            return false;
        }
        facts = FileFacts();
        facts.size = it->second.size();
        return true;
    }
    bool SetAttributes(const CString&, const InputFile&, DWORD, FileFacts&, FileError&) override {
        ++attributeChanges;
        return true;
    }
    std::unique_ptr<OutputFile> CreateExclusive(const CString& path, const FileFacts&, FileError&) override {
        ++outputsCreated;
        return std::make_unique<Output>(m_new[path.str()]);
    }
    bool Replace(const CString& from, const CString& to, FileError& error) override {
        auto it = m_new.find(from.str());
        if (it == m_new.end() || !m_files.count(to.str())) {
            error.code = 2;
            return false;
        }
        ++replacements;
        if (!m_keepOriginals) m_files[to.str()] = std::move(it->second);
        m_new.erase(it);
        return true;
    }
    bool Remove(const CString& path, FileError&) override { return m_new.erase(path.str()) != 0; }
    unsigned long ProcessId() override { return 1; }
    bool CopyIdentity(const InputFile&, const FileFacts&, OutputFile&, FileError&) override { return true; }
    std::unique_ptr<OutputFile> OpenInPlace(const CString&, std::unique_ptr<InputFile>&, const FileFacts&,
                                            FileError& error) override {
        error.code = 50;  // not supported
        return nullptr;
    }
    bool FlushAll(const std::vector<OutputFile*>&, FileError&) override { return true; }
    bool FlushDirectoryOf(const CString&, FileError&) override { return true; }

private:
    class Input : public InputFile {
    public:
        Input(const std::string& content, size_t chunk, FileFacts facts)
            : m_content(content), m_chunk(chunk), m_facts(std::move(facts)) {}
        bool Read(void* buffer, size_t size, size_t& got, FileError&) override {
            got = std::min({size, m_chunk, m_content.size() - m_pos});
            std::memcpy(buffer, m_content.data() + m_pos, got);
            m_pos += got;
            return true;
        }
        const FileFacts& Facts() const override { return m_facts; }

    private:
        const std::string& m_content;
        size_t m_chunk;
        FileFacts m_facts;
        size_t m_pos = 0;
    };

    class Output : public OutputFile {
    public:
        explicit Output(std::string& content) : m_content(content) {}
        bool Write(const void* data, size_t size, FileError& error) override {
            if (m_closed) {
                error.code = 6;  // a write after the close
                return false;
            }
            m_content.append(static_cast<const char*>(data), size);
            return true;
        }
        bool StartWriteback(FileError&) override { return true; }
        bool Flush(FileError&) override { return true; }
        bool Truncate(FileError&) override { return true; }
        bool Close(FileError&) override {
            m_closed = true;
            return true;
        }
        void RemoveOnInterrupt() noexcept override {}

    private:
        std::string& m_content;
        bool m_closed = false;
    };

    bool m_keepOriginals;
    size_t m_chunk;
    std::map<std::string, std::string> m_files;
    std::map<std::string, std::string> m_new;  // content made beside, by name
};
