// korvin-sim's LeakSanitizer options_ hide unicorn's own leaks and none of
// ours: a probe linked with unicorn loses memory in our code, in a callback
// unicorn makes, and inside unicorn.
#include "process.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace korvin::test {
namespace {

// The leak reports in a sanitizer's output, one text per leak.
std::vector<std::string> leaks(const std::string& err) {
    std::vector<std::string> found;
    const std::string marker = " leak of ";
    for (std::size_t at = err.find(marker); at != std::string::npos;) {
        const std::size_t next = err.find(marker, at + 1);
        found.push_back(err.substr(at, next == std::string::npos ? next : next - at));
        at = next;
    }
    return found;
}

// Whether a leak's stack has a frame in one of unicorn's glib functions.
bool made_by_unicorn(const std::string& leak) {
    return leak.find(" in g_") != std::string::npos;
}

run_result probe(const std::string& mode, const std::string& lsan_options) {
    return run({KORVIN_LSAN_PROBE, mode}, {"LSAN_OPTIONS=" + lsan_options}, 60s);
}

std::string environment_lsan_options() {
    const char* value = std::getenv("LSAN_OPTIONS");
    return value ? value : "";
}

class suppressions : public testing::Test {
  protected:
    void SetUp() override {
        if (!KORVIN_SANITIZED)
            GTEST_SKIP() << "the build is not sanitized (KORVIN_SANITIZE=OFF)";
        // Without leak checking nothing here means anything.
        const run_result r = probe("own", environment_lsan_options());
        if (r.err.find("ERROR: LeakSanitizer: detected memory leaks") == std::string::npos)
            GTEST_SKIP() << "LeakSanitizer reports no leak here: " << r.err;
    }
    const std::string options_ = lsan_options_for_unicorn(environment_lsan_options());
};

TEST_F(suppressions, OurLeaksAreStillReported) {
    struct our_leak {
        const char* mode;
        std::string bytes, frame;
    } const cases[] = {
        {"own", "Direct leak of 777 byte(s)", "lose"},
        // Its stack passes through libunicorn: a suppression by library
        // name would drop it.
        {"callback", "Direct leak of 4321 byte(s)", "write_register"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        const run_result r = probe(c.mode, options_);
        EXPECT_NE(r.status, 0);
        const auto reported = leaks(r.err);
        ASSERT_EQ(reported.size(), 1u) << r.err;
        EXPECT_NE(r.err.find(c.bytes), std::string::npos) << r.err;
        EXPECT_NE(reported[0].find(" in " + c.frame), std::string::npos) << reported[0];
    }
}

TEST_F(suppressions, UnicornsOwnLeaksAreDropped) {
    // Without the suppressions unicorn's lost machine shows leaks made in
    // its glib functions, the names tests/lsan.supp gives...
    const run_result bare = probe("unicorn", environment_lsan_options());
    std::size_t by_unicorn = 0;
    for (const auto& leak : leaks(bare.err))
        by_unicorn += made_by_unicorn(leak);
    ASSERT_GT(by_unicorn, 0u) << bare.err;

    // ...and with them, none of those is left.
    const run_result r = probe("unicorn", options_);
    for (const auto& leak : leaks(r.err))
        EXPECT_FALSE(made_by_unicorn(leak)) << leak;
    EXPECT_NE(r.err.find("Suppressions used:"), std::string::npos) << r.err;
}

TEST(LsanOptions, KorvinSimStartsWithTheSuppressions) {
    simulator sim;
    const std::string environment =
        read_file("/proc/" + std::to_string(sim.process().pid()) + "/environ");
    if (environment.empty())
        GTEST_SKIP() << "no /proc here to read korvin-sim's environment from";
    const std::string expected =
        "LSAN_OPTIONS=" + lsan_options_for_unicorn(environment_lsan_options());
    EXPECT_NE(environment.find(std::string(1, '\0') + expected + '\0'), std::string::npos);
    EXPECT_EQ(sim.stop().status, 0);
}

TEST(LsanOptions, KeepTheEnvironmentsOptionsAndSuppressions) {
    const std::string ours = std::string(KORVIN_SOURCE_DIR) + "/tests/lsan.supp";
    EXPECT_EQ(lsan_options_for_unicorn(""), "suppressions=" + ours);
    EXPECT_EQ(lsan_options_for_unicorn("report_objects=1 verbosity=1,use_tls=0"),
              "report_objects=1:verbosity=1:use_tls=0:suppressions=" + ours);

    temp_file theirs("their.supp");
    std::ofstream(theirs.path) << "leak:their_library\n";
    const std::string prefix = "max_leaks=3:suppressions=";
    const std::string merged = lsan_options_for_unicorn(prefix + theirs.path);
    ASSERT_EQ(merged.compare(0, prefix.size(), prefix), 0) << merged;
    EXPECT_NE(merged, prefix + theirs.path); // a file with both
    const std::string file = read_file(merged.substr(prefix.size()));
    EXPECT_NE(file.find("leak:their_library\n"), std::string::npos) << file;
    EXPECT_NE(file.find(read_file(ours)), std::string::npos) << file;
}

} // namespace
} // namespace korvin::test
