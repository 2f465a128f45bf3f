// What korvin makes of the line's behaviour, in-process.
#include "explain.h"

#include <gtest/gtest.h>

namespace korvin {
namespace {

const std::string request("\x05\x05\0\0\0\0\0\0\0\0\0\0\0\0\0\0", 16);

std::string repeat(const std::string& s, int n) {
    std::string out;
    while (n-- > 0)
        out += s;
    return out;
}

TEST(Explain, ClassifiesAnAnswerToTheStatusRequest) {
    struct {
        const char* what;
        std::string answer;
        line_behaviour expected;
    } cases[] = {
        {"nothing", "", line_behaviour::unknown},
        {"echo", request, line_behaviour::echo},
        {"echo cut short", request.substr(0, 5), line_behaviour::echo},
        {"echo of two requests", request + request, line_behaviour::echo},
        {"echo with a changed byte", "\x05\x05\x01", line_behaviour::other},
        {"idle monitor", repeat(":0?", 16), line_behaviour::monitor},
        {"monitor answering the rest of a frame", "?:0?:0?", line_behaviour::monitor},
        {"a colon alone", ":", line_behaviour::monitor},
        {"digits without a colon", "0?0?", line_behaviour::other},
        {"trace text", "W c8000000 1\r\n:0?", line_behaviour::other},
        {"secure boot ROM", "\x12\x34\x34\x12", line_behaviour::secure},
        {"secure after noise", std::string("\x00\x12\x34\x34\x12", 5), line_behaviour::secure},
        {"secure bytes reversed", "\x34\x12\x12\x34", line_behaviour::other},
        {"ready never reaches here but is no echo", "\x56\x78\x78\x56", line_behaviour::other},
        {"garbage", std::string("\xe0\x00\xfc\x1c", 4), line_behaviour::other},
    };
    for (const auto& c : cases)
        EXPECT_EQ(classify_answer(request, c.answer), c.expected) << c.what;
}

TEST(Explain, SilenceCountsOnlyAfterSeveralRequestsAndBytesOutweighIt) {
    wake_observation seen;
    for (unsigned i = 1; i < SILENT_REQUESTS; ++i) {
        seen.record(request, "");
        EXPECT_EQ(seen.behaviour, line_behaviour::unknown) << i;
        EXPECT_EQ(explain_wake(seen), "");
    }
    seen.record(request, "");
    EXPECT_EQ(seen.behaviour, line_behaviour::silent);
    EXPECT_NE(explain_wake(seen).find("Nothing came back"), std::string::npos);
    seen.record(request, repeat(":0?", 16));
    EXPECT_EQ(seen.behaviour, line_behaviour::monitor);
    // Silence after an answer does not hide what the answer showed.
    for (int i = 0; i < 5; ++i)
        seen.record(request, "");
    EXPECT_EQ(seen.behaviour, line_behaviour::monitor);
    EXPECT_EQ(seen.requests, SILENT_REQUESTS + 6);
}

TEST(Explain, EachBehaviourHasItsOwnAdvice) {
    struct {
        line_behaviour behaviour;
        std::string answer;
        const char* must_say;
    } cases[] = {
        {line_behaviour::silent, "", "boot-mode pins"},
        {line_behaviour::echo, request, "loopback plug"},
        {line_behaviour::monitor, ":0?", "earlier korvin run"},
        {line_behaviour::secure, "\x12\x34\x34\x12", "secure (production) mode"},
        {line_behaviour::other, std::string("\xe0\x00\xfc\x1c\x80\x00\xe0\xfc\x00\x1e", 10),
         "does not send, first e0 00 fc 1c 80 00 e0 fc ...:"},
    };
    for (const auto& c : cases) {
        wake_observation seen;
        seen.behaviour = c.behaviour;
        seen.requests = 3;
        seen.first_answer = c.answer;
        const std::string text = explain_wake(seen);
        EXPECT_NE(text.find(c.must_say), std::string::npos) << text;
        ASSERT_FALSE(text.empty());
        EXPECT_EQ(text.back(), '\n');
        // Lines a terminal shows whole.
        std::size_t start = 0;
        for (std::size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
            EXPECT_LE(nl - start, 92u) << text;
    }
}

TEST(Explain, RefusedDownloadOrStart) {
    struct {
        bool start;
        std::string answer;
        const char* must_say;
    } cases[] = {
        {false, "", "nothing within a second of the download command"},
        {true, "", "confirmed nothing within a second"},
        {false, "\x12\x34\x34\x12", "secure (production) mode"},
        {true, "\x12\x34\x34\x12", "secure (production) mode"},
        {false, "\x78", "only 1 byte (78)"},
        {false, "\x78\x78\x56", "only 3 bytes (78 78 56)"},
        {false, "\xf0\xf0\xf0\xf0", "f0 f0 f0 f0 instead of 56 78 78 56"},
        {true, "\x56\x78\x78\x56", "56 78 78 56 instead of 88 88 88 88"},
    };
    for (const auto& c : cases) {
        const std::string text = explain_refusal(c.start, c.answer);
        EXPECT_NE(text.find(c.must_say), std::string::npos) << text;
    }
}

} // namespace
} // namespace korvin
