// The benchmark's own side: each image operation run alone in a fresh process of this program
// ("kvi-bench --child MODE ARGS..."), so that it is timed exactly like a standard tool (the wall
// time of a whole process) and its peak memory is its own.
//
// A mode prints its results as "key=value" lines on standard output, always ending with
// "hwm_kib=N" (the process's peak resident memory, VmHWM); failures go to standard error with a
// non-zero exit status.
//
// Modes:
//   hash FILE                 ImageIO::hashFile            -> sha256
//   stream FILE               ImageIO::stream              -> expanded, sha256
//   inspect FILE              ImageIO::inspect             -> inspection (JSON), sha256
//   write FILE DEVICE JSON    ImageIO::writeAndVerify of FILE to DEVICE, JSON being the encoded
//                             Inspection    -> starting, checking, inspecting, writing, verifying
//                             (seconds: see PassClock), sha256,
//                             and writing_at, verifying_at, done_at (CLOCK_MONOTONIC seconds)
//   client-write USER WRITER FILE LOOP JSON
//                             as USER, WriterClient::write of FILE (USER's) through the test
//                             writer WRITER onto the loop device LOOP ("loopN") presented as a
//                             USB disk, raised by sudo -n -> the same, and starting (seconds)
#pragma once

#include <map>
#include <string>
#include <vector>

namespace korvex::bench {

// Runs one mode; returns the process exit status.
int runMeasuringMode(const std::vector<std::string>& arguments);

// Parses the "key=value" lines of a mode's output.
std::map<std::string, std::string> parseResults(const std::string& output);

}  // namespace korvex::bench
