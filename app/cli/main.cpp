// korvex-imager-cli: see cli.hpp.
#include <signal.h>
#include <unistd.h>

#include <iostream>

#include "app/cli/cli.hpp"

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    try {
        return korvex::runCli(argc, argv, korvex::CliServices::system(), STDIN_FILENO, std::cout,
                              std::cerr);
    } catch (...) {
        std::cerr << "Unexpected failure.\n";
        return korvex::kCliFailed;
    }
}
