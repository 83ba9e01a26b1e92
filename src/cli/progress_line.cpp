#include "progress_line.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cmath>
#include <cstring>
#include <iterator>
#include <limits>
#include <string_view>
#include <utility>

#include "console.h"
#include "platform/interrupt.h"
#include "platform/terminal.h"

namespace tessaloom::cli {

namespace {

using std::chrono::milliseconds;

// Work that is over sooner shows no line at all, rather than a flash of one.
constexpr milliseconds kFirstDrawAfter{500};
constexpr milliseconds kRedrawInterval{200};
// A time left beyond this is too uncertain to be worth showing.
constexpr double kLongestTimeLeft = 100.0 * 3600.0;

// A value that would round to 1024 of one unit is shown as 1 of the next: "1.0 MiB", never
// "1024.0 KiB".
std::string humanBytes(double bytes) {
    static constexpr std::string_view kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    double value = bytes;
    std::size_t unit = 0;
    for (; unit + 1 < std::size(kUnits) && value >= (unit == 0 ? 1023.5 : 1023.95); ++unit) {
        value /= 1024;
    }
    return fixedDecimals(value, unit == 0 ? 0 : 1) + " " + std::string(kUnits[unit]);
}

// Rounded down, and below 100 until the work is done, however close the doubles come.
std::string wholePercent(std::uint64_t done, std::uint64_t total) {
    if (done >= total) {
        return "100%";
    }
    const double percent = static_cast<double>(done) / static_cast<double>(total) * 100;
    return std::to_string(std::min(99u, static_cast<unsigned>(percent))) + "%";
}

std::string twoDigits(std::uint64_t value) {
    return {static_cast<char>('0' + value / 10), static_cast<char>('0' + value % 10)};
}

// M:SS, or H:MM:SS from an hour on; rounded up, so that 0:00 only shows when nothing is left.
std::string clockTime(double seconds) {
    const auto whole = static_cast<std::uint64_t>(std::ceil(seconds));
    const std::uint64_t hours = whole / 3600;
    const std::uint64_t minutes = whole / 60 % 60;
    const std::string minutesAndSeconds =
        (hours == 0 ? std::to_string(minutes) : twoDigits(minutes)) + ":" + twoDigits(whole % 60);
    return hours == 0 ? minutesAndSeconds : std::to_string(hours) + ":" + minutesAndSeconds;
}

// What erases the line, for a signal handler to write: kept up to date while the line is drawn.
constexpr std::size_t kLongestErase = 512;
char eraseOnInterrupt[kLongestErase];
std::atomic<std::size_t> eraseOnInterruptLength{0};

void eraseAfterInterrupt() {
    writeToStandardErrorNow(eraseOnInterrupt, eraseOnInterruptLength.load());
}

std::string eraseText(std::size_t width) {
    std::string blank(width + 2, ' ');
    blank.front() = '\r';
    blank.back() = '\r';
    return blank;
}

}  // namespace

std::string progressText(std::uint64_t done, std::optional<std::uint64_t> total, double seconds) {
    // Capped, so that a near-zero time cannot make the figure run off the line.
    const double rate =
        seconds > 0 ? std::min(static_cast<double>(done) / seconds,
                               static_cast<double>(std::numeric_limits<std::uint64_t>::max()))
                    : 0.0;
    const std::string throughput = humanBytes(rate) + "/s";
    if (!total) {
        return humanBytes(static_cast<double>(done)) + ", " + throughput;
    }
    std::string text = humanBytes(static_cast<double>(done)) + " of " +
                       humanBytes(static_cast<double>(*total)) + " (" + wholePercent(done, *total) +
                       "), " + throughput;
    if (rate > 0) {
        const double left = done >= *total ? 0.0 : static_cast<double>(*total - done) / rate;
        if (left < kLongestTimeLeft) {
            text += ", ";
            text += clockTime(left);
            text += " left";
        }
    }
    return text;
}

bool progressWanted(CommandOutput output) {
    return standardErrorIsTerminal() &&
           (output == CommandOutput::kReportWhenDone || standardOutputIsFile());
}

std::size_t ProgressLine::terminalColumns() {
    return standardErrorColumns();
}

ProgressLine::ProgressLine(bool enabled, std::ostream& out, Clock clock, std::size_t columns)
    : enabled_(enabled), columns_(columns), out_(&out), clock_(std::move(clock)) {
    if (enabled_) {
        start_ = clock_();
        static const bool registered = (onInterrupt(eraseAfterInterrupt), true);
        (void)registered;
    }
}

void ProgressLine::follow(FileReader& reader) {
    reader.onProgress(
        [this](const ScanProgress& progress) { update(progress.done, progress.total); });
}

void ProgressLine::follow(FileReader& a, FileReader& b) {
    const std::optional<std::uint64_t> total =
        a.size() && b.size() ? std::optional(std::max(*a.size(), *b.size())) : std::nullopt;
    const auto report = [this, &a, &b, total](const ScanProgress&) {
        update(std::max(a.position(), b.position()), total);
    };
    a.onProgress(report);
    b.onProgress(report);
}

ProgressLine::~ProgressLine() {
    erase();
}

void ProgressLine::update(std::uint64_t done, std::optional<std::uint64_t> total) {
    if (!enabled_) {
        return;
    }
    const auto now = clock_();
    if (now - start_ < kFirstDrawAfter || (lastDrawn_ && now - *lastDrawn_ < kRedrawInterval)) {
        return;
    }
    lastDrawn_ = now;
    std::string text =
        progressText(done, total, std::chrono::duration<double>(now - start_).count());
    // The last column is left free: a line that reaches it wraps on some terminals.
    if (columns_ > 1 && text.size() > columns_ - 1) {
        text.resize(columns_ - 1);
    }
    // Carriage return and spaces only: old consoles know no escape sequences. A shorter text is
    // padded to cover the whole of the one before it. Appended, not "\r" + text, which GCC 12
    // wrongly warns about (-Wrestrict) when it optimises for Windows.
    std::string line(1, '\r');
    line += text;
    line.append(drawnWidth_ > text.size() ? drawnWidth_ - text.size() : 0, ' ');
    drawnWidth_ = std::max(drawnWidth_, text.size());
    const std::string erase = eraseText(std::min(drawnWidth_, kLongestErase - 2));
    eraseOnInterruptLength.store(0);
    std::memcpy(eraseOnInterrupt, erase.data(), erase.size());
    eraseOnInterruptLength.store(erase.size());
    out_->write(line.data(), static_cast<std::streamsize>(line.size()));
    out_->flush();
}

void ProgressLine::erase() {
    if (drawnWidth_ == 0) {
        return;
    }
    eraseOnInterruptLength.store(0);
    const std::string blank = eraseText(drawnWidth_);
    out_->write(blank.data(), static_cast<std::streamsize>(blank.size()));
    out_->flush();
    drawnWidth_ = 0;
}

}  // namespace tessaloom::cli
