#include "app/model/image_download.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
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

using namespace std::chrono_literals;
using testing::HttpRequest;
using testing::HttpsConnection;
using testing::HttpsTestServer;
using testing::TempDir;

const std::string kImage = testing::noise(300'000, 7);

struct Fixture {
    HttpsTestServer server;
    TempDir home;
    std::string cache = home.file("Images");
    Cancellation cancel;
    std::vector<WriteEvent> events;

    ImageVariant variant(const std::string& path, const std::string& bytes = kImage) const {
        ImageVariant v;
        v.id = "korvex-20";
        v.name = "Korvex 20";
        v.version = "20.1";
        v.downloadUrl = server.url(path);
        v.compression = "xz";
        v.compressedSize = static_cast<std::int64_t>(bytes.size());
        v.expandedSize = 4096;
        v.sha256 = ImageIO::digest(bytes);
        for (char& c : v.sha256) c = static_cast<char>(std::toupper(c));  // either case counts
        return v;
    }
    NetworkOptions options() const {
        NetworkOptions o;
        o.caFile = server.caFile();
        o.requestTimeout = 700ms;
        return o;
    }
    std::string fetch(const ImageVariant& v) {
        return ImageDownload::fetch(
            v, cache, cancel, [this](const WriteEvent& e) { events.push_back(e); }, options());
    }
    std::string partialOf(const ImageVariant& v) const {
        return cache + "/" + ImageDownload::fileName(v) + ".part";
    }
    // Puts `bytes` into the partial file of `v`, as an earlier run would have left it.
    void leavePartial(const ImageVariant& v, const std::string& bytes) const {
        std::filesystem::create_directories(cache);
        testing::writeFile(partialOf(v), bytes);
        ::chmod(partialOf(v).c_str(), 0600);
    }
};

// The text of what `call` throws ("ImagerHTTP 503: ..." for server statuses).
std::string failureOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const ImagerError& e) {
        return e.description();
    } catch (const NetworkError& e) {
        return e.domain() + " " + std::to_string(e.code()) + ": " + e.what();
    } catch (const std::exception& e) {
        return std::string("other: ") + e.what();
    }
    return "succeeded";
}

TEST(ImageDownload, FileNameIsIdHashPrefixAndCompression) {
    ImageVariant v;
    v.id = "x";
    v.sha256 = "ABCDEF0123456789" + std::string(48, 'A');
    v.compression = "none";
    EXPECT_EQ(ImageDownload::fileName(v), "x-abcdef0123456789.img");
    v.compression = "xz";
    v.fileName = "ignored.img";
    EXPECT_EQ(ImageDownload::fileName(v), "x-abcdef0123456789.xz");
}

TEST(ImageDownload, DownloadsIntoAPrivateCacheAndProvesTheFile) {
    Fixture f;
    f.server.serveFile("/image.xz", kImage);
    ImageVariant v = f.variant("/image.xz");
    std::string path = f.fetch(v);
    EXPECT_EQ(path, f.cache + "/korvex-20-" + ImageIO::digest(kImage).substr(0, 16) + ".xz");
    EXPECT_EQ(testing::readFile(path), kImage);
    EXPECT_FALSE(std::filesystem::exists(f.partialOf(v)));
    struct stat st {};
    ASSERT_EQ(::stat(f.cache.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    auto requests = f.server.requests("/image.xz");
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_FALSE(requests[0].header("Range"));
    EXPECT_EQ(requests[0].header("Accept-Encoding"), "identity");

    ASSERT_FALSE(f.events.empty());
    std::int64_t last = 0;
    std::size_t i = 0;
    for (; i < f.events.size() && f.events[i].stage == "downloading"; ++i) {
        EXPECT_GT(f.events[i].completed, last);
        EXPECT_EQ(f.events[i].total, v.compressedSize);
        last = f.events[i].completed;
    }
    EXPECT_EQ(last, v.compressedSize);
    ASSERT_LT(i, f.events.size());
    EXPECT_EQ(f.events.back().stage, "checking");
    EXPECT_EQ(f.events.back().completed, v.compressedSize);

    // The finished file is reused after the same proof, without asking the server again.
    EXPECT_EQ(f.fetch(v), path);
    EXPECT_EQ(f.server.requests("/image.xz").size(), 1u);

    // An altered cached file is refused and left where it is.
    std::string altered = kImage;
    altered[1000] ^= 1;
    testing::writeFile(path, altered);
    EXPECT_EQ(failureOf([&] { f.fetch(v); }),
              "Cached image verification failed. Remove this cached image and retry.");
    EXPECT_EQ(testing::readFile(path), altered);
    EXPECT_EQ(f.server.requests("/image.xz").size(), 1u);
}

TEST(ImageDownload, ResumesFromThePartialFileOrRestartsWhenItCannot) {
    {  // Resumed with a range; the server answers 206 with the matching Content-Range.
        Fixture f;
        f.server.serveFile("/image.xz", kImage);
        ImageVariant v = f.variant("/image.xz");
        f.leavePartial(v, kImage.substr(0, 100));
        EXPECT_EQ(testing::readFile(f.fetch(v)), kImage);
        ASSERT_EQ(f.server.requests("/image.xz").size(), 1u);
        EXPECT_EQ(f.server.requests("/image.xz")[0].header("Range"), "bytes=100-");
        // Progress counts the bytes in the partial file, the resumed-from 100 included.
        std::int64_t received = 0;
        for (const WriteEvent& e : f.events)
            if (e.stage == "downloading") received = e.completed;
        EXPECT_EQ(received, v.compressedSize);
    }
    {  // The server ignores the range: the same attempt starts again from byte 0.
        Fixture f;
        f.server.route("/image.xz",
                       [](const HttpRequest&, HttpsConnection& c) { c.respond(200, {}, kImage); });
        ImageVariant v = f.variant("/image.xz");
        f.leavePartial(v, std::string(100, 'x'));
        EXPECT_EQ(testing::readFile(f.fetch(v)), kImage);
        EXPECT_EQ(f.server.requests("/image.xz").size(), 1u);
    }
    {  // A partial file as large as the image cannot be continued: truncated and fetched again.
        Fixture f;
        f.server.serveFile("/image.xz", kImage);
        ImageVariant v = f.variant("/image.xz");
        f.leavePartial(v, std::string(kImage.size(), 'x'));
        EXPECT_EQ(testing::readFile(f.fetch(v)), kImage);
        ASSERT_EQ(f.server.requests("/image.xz").size(), 1u);
        EXPECT_FALSE(f.server.requests("/image.xz")[0].header("Range"));
    }
}

TEST(ImageDownload, RefusesAnswersThatDisagreeWithTheCatalogue) {
    Fixture f;
    const std::string size = std::to_string(kImage.size());
    auto partial = [&](const std::string& contentRange) {
        return [=](const HttpRequest&, HttpsConnection& c) {
            c.respond(206, {{"Content-Range", contentRange}}, std::string_view(kImage).substr(100));
        };
    };
    f.server.route("/star", partial("bytes 100-" + std::to_string(kImage.size() - 1) + "/*"));
    f.server.route("/shifted",
                   partial("bytes 101-" + std::to_string(kImage.size() - 1) + "/" + size));
    f.server.route("/unasked-206", partial("bytes 0-1/" + size));
    f.server.route("/short-length", [](const HttpRequest&, HttpsConnection& c) {
        c.respond(200, {}, std::string_view(kImage).substr(1));
    });
    f.server.route("/too-long", [](const HttpRequest&, HttpsConnection& c) {
        c.send("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n");
        c.send(kImage + "extra");
    });
    f.server.route("/too-short", [](const HttpRequest&, HttpsConnection& c) {
        c.send("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n");
        c.send(std::string_view(kImage).substr(0, 1000));
    });
    std::string wrong = kImage;
    wrong[5] ^= 0x20;
    f.server.serveFile("/wrong-content", wrong);
    f.server.status("/404", 404);
    f.server.route("/endless-headers", [](const HttpRequest&, HttpsConnection& c) {
        const std::string line = "X-Filler: " + std::string(1000, 'h') + "\r\n";
        if (!c.send("HTTP/1.1 200 OK\r\n")) return;
        for (int i = 0; i < 64 * 1024; ++i)
            if (!c.send(line)) return;
    });

    struct Case {
        const char* path;
        bool resume;
        const char* expected;
    };
    const Case cases[] = {
        {"/star", true, "Invalid resumed download range."},
        {"/shifted", true, "Invalid resumed download range."},
        {"/unasked-206", false,
         "ImagerHTTP 206: Download server returned HTTP 206. Please retry later."},
        {"/short-length", false, "Download size does not match the catalogue."},
        {"/too-long", false, "Download exceeds expected size."},
        {"/too-short", false, "Download is incomplete."},
        {"/wrong-content", false,
         "Downloaded image checksum is invalid. Remove the partial download and retry."},
        {"/404", false, "ImagerHTTP 404: Download server returned HTTP 404. Please retry later."},
        {"/endless-headers", false, "ImagerURL -1011: The server's answer was refused."},
    };
    for (const Case& test : cases) {
        TempDir home;
        f.cache = home.file("Images");
        ImageVariant v = f.variant(test.path);
        if (test.resume) f.leavePartial(v, kImage.substr(0, 100));
        EXPECT_EQ(failureOf([&] { f.fetch(v); }), test.expected) << test.path;
        EXPECT_EQ(f.server.requests(test.path).size(), 1u) << test.path << " is not retried";
    }

    // A proof failure leaves the partial file at full size; the next call starts it over.
    TempDir home;
    f.cache = home.file("Images");
    ImageVariant v = f.variant("/wrong-content", kImage);
    EXPECT_NE(failureOf([&] { f.fetch(v); }), "succeeded");
    EXPECT_EQ(std::filesystem::file_size(f.partialOf(v)), kImage.size());
    f.server.serveFile("/wrong-content", kImage);
    EXPECT_EQ(testing::readFile(f.fetch(v)), kImage);
    EXPECT_FALSE(f.server.requests("/wrong-content").back().header("Range"));

    TempDir fresh;
    f.cache = fresh.file("Images");
    v.downloadUrl = "http://127.0.0.1/image.xz";
    EXPECT_EQ(failureOf([&] { f.fetch(v); }), "An HTTPS download URL is required.");
}

// Fault caught: in a download folder another user may write to, a file put in place of the
// partial one while that was hashed was moved to the finished name by its name and handed out as
// the verified image: the other user's own bytes, or a stale full-size partial file of ours.
TEST(ImageDownload, TheFinishedFileIsTheOneThatWasHashedWhoeverElseWritesTheFolder) {
    KVI_REQUIRE_ROOT();
    testing::TestUser other("kvidl");
    ASSERT_TRUE(other.valid());
    for (bool othersOwnFile : {true, false}) {
        SCOPED_TRACE(othersOwnFile ? "the other user's own file" : "a stale file of ours");
        Fixture f;
        f.server.serveFile("/image.xz", kImage);
        const ImageVariant v = f.variant("/image.xz");
        const std::string partial = f.partialOf(v);
        const std::string finished = f.cache + "/" + ImageDownload::fileName(v);
        const std::string planted = f.cache + "/planted";
        // A shared download folder, which is taken as it is.
        ASSERT_EQ(::chmod(f.home.path().c_str(), 0755), 0);
        ASSERT_EQ(::mkdir(f.cache.c_str(), 0777), 0);
        ASSERT_EQ(::chmod(f.cache.c_str(), 0777), 0);
        if (!othersOwnFile) {
            testing::writeFile(planted, std::string(kImage.size(), 's'));
            ASSERT_EQ(::chmod(planted.c_str(), 0600), 0);
        }
        // While the finished download is hashed, the other user swaps the partial name.
        bool swapped = false;
        auto progress = [&](const WriteEvent& e) {
            if (e.stage != "checking" || swapped) return;
            swapped = true;
            pid_t child = ::fork();
            if (child == 0) {
                if (!other.become()) ::_exit(90);
                if (othersOwnFile) {
                    int fd = ::open(planted.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
                    if (fd < 0 || ::write(fd, "not the image\n", 14) != 14) ::_exit(91);
                    ::close(fd);
                }
                ::_exit(::rename(planted.c_str(), partial.c_str()) == 0 ? 0 : 92);
            }
            int status = -1;
            ::waitpid(child, &status, 0);
            EXPECT_EQ(status, 0) << "the other user could not swap the partial file";
        };
        EXPECT_EQ(
            failureOf([&] { ImageDownload::fetch(v, f.cache, f.cancel, progress, f.options()); }),
            "Downloaded image checksum is invalid. Remove the partial download and retry.");
        EXPECT_TRUE(swapped);
        struct stat st {};
        EXPECT_NE(::lstat(finished.c_str(), &st), 0) << "nothing may stay at the finished name";
        // Nothing was deleted: the swapped-in file is back under the partial name, and the next
        // call refuses it or proves a fresh download.
        ASSERT_EQ(::lstat(partial.c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, othersOwnFile ? other.uid() : 0u);
        if (othersOwnFile) {
            EXPECT_EQ(failureOf([&] { f.fetch(v); }),
                      "The image must be an unlocked regular file owned by this user.");
        } else {
            EXPECT_EQ(testing::readFile(f.fetch(v)), kImage);
        }
    }
}

TEST(ImageDownload, RetriesTransientFailuresAndResumesWhereTheLastAttemptStopped) {
    Fixture f;
    f.server.status("/503", 503);
    EXPECT_EQ(failureOf([&] { f.fetch(f.variant("/503")); }),
              "ImagerHTTP 503: Download server returned HTTP 503. Please retry later.");
    EXPECT_EQ(f.server.requests("/503").size(), 3u);

    // Cut off mid-body, then stalled, then served: every attempt continues the partial file.
    auto calls = std::make_shared<std::atomic<int>>(0);
    f.server.route("/flaky", [calls](const HttpRequest& r, HttpsConnection& c) {
        int call = (*calls)++;
        if (call == 0) {
            c.send("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(kImage.size()) +
                   "\r\n\r\n");
            c.send(std::string_view(kImage).substr(0, 120'000));
            c.dropConnection();
        } else if (call == 1) {
            c.send("HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 120000-" +
                   std::to_string(kImage.size() - 1) + "/" + std::to_string(kImage.size()) +
                   "\r\nContent-Length: " + std::to_string(kImage.size() - 120'000) + "\r\n\r\n");
            c.send(std::string_view(kImage).substr(120'000, 50'000));
            c.stall(5s);
        } else {
            HttpsTestServer::answerWithRanges(r, c, kImage);
        }
    });
    ImageVariant v = f.variant("/flaky");
    EXPECT_EQ(testing::readFile(f.fetch(v)), kImage);
    auto requests = f.server.requests("/flaky");
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[1].header("Range"), "bytes=120000-");
    EXPECT_EQ(requests[2].header("Range"), "bytes=170000-");
}

TEST(ImageDownload, CancellingDuringTheWaitOrTheTransferStopsPromptly) {
    Fixture f;
    f.server.status("/429", 429);
    std::atomic<bool> done{false};
    std::chrono::steady_clock::time_point cancelledAt;
    std::thread canceller([&] {
        // Into the 2 s wait that follows the second attempt.
        while (f.server.requests("/429").size() < 2 && !done) std::this_thread::sleep_for(10ms);
        std::this_thread::sleep_for(500ms);
        cancelledAt = std::chrono::steady_clock::now();
        f.cancel.cancel();
    });
    std::string failure = testing::failureOf([&] { f.fetch(f.variant("/429")); });
    auto ended = std::chrono::steady_clock::now();
    done = true;
    canceller.join();
    EXPECT_EQ(failure, "cancelled");
    EXPECT_EQ(f.server.requests("/429").size(), 2u);
    // Not a speed test: only that the remaining 1.5 s of the wait were not sat out.
    EXPECT_LT(ended - cancelledAt, 1s);

    Fixture g;
    g.server.route("/slow", [](const HttpRequest&, HttpsConnection& c) {
        c.send("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(kImage.size()) + "\r\n\r\n");
        c.send(std::string_view(kImage).substr(0, 1000));
        c.stall(30s);
    });
    NetworkOptions patient = g.options();
    patient.requestTimeout = 30s;
    ImageVariant v = g.variant("/slow");
    std::string secondFailure;
    std::thread first([&] {
        std::error_code ignored;
        while (std::filesystem::file_size(g.partialOf(v), ignored) != 1000)
            std::this_thread::sleep_for(10ms);
        // The partial file is locked by the running download: a second one fails on the lock.
        Cancellation other;
        secondFailure = failureOf([&] { ImageDownload::fetch(v, g.cache, other, {}, patient); });
        g.cancel.cancel();
    });
    std::string firstFailure =
        testing::failureOf([&] { ImageDownload::fetch(v, g.cache, g.cancel, {}, patient); });
    first.join();
    EXPECT_EQ(secondFailure, "The image must be an unlocked regular file owned by this user.");
    EXPECT_EQ(firstFailure, "cancelled");
    EXPECT_EQ(g.server.requests("/slow").size(), 1u);
    EXPECT_EQ(std::filesystem::file_size(g.partialOf(v)), 1000u) << "the partial file stays";
}

}  // namespace
}  // namespace korvex
