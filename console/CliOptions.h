// The options of one tervalo-cli run.
#pragma once

#include <string>

struct CliOptions {
    bool check = false;
    bool changedOnly = false;
    bool list = false;
    bool noSync = false;
    bool keepGoing = false;
    bool diff = false;
    bool github = false;  // --format=github
    bool literal = false;  // entries are names, never patterns
    enum class Color { Auto, Always, Never } color = Color::Auto;
    std::string stdinName = "<stdin>";
    bool stdinNameGiven = false;

    // Nothing is written to the files.
    bool Checking() const { return check || diff; }
    // Goes on after a failure.
    bool GoesOn() const { return Checking() || keepGoing; }
};
