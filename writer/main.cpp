// korvex-imager-writer: performs one write for Korvex Imager. Runs as root; its one argument is
// the write request. See writer_main.hpp.
#include "writer/writer_facts.hpp"
#include "writer/writer_main.hpp"

int main(int argc, char** argv) {
    return korvex::WriterMain::main(argc, argv, korvex::writerDiskFacts());
}
