// Seeded record-file corpora for the benchmarks.
#pragma once

#include <cstdint>
#include <string>

constexpr uint64_t kDefaultCorpusSeed = 20261207;

// Writes files record files over nested directories (at most six deep) below
// root, with a few other files among them. 0 on success.
int MakeTree(const std::string& root, int files, uint64_t seed);

// The content of one record file of the given number of lines.
std::string BigFileContent(int lines, uint64_t seed);

// Writes BigFileContent to path. 0 on success.
int MakeBig(const std::string& path, int lines, uint64_t seed);

// Rewrites every file below root with its own bytes, each through a new file
// beside it that is renamed over it: the least that any safe rewrite of the
// tree must do, without looking at the content. Durable, the new files of
// each batch are put on the disk with one flush before they are renamed: the
// least that a rewrite that survives a power cut must do. 0 on success.
int RewriteTree(const std::string& root, bool durable);
