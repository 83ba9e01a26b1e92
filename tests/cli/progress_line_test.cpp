#include "progress_line.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <sstream>
#include <vector>

namespace tessaloom::cli {
namespace {

constexpr std::uint64_t kKiB = 1024;
constexpr std::uint64_t kMiB = kKiB * kKiB;
constexpr std::uint64_t kGiB = kKiB * kMiB;
constexpr std::uint64_t kMost = std::numeric_limits<std::uint64_t>::max();

struct TextCase {
    std::uint64_t done;
    std::optional<std::uint64_t> total;
    double seconds;
    std::string text;
};

TEST(ProgressTextTest, SizesRateAndTimeLeft) {
    const TextCase cases[] = {
        {512, std::nullopt, 1.0, "512 B, 512 B/s"},
        {1023, std::nullopt, 1.0, "1023 B, 1023 B/s"},
        {1024, std::nullopt, 2.0, "1.0 KiB, 512 B/s"},
        {10237, std::nullopt, 10.0, "10.0 KiB, 1.0 KiB/s"},  // 1023.7 B/s would print as 1024
        {kMiB - 104, std::nullopt, 1.0, "1023.9 KiB, 1023.9 KiB/s"},
        {kMiB - 1, std::nullopt, 1.0, "1.0 MiB, 1.0 MiB/s"},
        {3 * kGiB / 2, std::nullopt, 0.5, "1.5 GiB, 3.0 GiB/s"},
        {0, 1000, 1.0, "0 B of 1000 B (0%), 0 B/s"},
        {5 * kMiB, 10 * kMiB, 2.0, "5.0 MiB of 10.0 MiB (50%), 2.5 MiB/s, 0:02 left"},
        {1000, 2500, 1.0, "1000 B of 2.4 KiB (40%), 1000 B/s, 0:02 left"},  // 1.5 s rounded up
        {kMiB, 3601 * kMiB, 1.0, "1.0 MiB of 3.5 GiB (0%), 1.0 MiB/s, 1:00:00 left"},
        {kMiB, 100 * kMiB, 1.0, "1.0 MiB of 100.0 MiB (1%), 1.0 MiB/s, 1:39 left"},
        {1, kGiB, 1.0, "1 B of 1.0 GiB (0%), 1 B/s"},  // 34 years left: no estimate
        {kMost - 1, kMost, 1.0, "16.0 EiB of 16.0 EiB (99%), 16.0 EiB/s, 0:01 left"},
        {300, 300, 3.0, "300 B of 300 B (100%), 100 B/s, 0:00 left"},
        {0, 0, 1.0, "0 B of 0 B (100%), 0 B/s"},
    };
    for (const TextCase& c : cases) {
        EXPECT_EQ(progressText(c.done, c.total, c.seconds), c.text) << c.done << " " << c.seconds;
    }
}

// A line as wide as the terminal would wrap, and the carriage return would then rewrite only the
// part that wrapped.
TEST(ProgressTextTest, FitsAnEightyColumnTerminal) {
    const std::uint64_t sizes[] = {0, 1023, kMiB - 104, 1000 * kGiB + 999 * kMiB, kMost - 1, kMost};
    const double times[] = {1e-300, 0.5, 359999.0, 1e300};
    for (const std::uint64_t done : sizes) {
        for (const std::uint64_t total : sizes) {
            for (const double seconds : times) {
                EXPECT_LE(progressText(done, total, seconds).size(), 79u);
                EXPECT_LE(progressText(done, std::nullopt, seconds).size(), 79u);
            }
        }
    }
}

// Updates at given milliseconds after the start, on a clock the test moves.
struct Update {
    int ms;
    std::uint64_t done;
    std::optional<std::uint64_t> total = 10 * kMiB;
};

struct LineRun {
    std::string written;
    int clockReads = 0;
};

LineRun runLine(bool enabled, const std::vector<Update>& updates, bool eraseTwice = false) {
    LineRun run;
    std::ostringstream out;
    std::chrono::steady_clock::time_point now{};
    {
        ProgressLine line(enabled, out, [&] {
            ++run.clockReads;
            return now;
        });
        for (const Update& u : updates) {
            now = std::chrono::steady_clock::time_point{} + std::chrono::milliseconds(u.ms);
            line.update(u.done, u.total);
        }
        if (eraseTwice) {
            line.erase();
            line.erase();
        }
    }
    run.written = out.str();
    return run;
}

// Built by appending: GCC 12 warns wrongly (-Wrestrict) about "\r" + text in an optimised build.
std::string afterReturn(const std::string& text) {
    std::string line = "\r";
    line += text;
    return line;
}

std::string drawn(std::uint64_t done, double seconds) {
    return afterReturn(progressText(done, 10 * kMiB, seconds));
}

TEST(ProgressLineTest, NothingWhenDisabledOrDoneWithinHalfASecond) {
    const std::vector<Update> longWork = {{0, 0}, {600, kMiB}, {5000, 10 * kMiB}};
    const LineRun disabled = runLine(false, longWork, true);
    EXPECT_EQ(disabled.written, "");
    EXPECT_EQ(disabled.clockReads, 0);
    const LineRun quick = runLine(true, {{0, 0}, {250, 5 * kMiB}, {499, 10 * kMiB}});
    EXPECT_EQ(quick.written, "");
    EXPECT_EQ(quick.clockReads, 4);  // the start and one per update
}

TEST(ProgressLineTest, RedrawsInPlaceAndErasesOverTheWholeLine) {
    const std::string first = drawn(614 * kKiB, 0.6);
    const std::string second = drawn(6 * kMiB, 0.8);
    ASSERT_GT(first.size(), second.size());  // so that the padding is seen
    const std::string blank = afterReturn(std::string(first.size() - 1, ' ')) + "\r";
    const LineRun run = runLine(
        true, {{100, 0}, {600, 614 * kKiB}, {700, 2 * kMiB}, {799, 3 * kMiB}, {800, 6 * kMiB}},
        true);
    // Erased twice and then destroyed, it blanks the line once.
    EXPECT_EQ(run.written, first + second + std::string(first.size() - second.size(), ' ') + blank);
    // Destroyed while drawn, it blanks the line.
    EXPECT_EQ(runLine(true, {{600, 614 * kKiB}}).written, first + blank);
}

TEST(ProgressLineTest, AtMostFiveDrawsASecondHoweverOftenUpdated) {
    std::vector<Update> everyTenMs;
    for (int ms = 0; ms <= 10000; ms += 10) {
        everyTenMs.push_back({ms, static_cast<std::uint64_t>(ms) * kKiB, std::nullopt});
    }
    const std::string written = runLine(true, everyTenMs).written;
    const auto draws = std::count(written.begin(), written.end(), '\r') - 2;  // less the erase
    EXPECT_GE(draws, 40);
    EXPECT_LE(draws, 48);
}

// On a narrow terminal the line is cut short of the last column, so that it never wraps and
// leaves stale lines behind.
TEST(ProgressLineTest, CutToTheTerminalsWidth) {
    std::ostringstream out;
    std::chrono::steady_clock::time_point now{};
    {
        ProgressLine line(
            true, out, [&] { return now; }, 20);
        now += std::chrono::seconds(1);
        line.update(5 * kMiB, 10 * kMiB);
    }
    EXPECT_EQ(out.str(), afterReturn(drawn(5 * kMiB, 1.0).substr(1, 19)) +
                             afterReturn(std::string(19, ' ')) + "\r");
}

}  // namespace
}  // namespace tessaloom::cli
