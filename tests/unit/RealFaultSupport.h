// What the tests on real file systems share: the trees they make and check.
#pragma once

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "../../platform/PathMatch.h"
#include "FaultSupport.h"

namespace {

namespace fs = std::filesystem;

const std::string kMissing = "<missing>";
const std::string kDirectory = "<directory>";
const std::string kPipe = "<pipe>";

using Files = std::vector<std::pair<std::string, std::string>>;

// A message a run shows: its words and the file it names ("" for none).
struct Message {
    const char* words;
    std::string name;
};

// What is at name below dir now.
std::string State(const TempDir& dir, const std::string& name) {
    std::error_code ec;
    fs::file_status st = fs::symlink_status(fs::path(dir.Path(name)), ec);
    if (ec || !fs::exists(st)) return kMissing;
    if (fs::is_directory(st) || fs::is_directory(fs::status(fs::path(dir.Path(name)), ec))) return kDirectory;
    if (fs::is_fifo(st)) return kPipe;  // reading it would wait for a writer
    return dir.Read(name);
}

void MakeFiles(const TempDir& dir, const Files& files) {
    for (const auto& f : files) dir.Write(f.first, f.second);
}

std::vector<std::string> Expand(const TempDir& dir, const std::vector<Message>& messages) {
    std::vector<std::string> out;
    for (const Message& m : messages) out.push_back(m.words + (m.name.empty() ? std::string() : dir.Path(m.name)));
    return out;
}

// Every file is as expected, and no other file (no temporary one) is there.
// A name with a * stands for the one file whose name it matches (a file of
// ours, named with a process number).
void CheckFiles(const TempDir& dir, const Files& after, const std::string& label) {
    std::set<std::string> known;
    std::error_code ec;
    for (const auto& f : after) {
        std::string name = f.first;
        size_t star = name.find('*');
        if (star != std::string::npos) {
            size_t cut = name.rfind('/', star);
            std::string sub = cut == std::string::npos ? "" : name.substr(0, cut);
            std::string pattern = name.substr(cut == std::string::npos ? 0 : cut + 1);
            for (const auto& e : fs::directory_iterator(dir.Path(sub), ec))
                if (MatchesWildcard(pattern, e.path().filename().string()))
                    name = (sub.empty() ? "" : sub + "/") + e.path().filename().string();
        }
        known.insert(name);
        EXPECT_TRUE(State(dir, name) == f.second) << label << ": " << f.first;
    }
    // Links are not followed: some lead nowhere or in circles.
    for (auto it = fs::recursive_directory_iterator(dir.Path(), ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        if (it->is_directory(ec) && !it->is_symlink(ec)) continue;
        std::string name = it->path().lexically_relative(dir.Path()).generic_string();
        EXPECT_TRUE(known.count(name)) << label << ": stray entry " << name;
    }
}

}  // namespace
