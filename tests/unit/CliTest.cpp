// tervalo-cli's front end: arguments, output streams and exit statuses.
#include <gtest/gtest.h>

#include <sstream>

#include "../../console/CliMain.h"
#include "TestSupport.h"

namespace {

struct CliResult {
    int status;
    std::string out, err;
};

CliResult RunCli(std::vector<std::string> args) {
    args.insert(args.begin(), "tervalo-cli");
    std::vector<const char*> argv;
    for (const std::string& a : args) argv.push_back(a.c_str());
    std::ostringstream out, err;
    int status = TervaloCliMain(static_cast<int>(argv.size()), argv.data(), out, err);
    return {status, out.str(), err.str()};
}

TEST(Cli, UsageAndInformation) {
    const struct {
        std::vector<std::string> args;
        int status;
        std::string outStart, errStart;
    } cases[] = {
        {{}, 2, "", "tervalo-cli: no entry given\nusage: tervalo-cli"},
        {{"--bogus", "x"}, 2, "", "tervalo-cli: unknown option '--bogus'\nusage:"},
        {{"--version"}, 0, "tervalo-cli 1.0.0.1\n", ""},
        {{"--help"}, 0, "usage: tervalo-cli", ""},
        {{"--"}, 2, "", "tervalo-cli: no entry given"},
    };
    for (const auto& c : cases) {
        CliResult r = RunCli(c.args);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out.substr(0, c.outStart.size()), c.outStart);
        EXPECT_EQ(r.err.substr(0, c.errStart.size()), c.errStart);
    }
}

TEST(Cli, RunsEachEntryAndStopsAfterAFailure) {
    TempDir dir;
    dir.Write("one/a.dbr", "b,1,\na,1,\n");
    dir.Write("two/bad.dbr", "nocomma\n");
    dir.Write("three/c.dbr", "b,1,\na,1,\n");

    CliResult ok = RunCli({dir.Path("one"), dir.Path("missing")});
    EXPECT_EQ(ok.status, 0);
    EXPECT_EQ(ok.out, "Complete!\nComplete!\n");
    EXPECT_EQ(ok.err, "");
    EXPECT_EQ(dir.Read("one/a.dbr"), "a,1,\r\nb,1,\r\n");

    CliResult bad = RunCli({dir.Path("two"), dir.Path("three")});
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(bad.out, "Complete!\n");
    EXPECT_EQ(bad.err, "Error detected within file:\n" + dir.Path("two/bad.dbr") + "\n");
    EXPECT_EQ(dir.Read("three/c.dbr"), "b,1,\na,1,\n");
}

TEST(Cli, DashDashEndsOptions) {
    TempDir dir;
    dir.Write("-x.dbr", "b,1,\na,1,\n");
    CliResult r = RunCli({"--", dir.Path("-x.dbr")});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(dir.Read("-x.dbr"), "a,1,\r\nb,1,\r\n");
}

}  // namespace
