// The disk facts the writer program trusts. Defined once per program: the shipped writer's
// definition is the system's own source and nothing else.
#pragma once

#include "core/system/disk_facts.hpp"

namespace korvex {

DiskFacts& writerDiskFacts();

}  // namespace korvex
