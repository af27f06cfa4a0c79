#include "app/catalogue/processor_inventory.hpp"

#include <gtest/gtest.h>

#include <cctype>

#include "tests/test_support.hpp"

namespace korvex {
namespace {

const ProcessorInventory kSmall(
    "Intel Core i5-1135G7\ti5-1135G7\n"
    "AMD Ryzen 7 6800H\t6800H\n"
    "AMD Ryzen 7 6800HS\t6800HS\n"
    "Intel N100\tN100\n"
    "Intel Core i3-N100 Lookalike\tN100-X\n"
    "Intel Celeron N4020\tN4020\n"
    "Alpha One\tA1\n"
    "Alpha Two\tA1\n"
    "Same Name\tS-9\n"
    "Same Name\tS 9\n");

std::string nameOf(const std::optional<ProcessorName>& p) {
    return p ? p->name : "(none)";
}

std::vector<std::string> names(const std::vector<ProcessorName>& list) {
    std::vector<std::string> out;
    for (const auto& p : list) out.push_back(p.name);
    return out;
}

TEST(ProcessorInventory, NormalFoldsMarksSeparatorsAndWidth) {
    EXPECT_EQ(ProcessorInventory::normal("Intel(R) Core(TM) i5-1135G7"), "INTELCOREI51135G7");
    // "™" is already the letters TM when the marks are removed.
    EXPECT_EQ(ProcessorInventory::normal("Intel® Core™ i5-1135G7"), "INTELCORETMI51135G7");
    EXPECT_EQ(ProcessorInventory::normal("ｉ５－１１３５Ｇ７"), "I51135G7");  // full width
    EXPECT_EQ(ProcessorInventory::normal("a_b\u2212c\u2013d-e \t\u3000f\u00A0g\u2028h"),
              "ABCDEFGH");
    EXPECT_EQ(ProcessorInventory::normal("core(tm) (r)x ® \u2122"), "COREXTM");
    // The marks go before the separators: a mark split by a blank stays.
    EXPECT_EQ(ProcessorInventory::normal("( R)"), "(R)");
    EXPECT_EQ(ProcessorInventory::normal("straße"), "STRASSE");
    EXPECT_EQ(ProcessorInventory::normal(""), "");
    EXPECT_EQ(ProcessorInventory::normal("\xFF\xFEn100"), "\uFFFD\uFFFDN100");
}

TEST(ProcessorInventory, TableFormat) {
    ProcessorInventory table(
        "Intel N100\tN100\n"
        "Intel N100\t\tN100\n"
        "\tIntel N100\tN100\t\tignored\t\n"
        "no tab here\n"
        "\n\n"
        "  Padded  \t N1 \n"
        "only\t\n"
        "Name\tModel\n"
        "last\tline");
    const std::vector<ProcessorName> expected = {{"Intel N100", "N100"}, {"Intel N100", "N100"},
                                                 {"Intel N100", "N100"}, {"  Padded  ", " N1 "},
                                                 {"Name", "Model"},      {"last", "line"}};
    EXPECT_EQ(table.entries(), expected);

    // A carriage return directly before a line feed makes one character: it ends no line.
    ProcessorInventory crlf("A\tB\r\nC\tD\r\n");
    ASSERT_EQ(crlf.entries().size(), 1u);
    EXPECT_EQ(crlf.entries()[0], (ProcessorName{"A", "B\r\nC"}));
    EXPECT_EQ(ProcessorInventory("A\tB\r\rC\tD\n\rE\tF").entries().size(), 2u);

    EXPECT_TRUE(ProcessorInventory("").entries().empty());
    EXPECT_TRUE(ProcessorInventory().entries().empty());
    // Copies share the table and answer alike.
    ProcessorInventory copy = kSmall;
    EXPECT_EQ(nameOf(copy.canonical("Laptop with i5 1135G7")), "Intel Core i5-1135G7");
    ProcessorInventory moved = std::move(copy);
    EXPECT_EQ(moved.entries().size(), kSmall.entries().size());
    EXPECT_TRUE(copy.entries().empty());  // NOLINT(bugprone-use-after-move): left empty, not broken
    EXPECT_TRUE(copy.suggestions("N100").empty());
}

TEST(ProcessorInventory, LoadReadsTheFolderAndRefusesUnreadableOrInvalidText) {
    testing::TempDir dir;
    EXPECT_TRUE(ProcessorInventory::load(dir.path()).entries().empty());
    testing::writeFile(dir.file("processors.tsv"), "Intel N100\tN100\n");
    EXPECT_EQ(ProcessorInventory::load(dir.path()).entries().size(), 1u);
    testing::writeFile(dir.file("processors.tsv"), "Intel N100\tN100\nBad \xC3\x28\tX\n");
    EXPECT_TRUE(ProcessorInventory::load(dir.path()).entries().empty());
    // Built from text, the same bytes are read with a replacement character.
    EXPECT_EQ(ProcessorInventory("Bad \xC3\x28\tX").entries().at(0).name, "Bad \uFFFD(");
}

TEST(ProcessorInventory, CanonicalExactThenPatternPass) {
    // Exact pass, on names and on models.
    EXPECT_EQ(nameOf(kSmall.canonical("amd ryzen 7 6800h")), "AMD Ryzen 7 6800H");
    EXPECT_EQ(nameOf(kSmall.canonical("6800hs")), "AMD Ryzen 7 6800HS");
    EXPECT_EQ(nameOf(kSmall.canonical("Intel(R) Celeron(R) N4020")), "Intel Celeron N4020");
    // Pattern pass on the text as given.
    EXPECT_EQ(nameOf(kSmall.canonical("Laptop with AMD Ryzen 7 6800H inside")),
              "AMD Ryzen 7 6800H");
    EXPECT_EQ(nameOf(kSmall.canonical("AMD Ryzen 7 6800H with Radeon Graphics")),
              "AMD Ryzen 7 6800H");
    EXPECT_EQ(nameOf(kSmall.canonical("11th Gen Intel(R) Core(TM) i5-1135G7 @ 2.40GHz")),
              "Intel Core i5-1135G7");
    EXPECT_EQ(nameOf(kSmall.canonical("Core i5 1135G7 laptop")), "Intel Core i5-1135G7");
    EXPECT_EQ(nameOf(kSmall.canonical("core I51135g7")), "Intel Core i5-1135G7");
    EXPECT_EQ(nameOf(kSmall.canonical("(i5-1135G7)")), "Intel Core i5-1135G7");
    // The guards refuse a letter or digit on either side, in either case.
    EXPECT_EQ(nameOf(kSmall.canonical("Core i5-11350G7")), "(none)");
    EXPECT_EQ(nameOf(kSmall.canonical("Core xi5-1135G7")), "(none)");
    EXPECT_EQ(nameOf(kSmall.canonical("Core i5-1135G7x")), "(none)");
    EXPECT_EQ(nameOf(kSmall.canonical("Core i5--1135G7")), "(none)");
    EXPECT_EQ(nameOf(kSmall.canonical("Core i5_1135G7")), "(none)");
    // "6800H" must not be found inside "6800HS"; the exact 6800HS entry answers instead.
    EXPECT_EQ(nameOf(kSmall.canonical("AMD Ryzen 7 6800HS")), "AMD Ryzen 7 6800HS");
    EXPECT_EQ(nameOf(kSmall.canonical("a 6800HS b")), "AMD Ryzen 7 6800HS");
    // Two names for one model: no answer, either pass.
    EXPECT_EQ(nameOf(kSmall.canonical("A1")), "(none)");
    EXPECT_EQ(nameOf(kSmall.canonical("board with A1 chip")), "(none)");
    // Two rows with the same name: the first row found answers.
    auto same = kSmall.canonical("the S-9 thing");
    ASSERT_TRUE(same);
    EXPECT_EQ(same->model, "S-9");
    // Two different processors named in one text: no answer.
    EXPECT_EQ(nameOf(kSmall.canonical("N4020 or 6800H")), "(none)");
    // Empty keys and keys of 161 or more characters.
    EXPECT_EQ(nameOf(kSmall.canonical("")), "(none)");
    EXPECT_EQ(nameOf(kSmall.canonical(" -_ ")), "(none)");
    std::string padded = "N4020 " + std::string(154, 'z');
    EXPECT_EQ(ProcessorInventory::normal(padded).size(), 159u);
    EXPECT_EQ(nameOf(kSmall.canonical(padded + "z")), "Intel Celeron N4020");
    EXPECT_EQ(nameOf(kSmall.canonical(padded + "zz")), "(none)");
    // Blanks do not count: a long text whose key is short still answers.
    EXPECT_EQ(nameOf(kSmall.canonical(std::string(10000, ' ') + "N4020")), "Intel Celeron N4020");
    EXPECT_EQ(nameOf(ProcessorInventory().canonical("N4020")), "(none)");
}

TEST(ProcessorInventory, ModelsMatchLiterallyExceptHyphens) {
    ProcessorInventory table("Dot\tA.B\nPlus\tC+\nBrackets\t[x]\nSlash\tE\\Q\n");
    EXPECT_EQ(nameOf(table.canonical("has A.B here")), "Dot");
    EXPECT_EQ(nameOf(table.canonical("has AxB here")), "(none)");
    EXPECT_EQ(nameOf(table.canonical("has C+ here")), "Plus");
    EXPECT_EQ(nameOf(table.canonical("has CC here")), "(none)");
    EXPECT_EQ(nameOf(table.canonical("has [x] here")), "Brackets");
    EXPECT_EQ(nameOf(table.canonical("has x here")), "(none)");
    EXPECT_EQ(nameOf(table.canonical("has E\\Q here")), "Slash");
    // Every other ASCII punctuation character stands for itself too.
    for (char c = 0x21; c < 0x7F; ++c) {
        if (std::isalnum(static_cast<unsigned char>(c)) || c == '-') continue;
        std::string model = std::string("Q") + c + "Z";
        ProcessorInventory one("Punct\t" + model + "\n");
        EXPECT_EQ(nameOf(one.canonical("has " + model + " here")), "Punct") << model;
        EXPECT_EQ(nameOf(one.canonical("has QxZ here")), "(none)") << model;
    }
}

TEST(ProcessorInventory, SuggestionsOrderAndLimits) {
    EXPECT_TRUE(kSmall.suggestions("i").empty());
    EXPECT_TRUE(kSmall.suggestions("-I-").empty());
    EXPECT_TRUE(kSmall.suggestions(std::string(161, 'N')).empty());
    // Exact model first, then by name as stored, then table order.
    EXPECT_EQ(names(kSmall.suggestions("N100")),
              (std::vector<std::string>{"Intel N100", "Intel Core i3-N100 Lookalike"}));
    EXPECT_EQ(names(kSmall.suggestions("6800")),
              (std::vector<std::string>{"AMD Ryzen 7 6800H", "AMD Ryzen 7 6800HS"}));
    EXPECT_EQ(names(kSmall.suggestions("a1")),
              (std::vector<std::string>{"Alpha One", "Alpha Two"}));
    EXPECT_EQ(kSmall.suggestions("same")[0].model, "S-9");
    EXPECT_EQ(kSmall.suggestions("same")[1].model, "S 9");

    ProcessorInventory many(
        "Zeta\tQ1\nBeta\tQ2\nAlpha\tQ3\nQ\tQQ\nDelta\tQ4\nGamma\tQ5\nEpsilon\tQ6\nEta\tQ7\n");
    EXPECT_EQ(names(many.suggestions("q")), std::vector<std::string>{});  // one character
    EXPECT_EQ(names(many.suggestions("QQ")), (std::vector<std::string>{"Q"}));
    // Plain text order of the stored names: upper case before lower case.
    EXPECT_EQ(names(many.suggestions("ta")),
              (std::vector<std::string>{"Beta", "Delta", "Eta", "Zeta"}));
    auto six = many.suggestions("Q ");
    EXPECT_TRUE(six.empty());  // "Q " normalises to one character
}

TEST(ProcessorInventory, ShippedTableNamesEveryProcessorOnce) {
    ProcessorInventory shipped = ProcessorInventory::load();
    ASSERT_GE(shipped.entries().size(), 300u);
    for (const ProcessorName& p : shipped.entries()) {
        // Typed as the maker writes it, as the model alone is not always unique, and as the
        // system describes it.
        EXPECT_EQ(nameOf(shipped.canonical(p.name)), p.name);
        std::string described = p.name;
        if (described.starts_with("Intel Core ")) {
            described = "12th Gen Intel(R) Core(TM) " + described.substr(11) + " @ 2.10GHz";
        } else if (described.starts_with("Intel ")) {
            described = "Intel(R) " + described.substr(6) + " CPU @ 1.10GHz";
        } else {
            described += " 6-Core Processor";
        }
        EXPECT_EQ(nameOf(shipped.canonical(described)), p.name) << described;
    }
    EXPECT_EQ(nameOf(shipped.canonical("Intel(R) Core(TM) i5-7600 CPU @ 3.50GHz")),
              "Intel Core i5-7600");
    EXPECT_EQ(nameOf(shipped.canonical("AMD Ryzen 5 7600 6-Core Processor")), "AMD Ryzen 5 7600");
    EXPECT_EQ(nameOf(shipped.canonical("AMD Ryzen 7 6800HS Creator Edition")),
              "AMD Ryzen 7 6800HS");
    EXPECT_EQ(nameOf(shipped.canonical("Intel(R) N100")), "Intel N100");
    auto n100 = shipped.suggestions("N100");
    ASSERT_FALSE(n100.empty());
    EXPECT_EQ(n100[0].model, "N100");
    EXPECT_LE(shipped.suggestions("Intel Core i").size(), 6u);
}

}  // namespace
}  // namespace korvex
