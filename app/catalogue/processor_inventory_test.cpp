#include "app/catalogue/processor_inventory.hpp"

#include <gtest/gtest.h>

#include "tests/test_support.hpp"

namespace korvex {
namespace {

const ProcessorInventory kSmall(
    "Intel Core i5-1135G7\ti5-1135G7\nAMD Ryzen 7 6800H\t6800H\nAMD Ryzen 7 6800HS\t6800HS\n"
    "Intel N100\tN100\nIntel Core i3-N100 Lookalike\tN100-X\nIntel Celeron N4020\tN4020\n"
    "Alpha One\tA1\nAlpha Two\tA1\nSame Name\tS-9\nSame Name\tS 9\n");

std::string nameOf(const std::optional<ProcessorName>& p) {
    return p ? p->name : "(none)";
}

// Catches a malformed row kept, a good row lost, a line ended at CR LF, a non-UTF-8 file loaded.
TEST(ProcessorInventory, TableFormatAndLoading) {
    const std::vector<ProcessorName> expected = {{"Intel N100", "N100"}, {"Intel N100", "N100"},
                                                 {"Intel N100", "N100"}, {"  Padded  ", " N1 "},
                                                 {"Name", "Model"},      {"last", "line"}};
    EXPECT_EQ(ProcessorInventory("Intel N100\tN100\nIntel N100\t\tN100\n"
                                 "\tIntel N100\tN100\t\tignored\t\nno tab here\n\n\n"
                                 "  Padded  \t N1 \nonly\t\nName\tModel\nlast\tline")
                  .entries(),
              expected);
    EXPECT_EQ(ProcessorInventory("A\tB\r\nC\tD\r\n").entries(),
              (std::vector<ProcessorName>{{"A", "B\r\nC"}}));
    EXPECT_EQ(ProcessorInventory("A\tB\r\rC\tD\n\rE\tF").entries().size(), 2u);
    testing::TempDir dir;
    EXPECT_TRUE(ProcessorInventory::load(dir.path()).entries().empty());
    testing::writeFile(dir.file("processors.tsv"), "Intel N100\tN100\nBad \xC3\x28\tX\n");
    EXPECT_TRUE(ProcessorInventory::load(dir.path()).entries().empty());
    EXPECT_EQ(ProcessorInventory("Bad \xC3\x28\tX").entries().at(0).name, "Bad \uFFFD(");
}

// Catches a mark, separator or width variant keyed apart, a model found inside a longer one, an
// ambiguous text answered, a model used as a pattern.
TEST(ProcessorInventory, CanonicalNamesExactlyOneProcessor) {
    const std::string padded = "N4020 " + std::string(154, 'z');
    ASSERT_EQ(ProcessorInventory::normal(padded).size(), 159u);
    const std::pair<const char*, std::vector<std::string>> cases[] = {
        {"AMD Ryzen 7 6800H",
         {"amd ryzen 7 6800h", "Laptop with AMD Ryzen 7 6800H inside",
          "AMD Ryzen 7 6800H with Radeon Graphics"}},
        {"AMD Ryzen 7 6800HS", {"6800hs", "AMD Ryzen 7 6800HS", "a 6800HS b"}},
        {"Intel Celeron N4020",
         {"Intel(R) Celeron(R) N4020", padded + "z", std::string(10000, ' ') + "N4020"}},
        {"Intel Core i5-1135G7",
         {"11th Gen Intel(R) Core(TM) i5-1135G7 @ 2.40GHz", "Core i5 1135G7 laptop",
          "core I51135g7", "(i5-1135G7)", "ｉ５－１１３５Ｇ７", "i5\u22121135G7",
          "Intel® Core™ i5-1135G7", "i5\u2013\u00A01135G7"}},
        {"(none)",
         {"Core i5-11350G7", "Core xi5-1135G7", "Core i5-1135G7x", "Core i5--1135G7",
          "Core i5_1135G7", "A1", "board with A1 chip", "N4020 or 6800H", "", " -_ ",
          padded + "zz"}}};
    for (const auto& [name, texts] : cases)
        for (const std::string& text : texts)
            EXPECT_EQ(nameOf(kSmall.canonical(text)), name) << text.substr(0, 60);
    EXPECT_EQ(kSmall.canonical("the S-9 thing")->model, "S-9");  // the first of two rows
    EXPECT_EQ(nameOf(ProcessorInventory("Dot\tQ.Z\n").canonical("has QxZ here")), "(none)");
}

// Catches suggestions for one character, or not ordered by exact model, stored name, table order.
TEST(ProcessorInventory, SuggestionsOrderAndLimits) {
    const ProcessorInventory many(
        "Zeta\tQ1\nBeta\tQ2\nAlpha\tQ3\nQ\tQQ\nDelta\tQ4\nGamma\tQ5\nEpsilon\tQ6\nEta\tQ7\n");
    const std::tuple<const ProcessorInventory*, std::string, std::vector<std::string>> cases[] = {
        {&kSmall, "i", {}},
        {&kSmall, "-I-", {}},
        {&kSmall, std::string(161, 'N'), {}},
        {&many, "q", {}},
        {&many, "Q ", {}},
        {&many, "QQ", {"Q"}},
        {&kSmall, "N100", {"Intel N100", "Intel Core i3-N100 Lookalike"}},
        {&kSmall, "6800", {"AMD Ryzen 7 6800H", "AMD Ryzen 7 6800HS"}},
        {&kSmall, "a1", {"Alpha One", "Alpha Two"}},
        {&kSmall, "same", {"S-9", "S 9"}},
        {&many, "ta", {"Beta", "Delta", "Eta", "Zeta"}}};
    for (const auto& [table, key, expected] : cases) {
        std::vector<std::string> got;
        for (const auto& p : table->suggestions(key))
            got.push_back(key == "same" ? p.model : p.name);
        EXPECT_EQ(got, expected) << key;
    }
}

// Catches a shipped row that another shadows, typed as the maker or as the system names it.
TEST(ProcessorInventory, ShippedTableNamesEveryProcessorOnce) {
    const ProcessorInventory shipped = ProcessorInventory::load();
    ASSERT_GE(shipped.entries().size(), 300u);
    for (const ProcessorName& p : shipped.entries()) {
        std::string described = p.name + " 6-Core Processor";
        if (p.name.starts_with("Intel Core "))
            described = "12th Gen Intel(R) Core(TM) " + p.name.substr(11) + " @ 2.10GHz";
        else if (p.name.starts_with("Intel "))
            described = "Intel(R) " + p.name.substr(6) + " CPU @ 1.10GHz";
        EXPECT_EQ(nameOf(shipped.canonical(p.name)), p.name);
        EXPECT_EQ(nameOf(shipped.canonical(described)), p.name) << described;
    }
    EXPECT_EQ(nameOf(shipped.canonical("AMD Ryzen 7 6800HS Creator Edition")),
              "AMD Ryzen 7 6800HS");
    EXPECT_EQ(shipped.suggestions("N100").at(0).model, "N100");
}

}  // namespace
}  // namespace korvex
