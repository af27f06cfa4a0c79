#include "app/model/image_download.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "core/net/network_error.hpp"
#include "core/records/imager_error.hpp"
#include "tests/https_test_server.hpp"
#include "tests/test_support.hpp"

namespace korvex {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::failureOf;
using testing::HttpRequest;
using testing::HttpsConnection;

const std::string kImage = testing::noise(300'000, 7);
const std::string kSize = std::to_string(kImage.size());
const std::string kBadHash =
    "Downloaded image checksum is invalid. Remove the partial download and retry.";
const std::string kNotOurs = "The image must be an unlocked regular file owned by this user.";

struct Fixture {
    testing::HttpsTestServer server;
    testing::TempDir home;
    std::string cache = home.file("Images");
    Cancellation cancel;

    // The entry of `bytes` at `path`, its digest in capitals: either case counts.
    ImageVariant variant(const std::string& path, const std::string& bytes = kImage) const {
        ImageVariant v{.id = "korvex-20",
                       .downloadUrl = server.url(path),
                       .compression = "xz",
                       .compressedSize = static_cast<std::int64_t>(bytes.size()),
                       .expandedSize = 4096,
                       .sha256 = ImageIO::digest(bytes)};
        for (char& c : v.sha256) c = static_cast<char>(std::toupper(c));
        return v;
    }
    NetworkOptions options(std::chrono::milliseconds timeout = 700ms) const {
        NetworkOptions o;
        o.caFile = server.caFile();
        o.requestTimeout = timeout;
        return o;
    }
    std::string fetch(const ImageVariant& v) {
        return ImageDownload::fetch(v, cache, cancel, {}, options());
    }
    std::string partialOf(const ImageVariant& v) const {
        return cache + "/" + ImageDownload::fileName(v) + ".part";
    }
    void leavePartial(const ImageVariant& v, const std::string& bytes) const {  // as a past run
        fs::create_directories(cache);
        testing::writeFile(partialOf(v), bytes);
        ::chmod(partialOf(v).c_str(), 0600);
    }
};

// Catches a file name without id or digest or taken from the catalogue, a cache others read, a
// needless range or compressed transfer, a finished file refetched, or trusted when altered.
TEST(ImageDownload, DownloadsIntoAPrivateCacheAndProvesTheFile) {
    Fixture f;
    f.server.serveFile("/image.xz", kImage);
    ImageVariant v = f.variant("/image.xz");
    v.fileName = "ignored.img";
    const std::string path = f.fetch(v),
                      stem = "korvex-20-" + ImageIO::digest(kImage).substr(0, 16);
    EXPECT_EQ(path, f.cache + "/" + stem + ".xz");
    EXPECT_EQ(testing::readFile(path), kImage);
    EXPECT_FALSE(fs::exists(f.partialOf(v)));
    EXPECT_EQ(fs::status(f.cache).permissions() & fs::perms::all, fs::perms(0700));
    EXPECT_EQ(fs::status(path).permissions() & fs::perms::all, fs::perms(0600));
    const auto requests = f.server.requests("/image.xz");
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_FALSE(requests[0].header("Range"));
    EXPECT_EQ(requests[0].header("Accept-Encoding"), "identity");

    EXPECT_EQ(f.fetch(v), path);
    std::string altered = kImage;
    altered[1000] ^= 1;
    testing::writeFile(path, altered);
    EXPECT_EQ(failureOf([&] { f.fetch(v); }),
              "Cached image verification failed. Remove this cached image and retry.");
    EXPECT_EQ(testing::readFile(path), altered);
    EXPECT_EQ(f.server.requests("/image.xz").size(), 1u);
    v.compression = "none";
    EXPECT_EQ(ImageDownload::fileName(v), stem + ".img");
}

// Catches a partial file not resumed, resumed at the wrong byte or past its end, an answer of
// another range, size or content accepted, a failure retried without end, not at all or from
// nothing, and the partial file of a failed proof resumed.
TEST(ImageDownload, ResumesOnlyWhatTheAnswerProvablyContinues) {
    Fixture f;
    auto partial = [&](const std::string& range) {
        return [=](const HttpRequest&, HttpsConnection& c) {
            c.respond(206, {{"Content-Range", range}}, std::string_view(kImage).substr(100));
        };
    };
    auto unsized = [](std::string body) {
        return [=](const HttpRequest&, HttpsConnection& c) {
            if (c.send("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n")) c.send(body);
        };
    };
    auto http = [](long status) {
        return "other: " + NetworkError::httpStatus(status).description();
    };
    const std::string tail = std::to_string(kImage.size() - 1) + "/", head = kImage.substr(0, 100);
    std::string wrong = kImage;
    wrong[5] ^= 0x20;
    f.server.serveFile("/ranges", kImage);
    f.server.serveFile("/ranges-full", kImage);
    f.server.route("/whole",
                   [](const HttpRequest&, HttpsConnection& c) { c.respond(200, {}, kImage); });
    f.server.route("/star", partial("bytes 100-" + tail + "*"));
    f.server.route("/shifted", partial("bytes 101-" + tail + kSize));
    f.server.route("/unasked-206", partial("bytes 0-1/" + kSize));
    f.server.route("/short-length", [](const HttpRequest&, HttpsConnection& c) {
        c.respond(200, {}, std::string_view(kImage).substr(1));
    });
    f.server.route("/too-long", unsized(kImage + "extra"));
    f.server.route("/too-short", unsized(kImage.substr(0, 1000)));
    f.server.serveFile("/wrong-content", wrong);
    f.server.status("/404", 404);
    f.server.status("/503", 503);
    // Cut off mid-body, then stalled, then served: every attempt continues the partial file.
    f.server.route(
        "/flaky", [tail, calls = std::make_shared<std::atomic<int>>(0)](auto& r, auto& c) {
            const int call = (*calls)++;
            if (call == 2) return testing::HttpsTestServer::answerWithRanges(r, c, kImage);
            c.send(call == 0 ? "HTTP/1.1 200 OK\r\nContent-Length: " + kSize + "\r\n\r\n"
                             : "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 120000-" +
                                   tail + kSize + "\r\nContent-Length: 180000\r\n\r\n");
            c.send(std::string_view(kImage).substr(call == 0 ? 0 : 120'000,
                                                   call == 0 ? 120'000 : 50'000));
            call == 0 ? c.dropConnection() : c.stall(5s);
        });
    const std::optional<std::string> none, from100 = "bytes=100-";
    const std::tuple<const char*, std::string, std::string, std::size_t, std::optional<std::string>>
        cases[] = {{"/ranges", head, "(no failure)", 1, from100},
                   {"/whole", std::string(100, 'x'), "(no failure)", 1, from100},
                   {"/ranges-full", std::string(kImage.size(), 'x'), "(no failure)", 1, none},
                   {"/star", head, "Invalid resumed download range.", 1, from100},
                   {"/shifted", head, "Invalid resumed download range.", 1, from100},
                   {"/unasked-206", "", http(206), 1, none},
                   {"/short-length", "", "Download size does not match the catalogue.", 1, none},
                   {"/too-long", "", "Download exceeds expected size.", 1, none},
                   {"/too-short", "", "Download is incomplete.", 1, none},
                   {"/wrong-content", "", kBadHash, 1, none},
                   {"/404", "", http(404), 1, none},
                   {"/503", "", http(503), 3, none},
                   {"/flaky", "", "(no failure)", 3, "bytes=170000-"}};
    for (const auto& [path, before, expected, attempts, range] : cases) {
        f.cache = f.home.file(path + 1);
        const ImageVariant v = f.variant(path);
        if (!before.empty()) f.leavePartial(v, before);
        std::string file;
        EXPECT_EQ(failureOf([&] { file = f.fetch(v); }), expected) << path;
        EXPECT_TRUE(file.empty() || testing::readFile(file) == kImage) << path;
        EXPECT_EQ(f.server.requests(path).size(), attempts) << path;
        EXPECT_EQ(f.server.requests(path).back().header("Range"), range) << path;
    }
    // The failed proof left the partial file at full size; the next call starts it over.
    f.cache = f.home.file("wrong-content");
    const ImageVariant v = f.variant("/wrong-content");
    EXPECT_EQ(fs::file_size(f.partialOf(v)), kImage.size());
    f.server.serveFile("/wrong-content", kImage);
    EXPECT_EQ(testing::readFile(f.fetch(v)), kImage);
    EXPECT_FALSE(f.server.requests("/wrong-content").back().header("Range"));
}

// Catches a file swapped in for the partial one while it was hashed (in a folder others write)
// handed out as the verified image: another user's bytes, or a stale full-size file of ours.
TEST(ImageDownload, TheFinishedFileIsTheOneThatWasHashedWhoeverElseWritesTheFolder) {
    KVI_REQUIRE_ROOT();
    testing::TestUser other("kvidl");
    ASSERT_TRUE(other.valid());
    for (bool othersOwnFile : {true, false}) {
        SCOPED_TRACE(othersOwnFile ? "the other user's own file" : "a stale file of ours");
        Fixture f;
        f.server.serveFile("/image.xz", kImage);
        const ImageVariant v = f.variant("/image.xz");
        const std::string partial = f.partialOf(v), planted = f.cache + "/planted";
        ASSERT_EQ(::chmod(f.home.path().c_str(), 0755), 0);
        ASSERT_EQ(::mkdir(f.cache.c_str(), 0777), 0);
        ASSERT_EQ(::chmod(f.cache.c_str(), 0777), 0);
        if (!othersOwnFile) {
            testing::writeFile(planted, std::string(kImage.size(), 's'));
            ASSERT_EQ(::chmod(planted.c_str(), 0600), 0);
        }
        bool swapped = false;
        auto progress = [&](const WriteEvent& e) {
            if (e.stage != "checking" || std::exchange(swapped, true)) return;
            const auto child = testing::forkReporting([&](FILE*) {
                if (!other.become()) return 90;
                if (othersOwnFile) testing::writeFile(planted, "not the image\n");
                return ::rename(planted.c_str(), partial.c_str()) == 0 ? 0 : 92;
            });
            EXPECT_TRUE(child.exitedCleanly()) << "the other user could not swap the partial file";
        };
        EXPECT_EQ(
            failureOf([&] { ImageDownload::fetch(v, f.cache, f.cancel, progress, f.options()); }),
            kBadHash);
        EXPECT_TRUE(swapped);
        struct stat st {};
        EXPECT_NE(::lstat((f.cache + "/" + ImageDownload::fileName(v)).c_str(), &st), 0)
            << "nothing may stay at the finished name";
        // The swapped-in file is back under the partial name; the next call refuses or replaces it.
        ASSERT_EQ(::lstat(partial.c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, othersOwnFile ? other.uid() : 0u);
        if (othersOwnFile)
            EXPECT_EQ(failureOf([&] { f.fetch(v); }), kNotOurs);
        else
            EXPECT_EQ(testing::readFile(f.fetch(v)), kImage);
    }
}

// Catches a cancel that waits out the pause or a stall, a second download into one partial file,
// and the partial file removed.
TEST(ImageDownload, CancellingDuringTheWaitOrTheTransferStopsPromptly) {
    Fixture f, g;
    f.server.status("/429", 429);
    std::atomic<bool> done{false};
    std::chrono::steady_clock::time_point cancelledAt;
    std::thread canceller([&] {  // into the 2 s wait that follows the second attempt
        while (f.server.requests("/429").size() < 2 && !done) std::this_thread::sleep_for(10ms);
        std::this_thread::sleep_for(500ms);
        cancelledAt = std::chrono::steady_clock::now();
        f.cancel.cancel();
    });
    EXPECT_EQ(failureOf([&] { f.fetch(f.variant("/429")); }), "cancelled");
    const auto ended = std::chrono::steady_clock::now();
    done = true;
    canceller.join();
    EXPECT_EQ(f.server.requests("/429").size(), 2u);
    EXPECT_LT(ended - cancelledAt, 1s);  // not a speed test: the rest of the wait was not sat out

    g.server.route("/slow", [](const HttpRequest&, HttpsConnection& c) {
        c.send("HTTP/1.1 200 OK\r\nContent-Length: " + kSize + "\r\n\r\n" + kImage.substr(0, 1000));
        c.stall(30s);
    });
    const ImageVariant v = g.variant("/slow");
    std::string second;  // once the partial file holds what was sent, a second download of it
    auto progress = [&](const WriteEvent& e) {
        if (e.completed < 1000 || !second.empty()) return;
        Cancellation other;
        second = failureOf([&] { ImageDownload::fetch(v, g.cache, other, {}, g.options(30s)); });
        g.cancel.cancel();
    };
    EXPECT_EQ(
        failureOf([&] { ImageDownload::fetch(v, g.cache, g.cancel, progress, g.options(30s)); }),
        "cancelled");
    EXPECT_EQ(second, kNotOurs);
    EXPECT_EQ(g.server.requests("/slow").size(), 1u);
    EXPECT_EQ(fs::file_size(g.partialOf(v)), 1000u) << "the partial file stays";
}

}  // namespace
}  // namespace korvex
