#include <iostream>

#include "CliMain.h"

int main(int argc, char** argv) {
    return TervaloCliMain(argc, argv, std::cout, std::cerr);
}
