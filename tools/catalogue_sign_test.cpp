#include <gtest/gtest.h>

#include <filesystem>

#include "core/base/shell_quote.hpp"
#include "tests/test_support.hpp"

namespace korvex {
namespace {

using testing::readFile;
using testing::writeFile;

// Catches a key overwritten, a signature the application refuses, and a refused catalogue signed.
TEST(CatalogueSignTool, MakesKeysSignsAndVerifiesButNeverWritesARefusedCatalogue) {
    testing::TempDir d;
    auto run = [&](const std::string& arguments) {  // in the test's folder
        return std::system(("cd " + shellQuote(d.path()) + " && " + shellQuote(KVI_CATALOGUE_SIGN) +
                            " " + arguments + " >/dev/null 2>&1")
                               .c_str());
    };
    ASSERT_EQ(run("keygen private.pem public.pem"), 0);
    EXPECT_NE(run("keygen private.pem other.pem"), 0);
    std::string key = readFile(d.file("public.pem"));
    for (std::size_t at; (at = key.find('\n')) != std::string::npos;) key.replace(at, 1, "\\n");
    writeFile(d.file("config.json"),
              R"({"url": "https://k.example/c.json", "publicKeys": {"key-1": ")" + key + "\"}}");
    std::string bad = readFile(KVI_SOURCE_DIR "/tools/dev-catalogue/catalogue.json");
    writeFile(d.file("catalogue.json"), bad);
    ASSERT_EQ(run("sign private.pem key-1 catalogue.json out.json"), 0);
    EXPECT_EQ(run("verify config.json out.json"), 0);
    EXPECT_NE(run("verify config.json catalogue.json"), 0);
    writeFile(d.file("bad.json"), bad.replace(bad.find("https://images"), 5, "http"));
    EXPECT_NE(run("sign private.pem key-1 bad.json bad-out.json"), 0);
    EXPECT_FALSE(std::filesystem::exists(d.file("bad-out.json")));
}

}  // namespace
}  // namespace korvex
