#include <signal.h>

#include <iostream>

#include "app/cli/cli.hpp"

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    return korvex::runCli(argc, argv, korvex::WriterClient::systemEnvironment(), std::cin,
                          std::cout, std::cerr);
}
