// tervalo-corpus: writes the benchmark corpora.
//
//   tervalo-corpus tree DIR [--files N] [--seed S]
//       N record files (default 20000) over nested directories up to six
//       levels below DIR, plus a few files that are not record files.
//   tervalo-corpus big FILE [--lines N] [--seed S]
//       one record file of N lines (default 1000000).
//   tervalo-corpus rewrite [--durable] DIR
//       rewrites every file below DIR with its own bytes, through a new
//       file renamed over the old one (the floor for a safe rewrite);
//       durable, with one flush per batch before the renames.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "Corpus.h"

namespace {

int Usage() {
    std::fprintf(stderr,
                 "usage: tervalo-corpus tree DIR [--files N] [--seed S]\n"
                 "       tervalo-corpus big FILE [--lines N] [--seed S]\n"
                 "       tervalo-corpus rewrite [--durable] DIR\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return Usage();
    std::string mode = argv[1], target = argv[2];
    if (mode == "rewrite" && argc == 4 && target == "--durable") return RewriteTree(argv[3], true);
    if (mode == "rewrite") return argc == 3 ? RewriteTree(target, false) : Usage();
    long count = mode == "tree" ? 20000 : 1000000;
    uint64_t seed = kDefaultCorpusSeed;
    for (int i = 3; i < argc; ++i) {
        std::string opt = argv[i];
        if (i + 1 >= argc) return Usage();
        char* end = nullptr;
        unsigned long long v = std::strtoull(argv[++i], &end, 10);
        if (!end || *end) return Usage();
        if (opt == "--files" || opt == "--lines") {
            if (v < 1 || v > 100000000) return Usage();
            count = static_cast<long>(v);
        } else if (opt == "--seed") {
            seed = v;
        } else {
            return Usage();
        }
    }
    if (mode == "tree") return MakeTree(target, static_cast<int>(count), seed);
    if (mode == "big") return MakeBig(target, static_cast<int>(count), seed);
    return Usage();
}
