// The benchmark's output: one row per comparison, printed as soon as it is measured, and a
// closing summary line. Rows are plain values; printing goes to the given stream.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace korvex::bench {

enum class Verdict {
    Pass,     // target met
    Miss,     // target missed
    Wrong,    // ours (or the tool) gave a different answer: no figure counts
    Error,    // the comparison could not run to the end
    Skipped,  // not possible here (say, not root)
    Info,     // a figure without a target
};

struct Row {
    std::string operation;  // what of ours was measured, e.g. "hashFile raw 512 MiB"
    std::string ours;       // our figure with its unit, e.g. "0.301 s"
    std::string tool;       // the tool's figure, or "-"
    std::string ratio;      // ours / tool, or "-"
    std::string target;     // e.g. "<= 1.10"
    Verdict verdict = Verdict::Info;
    std::string note;  // the tool command, or why the row has no figure
};

// Median of the values (the mean of the middle two for an even count); 0 for none.
double median(std::vector<double> values);

// A time comparison: medians of ours and the tool's, their ratio against `target` (the largest
// acceptable ours / tool). `agree` false turns the verdict into Wrong.
Row ratioRow(const std::string& operation, double ours, double tool, double target, bool agree,
             const std::string& against);

// A figure against an absolute limit, e.g. "12.3 MiB" against "<= 32 MiB".
Row limitRow(const std::string& operation, const std::string& value, const std::string& target,
             bool met, const std::string& note = {});

// A row that has no figure: Skipped or Error with its reason.
Row noFigureRow(const std::string& operation, Verdict verdict, const std::string& reason);

const char* verdictText(Verdict verdict);

void printTableHeader(std::ostream& out);
void printRow(std::ostream& out, const Row& row);
// "summary: ..." from all rows; returns true when no target was missed and nothing failed.
bool printSummary(std::ostream& out, const std::vector<Row>& rows);

}  // namespace korvex::bench
