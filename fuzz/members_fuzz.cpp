// The archive walkers: whatever the bytes, each member lies inside the archive, the walk ends
// within the archive's size, and a member's content reads as long as it says.
#include <algorithm>
#include <array>
#include <string_view>

#include "engine/scan/members.h"
#include "fuzz_support.h"

namespace {

constexpr std::array<std::string_view, 4> kFormats{"zip", "tar", "cpio", "squashfs"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using tessaloom::fuzz::check;
    tessaloom::fuzz::FuzzInput input(data, size);
    const std::string_view format = kFormats[input.byte() % kFormats.size()];
    const tessaloom::ByteView bytes = input.rest();
    tessaloom::SpanSource archive(bytes);
    tessaloom::scan::PayloadBudget budget(std::uint64_t{1} << 20, std::uint64_t{4} << 20);
    std::uint64_t seen = 0;
    tessaloom::ByteBuffer piece(4096);
    const tessaloom::Result<tessaloom::scan::MembersEnd> end = tessaloom::scan::walkMembers(
        archive, format, budget,
        [&](const tessaloom::scan::Member& member, tessaloom::ByteSource& content) {
            ++seen;
            check(member.offset <= bytes.size(), "a member starts inside the archive");
            check(seen <= bytes.size() + 1, "the walk is bounded by the archive's size");
            if (member.unreadable.empty() && member.kind == tessaloom::scan::MemberKind::kFile) {
                const tessaloom::Result<std::size_t> got = content.readAt(0, piece);
                check(got.ok() || got.failure().kind == tessaloom::Failure::Kind::kMemory,
                      "a member's content reads but where the budget is spent");
                if (got) {
                    check(*got == std::min<std::uint64_t>(piece.size(), content.size()),
                          "the content reads as long as it is");
                }
            }
            return true;
        });
    check(end.ok(), "an archive in memory is always read");
    check(end->members == seen, "the end counts the members handed out");
    return 0;
}
