#include "bench/bench_report.hpp"

#include <algorithm>
#include <cstdio>
#include <ostream>

namespace korvex::bench {
namespace {

std::string fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string padded(const std::string& text, size_t width) {
    return text.size() >= width ? text + " " : text + std::string(width - text.size(), ' ');
}

}  // namespace

double median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

Row ratioRow(const std::string& operation, double ours, double tool, double target, bool agree,
             const std::string& against) {
    Row row;
    row.operation = operation;
    row.ours = fixed(ours, 3) + " s";
    row.tool = fixed(tool, 3) + " s";
    double ratio = tool > 0 ? ours / tool : 0;
    row.ratio = fixed(ratio, 2);
    row.target = target > 0 ? "<= " + fixed(target, 2) : "-";
    row.note = against;
    if (!agree) {
        row.verdict = Verdict::Wrong;
        row.note = "results differ; " + against;
    } else if (target <= 0) {
        row.verdict = Verdict::Info;
    } else {
        // Compared as printed, so that a row never reads "1.10  <= 1.10  MISS".
        row.verdict = std::stod(row.ratio) <= target ? Verdict::Pass : Verdict::Miss;
    }
    return row;
}

Row limitRow(const std::string& operation, const std::string& value, const std::string& target,
             bool met, const std::string& note) {
    return Row{operation, value, "-", "-", target, met ? Verdict::Pass : Verdict::Miss, note};
}

Row noFigureRow(const std::string& operation, Verdict verdict, const std::string& reason) {
    return Row{operation, "-", "-", "-", "-", verdict, reason};
}

const char* verdictText(Verdict verdict) {
    switch (verdict) {
        case Verdict::Pass:
            return "PASS";
        case Verdict::Miss:
            return "MISS";
        case Verdict::Wrong:
            return "WRONG";
        case Verdict::Error:
            return "ERROR";
        case Verdict::Skipped:
            return "SKIP";
        case Verdict::Info:
            return "INFO";
    }
    return "?";
}

void printTableHeader(std::ostream& out) {
    printRow(out, Row{"operation", "ours", "tool", "ratio", "target", Verdict::Info, "against"});
}

void printRow(std::ostream& out, const Row& row) {
    bool header = row.operation == "operation";
    out << padded(row.operation, 36) << padded(row.ours, 11) << padded(row.tool, 10)
        << padded(row.ratio, 7) << padded(row.target, 22)
        << padded(header ? "result" : verdictText(row.verdict), 7) << row.note << std::endl;
}

bool printSummary(std::ostream& out, const std::vector<Row>& rows) {
    auto count = [&](Verdict v) {
        return std::count_if(rows.begin(), rows.end(),
                             [&](const Row& r) { return r.verdict == v; });
    };
    auto failed = count(Verdict::Miss) + count(Verdict::Wrong) + count(Verdict::Error);
    out << "summary: " << count(Verdict::Pass) << " PASS, " << count(Verdict::Miss) << " MISS, "
        << count(Verdict::Wrong) << " WRONG, " << count(Verdict::Error) << " ERROR, "
        << count(Verdict::Skipped) << " skipped, " << count(Verdict::Info) << " info"
        << (failed == 0 ? " - every measured target met" : " - targets not met") << std::endl;
    return failed == 0;
}

}  // namespace korvex::bench
