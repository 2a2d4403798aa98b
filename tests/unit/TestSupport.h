// Helpers for tests that work on real temporary directories.
#pragma once

#include <cctype>
#include <string>
#include <vector>

#include "../../platform/CString.h"
#include "../../sorting/RecordSorter.h"

// A record file out of order, and its normal form.
inline const std::string kUnsorted = "b,1,\r\na,1,\r\n";
inline const std::string kSorted = "a,1,\r\nb,1,\r\n";

// A fresh directory below the system's temporary directory, removed with
// everything in it when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // The absolute path of a name below the directory ("" for the directory
    // itself); '/' in name separates levels.
    std::string Path(const std::string& name = "") const;
    void Write(const std::string& name, const std::string& bytes) const;
    std::string Read(const std::string& name) const;
    bool Exists(const std::string& name) const;
    void MakeDir(const std::string& name) const;
    // Every file below the directory, as relative names with '/'.
    std::vector<std::string> Files() const;

private:
    std::string m_root;
};

// Records every message of a run.
class RecordingSink : public IMessageSink {
public:
    void ShowMessage(const CString& text, MessageKind kind) override {
        messages.push_back(text.str());
        kinds.push_back(kind);
    }
    void RecordFileDone(const CString& path, bool wasChanged) override {
        changed.push_back(wasChanged);
        done.push_back(path.str());
    }
    // A file of ours left on the disk: "<left KIND> RECORD", where KIND is
    // partial, complete, unplaced, placed or old, followed by ", interrupted"
    // and ", missing" where they apply.
    void FileLeft(const Leftover& left) override {
        static const char* const kNames[] = {"partial", "complete", "unplaced", "placed", "old"};
        messages.push_back(std::string("<left ") + kNames[static_cast<int>(left.kind)] +
                           (left.interrupted ? ", interrupted" : "") + (left.recordMissing ? ", missing" : "") +
                           "> " + left.record.str());
    }
    std::vector<std::string> messages;
    std::vector<MessageKind> kinds;
    std::vector<bool> changed;  // one entry per record file that passed
    std::vector<std::string> done;  // and its path
};

std::string Crlf(const std::vector<std::string>& lines);

// Names a parameterised test after its case's name field, with every
// character that a test name cannot hold turned into '_'.
struct NameFromCase {
    template <class Info>
    std::string operator()(const Info& info) const {
        std::string n;
        for (const char* p = info.param.name; *p; ++p)
            n += (isalnum(static_cast<unsigned char>(*p)) ? *p : '_');
        return n;
    }
};
