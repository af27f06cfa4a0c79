// korvex-imager-writer: performs one write for Korvex Imager. Runs as root; its one argument is
// the write request. See writer_main.hpp.
#include "writer/writer_facts.hpp"
#include "writer/writer_main.hpp"

int main(int argc, char** argv) {
    // Nothing may end the writer without its exit status: whatever escapes is a failure.
    try {
        return korvex::WriterMain::main(argc, argv, korvex::writerDiskFacts());
    } catch (...) {
        return 1;
    }
}
