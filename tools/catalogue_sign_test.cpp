#include <gtest/gtest.h>

#include <filesystem>

#include "core/base/shell_quote.hpp"
#include "tests/test_support.hpp"

namespace korvex {
namespace {

using testing::TempDir;

const std::string kTool = KVI_CATALOGUE_SIGN;

int run(const std::string& arguments) {
    return std::system((kTool + " " + arguments + " >/dev/null 2>&1").c_str());
}

TEST(CatalogueSignTool, MakesKeysSignsAndVerifiesButNeverWritesARefusedCatalogue) {
    TempDir d;
    auto q = [&](const std::string& name) { return shellQuote(d.file(name)); };
    ASSERT_EQ(run("keygen " + q("private.pem") + " " + q("public.pem")), 0);
    EXPECT_NE(run("keygen " + q("private.pem") + " " + q("other.pem")), 0) << "never overwrites";
    std::string publicPem = testing::readFile(d.file("public.pem"));
    EXPECT_TRUE(publicPem.starts_with("-----BEGIN PUBLIC KEY-----\n"));

    testing::writeFile(
        d.file("catalogue.json"),
        testing::readFile(std::string(KVI_SOURCE_DIR) + "/tools/dev-catalogue/catalogue.json"));
    ASSERT_EQ(
        run("sign " + q("private.pem") + " key-1 " + q("catalogue.json") + " " + q("out.json")), 0);
    std::string config =
        "{\"url\":\"https://catalogue.korvex.example/c.json\",\"publicKeys\":{"
        "\"key-1\":\"" +
        publicPem.substr(0, publicPem.size() - 1) + "\"}}";
    for (std::size_t at; (at = config.find('\n')) != std::string::npos;)
        config.replace(at, 1, "\\n");
    testing::writeFile(d.file("config.json"), config);
    EXPECT_EQ(run("verify " + q("config.json") + " " + q("out.json")), 0);

    // A catalogue the application would refuse (an http download address) is not written.
    std::string bad = testing::readFile(d.file("catalogue.json"));
    bad.replace(bad.find("https://images"), 5, "http");
    testing::writeFile(d.file("bad.json"), bad);
    EXPECT_NE(run("sign " + q("private.pem") + " key-1 " + q("bad.json") + " " + q("bad-out.json")),
              0);
    EXPECT_FALSE(std::filesystem::exists(d.file("bad-out.json")));
    EXPECT_NE(run("verify " + q("config.json") + " " + q("catalogue.json")), 0);
}

}  // namespace
}  // namespace korvex
