// The progress line: one line on standard error, rewritten in place while a long command works,
// and gone before the command writes its report.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <iostream>
#include <optional>
#include <string>

#include "engine/file_reader.h"
#include "engine/types.h"

namespace tessaloom::cli {

// The text of the line after seconds of work: the bytes done, of the total with a whole percent
// when the total is known, the throughput, and the time left when it can be estimated. Sizes are
// in B, KiB, MiB, GiB (one decimal past bytes); the text always fits in 79 columns, so that it
// never wraps on an 80-column terminal.
std::string progressText(std::uint64_t done, std::optional<std::uint64_t> total, double seconds);

// What a command writes to standard output while its work goes on.
enum class CommandOutput {
    kReportWhenDone,   // nothing until the work is over, then the report
    kWrittenAsItGoes,  // output that shows on the terminal as it is made, like a dump
};

// Whether a command should show the line: only when standard error is a terminal, and, for
// output written as it goes, when standard output is a file: on the terminal that output is its
// own progress, and a pipe usually leads to a pager, whose screen the line would draw over.
bool progressWanted(CommandOutput output);

// Draws the line once the work has run for half a second, and redraws it at most five times a
// second; each update reads the clock once and does nothing else unless it draws. Disabled, it
// neither writes nor reads the clock. The text is cut to the terminal's width, so that it never
// wraps; should a signal end the run, the line is erased first.
class ProgressLine {
  public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    // The work is taken to start now. columns is the terminal's width; 0 when not known.
    explicit ProgressLine(bool enabled, std::ostream& out = std::cerr,
                          Clock clock = &std::chrono::steady_clock::now,
                          std::size_t columns = terminalColumns());
    ~ProgressLine();
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    // Called once per chunk of the work with the bytes done so far and the total, if known.
    void update(std::uint64_t done, std::optional<std::uint64_t> total);

    // Shows how far reader has got.
    void follow(FileReader& reader);
    // Shows how far the further of two readers read side by side has got, of the longer input.
    void follow(FileReader& a, FileReader& b);

    // Leaves the terminal as it was before the line was drawn; does nothing when nothing is
    // drawn. A later update draws the line again.
    void erase();

    // The width of the terminal that the line is drawn on; 0 when not known.
    static std::size_t terminalColumns();

  private:
    bool enabled_;
    std::size_t columns_;
    std::ostream* out_;
    Clock clock_;
    std::chrono::steady_clock::time_point start_;
    std::optional<std::chrono::steady_clock::time_point> lastDrawn_;
    std::size_t drawnWidth_ = 0;  // columns the line covers on the terminal; 0 when erased
};

}  // namespace tessaloom::cli
