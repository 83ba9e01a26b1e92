#include "scan.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>

#include "formats/decoder.h"
#include "scan/members.h"
#include "scan/payload.h"
#include "scan/signature.h"

namespace tessaloom {

namespace {

using scan::Interior;
using scan::Signature;

// The input is read a block at a time, with the bytes that a magic starting near the block's end
// needs behind it; a block that stays in the processor's cache while the loop goes over it.
constexpr std::size_t kBlockSize = std::size_t{128} << 10;

// Every row, and for each pair of first magic bytes whether a row begins with it: a position is
// looked at further only where one does.
class Table {
  public:
    Table() {
        for (const auto family :
             {scan::compressedSignatures, scan::archiveSignatures, scan::fileSystemSignatures,
              scan::firmwareSignatures, scan::executableSignatures, scan::mediaSignatures}) {
            for (const Signature& row : family()) {
                byKey_.push_back({key(row.magic), &row});
                longestMagic_ = std::max(longestMagic_, row.magic.size());
                farthestMagic_ = std::max<std::uint64_t>(farthestMagic_, row.magicOffset);
            }
        }
        std::ranges::stable_sort(byKey_, {}, &Keyed::key);
        for (const Keyed& keyed : byKey_) {
            bits_[keyed.key >> 6] |= std::uint64_t{1} << (keyed.key & 63);
        }
    }

    static std::uint16_t key(std::string_view magic) {
        return static_cast<std::uint16_t>(static_cast<std::uint8_t>(magic[0]) |
                                          static_cast<std::uint8_t>(magic[1]) << 8);
    }
    // The first position from `from` on, before `last`, whose byte and the next could begin a
    // magic; `last` when there is none. The loop that every byte of the input passes through.
    std::size_t nextCandidate(const std::uint8_t* bytes, std::size_t from, std::size_t last) const {
        for (std::size_t p = from; p < last; ++p) {
            const unsigned pair = bytes[p] | unsigned{bytes[p + 1]} << 8;
            if (((bits_[pair >> 6] >> (pair & 63)) & 1) != 0) {
                return p;
            }
        }
        return last;
    }
    template <typename OnRow>
    void forEachRow(std::uint16_t pair, OnRow&& onRow) const {
        const auto first = std::ranges::lower_bound(byKey_, pair, {}, &Keyed::key);
        for (auto row = first; row != byKey_.end() && row->key == pair; ++row) {
            onRow(*row->signature);
        }
    }
    std::size_t longestMagic() const { return longestMagic_; }
    std::uint64_t farthestMagic() const { return farthestMagic_; }
    std::vector<std::string> formats() const {
        std::vector<std::string> names;
        for (const Keyed& keyed : byKey_) {
            if (std::ranges::find(names, keyed.signature->format) == names.end()) {
                names.emplace_back(keyed.signature->format);
            }
        }
        std::ranges::sort(names);
        return names;
    }

  private:
    struct Keyed {
        std::uint16_t key;
        const Signature* signature;
    };
    std::vector<Keyed> byKey_;
    std::array<std::uint64_t, 1024> bits_{};
    std::size_t longestMagic_ = 2;
    std::uint64_t farthestMagic_ = 0;
};

const Table& table() {
    static const Table rows;
    return rows;
}

// A hit found, and whether its size is to run to the next object.
struct Found {
    ScanHit hit;
    bool open = false;
    bool skipsInterior = false;
};

// Hands hits on in order of offsets. Hits are found where their magic is, which for a format whose
// magic lies far into it (a tar header's "ustar") is after objects that start later: a hit is held
// until no object found later can start before it. Objects whose interior is not scanned hide the
// hits inside them, as far as their headers were walked (the whole object where its size is
// exact); an object without a size waits for the next one to end it.
class Delivery {
  public:
    Delivery(const ScanHitCallback& onHit, std::uint64_t inputSize)
        : onHit_(onHit), inputSize_(inputSize) {}

    void add(Found found) { pending_.push_back(std::move(found)); }

    // Hands on every hit that starts before `before`.
    void release(std::uint64_t before) {
        // Of hits at one offset the larger comes first: it holds the others.
        std::ranges::stable_sort(pending_, [](const Found& a, const Found& b) {
            return a.hit.offset != b.hit.offset ? a.hit.offset < b.hit.offset
                                                : a.hit.size > b.hit.size;
        });
        std::size_t done = 0;
        for (; done < pending_.size() && pending_[done].hit.offset < before; ++done) {
            Found& found = pending_[done];
            if ((found.hit.offset > coveredFrom_ && found.hit.offset < coveredUntil_) ||
                (last_ && last_->offset == found.hit.offset && last_->format == found.hit.format)) {
                continue;
            }
            if (found.skipsInterior && !found.open &&
                found.hit.offset + found.hit.size > coveredUntil_) {
                coveredFrom_ = found.hit.offset;
                coveredUntil_ = found.hit.offset + found.hit.size;
            }
            deliver(std::move(found));
        }
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(done));
    }

    void finish() {
        release(UINT64_MAX);
        closeOpen(inputSize_);
    }

    std::uint64_t count() const { return count_; }

  private:
    void deliver(Found found) {
        if (!open_.empty() && found.hit.offset > open_.front().offset) {
            closeOpen(found.hit.offset);
        }
        last_ = {found.hit.offset, found.hit.format};
        if (found.open) {
            open_.push_back(std::move(found.hit));
        } else {
            hand(found.hit);
        }
    }
    // Objects without a size (all at one offset) run to the next one that starts after them.
    void closeOpen(std::uint64_t end) {
        for (ScanHit& hit : open_) {
            hit.size = end - hit.offset;
            hand(hit);
        }
        open_.clear();
    }
    void hand(const ScanHit& hit) {
        ++count_;
        onHit_(hit);
    }

    struct Last {
        std::uint64_t offset;
        std::string format;
    };
    const ScanHitCallback& onHit_;
    std::uint64_t inputSize_;
    std::vector<Found> pending_;
    std::vector<ScanHit> open_;
    std::optional<Last> last_;
    // The object whose interior hides the hits that start inside it (not those beside it, at its
    // own offset).
    std::uint64_t coveredFrom_ = 0;
    std::uint64_t coveredUntil_ = 0;
    std::uint64_t count_ = 0;
};

// The pages kept of what a nested scan reads: a payload keeps its own window besides.
constexpr std::size_t kNestedPages = 8;

class DeepScan;

// A member's name as it may be shown.
std::string memberName(const std::string& name) {
    return formats::safeText(
        ByteView(reinterpret_cast<const std::uint8_t*>(name.data()), name.size()));
}

// One scan over source, whose objects lie inside those of `path` (none at the top): each hit
// handed to onHit with its path and counted in `count`, then, in a deep scan, scanned inside.
Result<void> scanLevel(ByteSource& source, const ScanHitCallback& onHit, const ScanOptions& options,
                       DeepScan* deep, const std::vector<ScanStep>& path, std::uint64_t& count);

// What a deep scan shares between its levels: the budget of decoded bytes, and whether the limit
// in all was reported.
class DeepScan {
  public:
    explicit DeepScan(const ScanOptions& options)
        : options_(options), budget_(options.deepLimits.perObject, options.deepLimits.total) {}

    scan::PayloadBudget& budget() { return budget_; }

    // Scans inside the object hit, which lies in parent.
    Result<void> descend(ByteSource& parent, const ScanHit& hit, const ScanHitCallback& onHit,
                         std::uint64_t& count) {
        const bool payload = scan::hasPayload(hit.format);
        if (!payload && !scan::hasMembers(hit.format)) {
            return {};
        }
        std::vector<ScanStep> inner = hit.path;
        inner.push_back({hit.offset, hit.format, {}});
        if (inner.size() > options_.deepLimits.depth) {
            warn("the depth limit of " + std::to_string(options_.deepLimits.depth), inner);
            return {};
        }
        if (budget_.left() == 0) {
            warnSpent(inner);
            return {};
        }
        SourceWindow window(parent, hit.offset, hit.size);
        if (payload) {
            Result<std::unique_ptr<scan::PayloadSource>> opened =
                scan::openPayload(window, hit.format, budget_);
            if (!opened) {
                return opened.failure();
            }
            scan::PayloadSource& decoded = **opened;
            if (decoded.end().limited) {
                warnCut(decoded.end().cutShort, inner);
            }
            return spared(inner, scanLevel(decoded, onHit, options_, this, inner, count));
        }
        std::optional<Failure> failed;
        const ScanSources* told = options_.sources;
        const Result<scan::MembersEnd> walked = scan::walkMembers(
            window, hit.format, budget_, [&](const scan::Member& member, ByteSource& content) {
                if (told != nullptr && told->member) {
                    told->member(hit, member, content);
                }
                if (member.kind != scan::MemberKind::kFile || content.size() == 0) {
                    return true;
                }
                std::vector<ScanStep> inside = hit.path;
                inside.push_back({hit.offset, hit.format, memberName(member.name)});
                if (budget_.left() == 0) {
                    warnSpent(inside);
                    return false;
                }
                const Result<void> scanned =
                    spared(inside, scanLevel(content, onHit, options_, this, inside, count));
                if (!scanned) {
                    failed = scanned.failure();
                    return false;
                }
                // A compressed member that a limit cut short was scanned as far as it decoded.
                if (member.limited) {
                    warnCut(member.cutShort, inside);
                }
                return true;
            });
        if (failed) {
            return *failed;
        }
        if (!walked) {
            return walked.failure();
        }
        if (told != nullptr && told->stoppedShort && !walked->stoppedShort.empty()) {
            told->stoppedShort(hit, walked->stoppedShort);
        }
        return {};
    }

  private:
    // A nested scan that the budget in all stopped ends there, with its warning; any other
    // failure ends the whole scan.
    Result<void> spared(const std::vector<ScanStep>& where, Result<void> scanned) {
        if (!scanned && scanned.failure().kind == Failure::Kind::kMemory && budget_.left() == 0) {
            warnSpent(where);
            return {};
        }
        return scanned;
    }
    // A payload that a limit cut short: the limit in all once, a limit per object each time.
    void warnCut(const std::string& cutShort, const std::vector<ScanStep>& where) {
        if (budget_.left() == 0) {
            warnSpent(where);
        } else {
            warn(cutShort, where);
        }
    }
    void warnSpent(const std::vector<ScanStep>& where) {
        if (!spentTold_) {
            spentTold_ = true;
            warn(scan::totalLimitText(budget_), where);
        }
    }
    void warn(std::string limit, const std::vector<ScanStep>& where) {
        if (options_.warning) {
            options_.warning({std::move(limit), where});
        }
    }

    const ScanOptions& options_;
    scan::PayloadBudget budget_;
    bool spentTold_ = false;
};

// The validators of a nested scan decode within what is left of the deep scan's budget, and what
// they decoded is charged to it.
class NestedAllowance {
  public:
    NestedAllowance(scan::DecodingAllowance& allowance, scan::PayloadBudget& budget)
        : allowance_(allowance), budget_(budget) {
        allowance_.left = std::min(allowance_.left, budget_.left());
        given_ = allowance_.left;
    }
    ~NestedAllowance() { budget_.take(given_ - std::min(given_, allowance_.left)); }
    NestedAllowance(const NestedAllowance&) = delete;
    NestedAllowance& operator=(const NestedAllowance&) = delete;

  private:
    scan::DecodingAllowance& allowance_;
    scan::PayloadBudget& budget_;
    std::uint64_t given_ = 0;
};

Result<void> scanLevel(ByteSource& source, const ScanHitCallback& onHit, const ScanOptions& options,
                       DeepScan* deep, const std::vector<ScanStep>& path, std::uint64_t& count) {
    const Table& rows = table();
    const std::uint64_t size = source.size();
    const bool top = path.empty();
    CachedSource cached(source, CachedSource::kDefaultPageSize,
                        top ? CachedSource::kDefaultPages : kNestedPages);
    std::optional<Failure> nestedFailure;
    const ScanHitCallback handed = [&](const ScanHit& hit) {
        ++count;
        ScanHit inside = hit;
        inside.path = path;
        if (options.sources != nullptr && options.sources->hit) {
            options.sources->hit(inside, cached);
        }
        onHit(inside);
        if (deep != nullptr && !nestedFailure) {
            ScanHit parent = hit;
            parent.path = path;
            const Result<void> nested = deep->descend(cached, parent, onHit, count);
            if (!nested) {
                nestedFailure = nested.failure();
            }
        }
    };
    Delivery delivery(handed, size);
    scan::DecodingAllowance allowance(size);
    std::optional<NestedAllowance> nestedAllowance;
    if (deep != nullptr && !top) {
        nestedAllowance.emplace(allowance, deep->budget());
    }
    ByteBuffer block(
        static_cast<std::size_t>(std::min<std::uint64_t>(size, kBlockSize + rows.longestMagic())));
    // The object whose interior the scan passes over, while it does.
    std::uint64_t skipFrom = 0;
    std::uint64_t skipUntil = 0;
    for (std::uint64_t base = 0; base < size; base += kBlockSize) {
        const std::size_t wanted =
            static_cast<std::size_t>(std::min<std::uint64_t>(block.size(), size - base));
        const Result<std::size_t> got = source.readAt(base, std::span(block).first(wanted));
        if (!got) {
            return got.failure();
        }
        const std::size_t length = *got;
        const std::size_t examined = std::min(length, kBlockSize);
        const std::uint8_t* bytes = block.data();
        // The positions whose two bytes, with the one after them inside the block, could start
        // a magic.
        const std::size_t last = std::min(examined, length - 1);
        for (std::size_t p = rows.nextCandidate(bytes, 0, last); p < last;
             p = rows.nextCandidate(bytes, p + 1, last)) {
            const auto pair = static_cast<std::uint16_t>(bytes[p] | bytes[p + 1] << 8);
            std::optional<Failure> failed;
            rows.forEachRow(pair, [&](const Signature& row) {
                const std::uint64_t position = base + p;
                if (failed || row.magic.size() > length - p ||
                    std::memcmp(bytes + p, row.magic.data(), row.magic.size()) != 0 ||
                    position < row.magicOffset) {
                    return;
                }
                const std::uint64_t start = position - row.magicOffset;
                if (start > skipFrom && start < skipUntil) {
                    return;
                }
                SourceWindow window(cached, start, size - start);
                scan::Candidate object(window, allowance);
                std::optional<scan::Object> found = row.validate(object);
                if (object.failure()) {
                    failed = object.failure();
                    return;
                }
                if (!found) {
                    return;
                }
                Found hit;
                hit.hit.offset = start;
                hit.hit.format = std::string(row.format);
                hit.hit.description = std::move(found->description);
                hit.hit.fields = std::move(found->fields);
                hit.open = !found->size;
                hit.hit.size = std::min(found->size.value_or(0), size - start);
                hit.hit.sizeExact = found->size && found->exact && *found->size <= size - start;
                hit.skipsInterior = row.interior == Interior::kSkipped;
                if (hit.skipsInterior && !hit.open && start + hit.hit.size > skipUntil) {
                    skipFrom = start;
                    skipUntil = start + hit.hit.size;
                }
                delivery.add(std::move(hit));
            });
            if (failed) {
                return *failed;
            }
        }
        const std::uint64_t next = base + examined;
        // A hit whose magic lies in a later block starts at least this far back from it.
        delivery.release(next > rows.farthestMagic() ? next - rows.farthestMagic() : 0);
        if (nestedFailure) {
            return *nestedFailure;
        }
        if (top && options.progress) {
            options.progress({next, size});
        }
    }
    delivery.finish();
    if (nestedFailure) {
        return *nestedFailure;
    }
    return {};
}

}  // namespace

DeepLimits deepLimitsFor(std::uint64_t perObject) {
    DeepLimits limits;
    limits.perObject = perObject;
    limits.total = perObject > UINT64_MAX / 4 ? UINT64_MAX : perObject * 4;
    return limits;
}

Result<ScanSummary> scanObjects(ByteSource& source, const ScanHitCallback& onHit,
                                const ScanOptions& options) {
    std::optional<DeepScan> deep;
    if (options.deep) {
        deep.emplace(options);
    }
    std::uint64_t count = 0;
    const Result<void> scanned =
        scanLevel(source, onHit, options, deep ? &*deep : nullptr, {}, count);
    if (!scanned) {
        return scanned.failure();
    }
    return ScanSummary{count, source.size()};
}

Result<ScanSummary> scanObjects(FileReader& reader, const ScanHitCallback& onHit,
                                const ScanOptions& options) {
    if (reader.error()) {
        return Failure{
            Failure::Kind::kRead, reader.path(), reader.error()->reason, reader.error()->code, {}};
    }
    std::unique_ptr<Spool> spool;
    ByteSource* source = reader.source();
    if (source == nullptr) {
        spool = spoolStream(reader, options.streamLimit);
        source = spool.get();
    }
    Result<ScanSummary> summary = scanObjects(*source, onHit, options);
    if (!summary && summary.failure().path.empty()) {
        Failure failure = summary.failure();
        failure.path = reader.path();
        return failure;
    }
    return summary;
}

std::vector<std::string> scanFormats() {
    return table().formats();
}

}  // namespace tessaloom
