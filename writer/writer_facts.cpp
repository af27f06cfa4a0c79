#include "writer/writer_facts.hpp"

namespace korvex {

DiskFacts& writerDiskFacts() {
    return DiskFacts::system();
}

}  // namespace korvex
