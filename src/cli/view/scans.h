// The viewer's long work over whole files, done a bounded step at a time between two looks at the
// keyboard, so that a scan of a 100 GiB file never freezes the screen and Esc can stop it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "analysis.h"
#include "engine/types.h"

namespace tessaloom::cli::view {

class Document;

// How many bytes of each file one step reads: a few milliseconds of work.
inline constexpr std::size_t kScanStep = std::size_t{2} << 20;

// A scan for one position, forwards or backwards from a starting offset.
class Seek {
  public:
    virtual ~Seek() = default;
    // Does one step; true when the scan has finished (found() says whether it found anything).
    virtual bool step() = 0;
    std::optional<std::uint64_t> found() const { return found_; }
    // How much of its range the scan has covered, 0 to 1.
    virtual double done() const = 0;
    // What it is doing, for the status line: "Searching", "Looking for a difference".
    virtual std::string what() const = 0;

  protected:
    std::optional<std::uint64_t> found_;
};

// The next occurrence of pattern starting after offset `from`, or the last starting before it:
// the engine's findInRange over the edited document, a step of its range at a time.
class SearchSeek : public Seek {
  public:
    SearchSeek(Document& document, BytePattern pattern, std::uint64_t from, bool forward);
    bool step() override;
    double done() const override;
    std::string what() const override { return "Searching"; }

  private:
    Document& document_;
    BytePattern pattern_;
    bool forward_;
    std::uint64_t start_;
    std::uint64_t next_;  // forwards: the first start not yet tried; backwards: one past the last
};

// The start of the next run of bytes that differ between a and b after offset `from`, or of the
// run that ends before it. Positions that only one file has differ.
class DifferenceSeek : public Seek {
  public:
    DifferenceSeek(Document& a, Document& b, std::uint64_t from, bool forward);
    bool step() override;
    double done() const override;
    std::string what() const override { return "Looking for a difference"; }

  private:
    Document& a_;
    Document& b_;
    bool forward_;
    std::uint64_t start_;
    std::uint64_t next_;
    std::uint64_t end_;
    bool inRun_;  // still inside the run the scan set off from (forwards), or found (backwards)
    ByteBuffer bufferA_;
    ByteBuffer bufferB_;
};

// The class of each of `cells` equal stretches of a file, filled a step at a time. A stretch
// larger than a few MiB is judged by evenly spread samples, so that the map of a file of any size
// is made in seconds.
class RegionMap {
  public:
    RegionMap() = default;
    RegionMap(std::uint64_t size, std::size_t cells);
    // One step; false when every cell is known.
    bool step(Document& document);
    bool complete() const { return next_ >= cells_.size(); }
    double done() const;
    const std::vector<RegionClass>& cells() const { return cells_; }
    std::uint64_t cellStart(std::size_t cell) const;
    std::size_t cellOf(std::uint64_t offset) const;

  private:
    std::uint64_t size_ = 0;
    std::vector<RegionClass> cells_;
    std::size_t next_ = 0;
    std::size_t window_ = 0;  // the next sample of the current cell
    ByteCounts counts_{};
    std::uint64_t counted_ = 0;
    ByteBuffer buffer_;
};

// Counts the positions at which two files differ, from the start on, a step at a time.
class DifferenceCount {
  public:
    DifferenceCount() = default;
    explicit DifferenceCount(std::uint64_t length) : length_(length) {}
    bool step(Document& a, Document& b);
    bool complete() const { return counted_ >= length_; }
    double done() const;
    std::uint64_t count() const { return count_; }
    // A byte of A changed at offset, where it differed from B (before) and now does or does not.
    void changed(std::uint64_t offset, bool before, bool after);

  private:
    std::uint64_t length_ = 0;
    std::uint64_t counted_ = 0;
    std::uint64_t count_ = 0;
    ByteBuffer bufferA_;
    ByteBuffer bufferB_;
};

}  // namespace tessaloom::cli::view
