#include "members.h"

#include <algorithm>
#include <array>
#include <optional>

#include "../hex_text.h"
#include "archive_layouts.h"
#include "squashfs.h"

namespace tessaloom::scan {

namespace {

using Callback = std::function<bool(const Member&, ByteSource&)>;

// What a link's target or a long name may take: more than any file system allows in a path.
constexpr std::uint64_t kMaxText = std::uint64_t{64} << 10;
// A pax extended header is read whole up to this size; larger ones are not those of archivers.
constexpr std::uint64_t kMaxPax = std::uint64_t{1} << 20;

std::string at(std::uint64_t offset) {
    return "0x" + hexNumber(offset);
}

// Up to kMaxText bytes of source from offset, up to the first NUL.
std::string rawAt(ByteSource& source, std::uint64_t offset, std::uint64_t length);

std::string textAt(ByteSource& source, std::uint64_t offset, std::uint64_t length) {
    std::string text = rawAt(source, offset, length);
    const std::size_t nul = text.find('\0');
    return nul == std::string::npos ? text : text.substr(0, nul);
}

// The length bytes at offset as they are, NUL bytes and all (a name field).
std::string rawAt(ByteSource& source, std::uint64_t offset, std::uint64_t length) {
    std::string text(static_cast<std::size_t>(std::min(length, kMaxText)), '\0');
    const Result<std::size_t> got =
        source.readAt(offset, std::span(reinterpret_cast<std::uint8_t*>(text.data()), text.size()));
    text.resize(got ? *got : 0);
    return text;
}

std::string text(ByteView bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

MemberKind kindOfMode(std::uint64_t mode) {
    switch (mode & 0170000) {
        case 0100000:
            return MemberKind::kFile;
        case 040000:
            return MemberKind::kDirectory;
        case 0120000:
            return MemberKind::kSymbolicLink;
        default:
            return MemberKind::kDevice;
    }
}

// ---------------------------------------------------------------------------------------------
// tar

// The path and linkpath records of a pax extended header: "<length> <key>=<value>\n" each.
void readPax(std::string_view records, std::optional<std::string>& path,
             std::optional<std::string>& linkPath) {
    for (std::size_t pos = 0; pos < records.size();) {
        const std::size_t space = records.find(' ', pos);
        if (space == std::string_view::npos || space == pos || space - pos > 20) {
            return;
        }
        std::uint64_t length = 0;
        for (std::size_t i = pos; i < space; ++i) {
            if (records[i] < '0' || records[i] > '9') {
                return;
            }
            length = length * 10 + static_cast<std::uint64_t>(records[i] - '0');
        }
        if (length <= space + 1 - pos || length > records.size() - pos ||
            records[pos + length - 1] != '\n') {
            return;
        }
        const std::string_view record =
            records.substr(space + 1, pos + static_cast<std::size_t>(length) - 1 - (space + 1));
        const std::size_t equals = record.find('=');
        if (equals != std::string_view::npos) {
            const std::string_view key = record.substr(0, equals);
            if (key == "path") {
                path = std::string(record.substr(equals + 1));
            } else if (key == "linkpath") {
                linkPath = std::string(record.substr(equals + 1));
            }
        }
        pos += static_cast<std::size_t>(length);
    }
}

MemberKind tarKind(std::uint8_t type) {
    switch (type) {
        case 0:
        case '0':
        case '7':
            return MemberKind::kFile;
        case '1':
            return MemberKind::kHardLink;
        case '2':
            return MemberKind::kSymbolicLink;
        case '3':
        case '4':
        case '6':
            return MemberKind::kDevice;
        case '5':
            return MemberKind::kDirectory;
        default:
            return MemberKind::kOther;
    }
}

Result<MembersEnd> walkTarMembers(ByteSource& archive, formats::Bytes& bytes, PayloadBudget&,
                                  const Callback& onMember) {
    MembersEnd end;
    bool stopped = false;
    // What the meta entries before a member say of it.
    std::optional<std::string> longName;
    std::optional<std::string> longLink;
    std::optional<std::string> paxPath;
    std::optional<std::string> paxLink;
    const layout::TarEnd walked = layout::walkTar(bytes, [&](const layout::TarHeader& header) {
        switch (header.type) {
            case 'L':
                longName = textAt(archive, header.data, header.size);
                return true;
            case 'K':
                longLink = textAt(archive, header.data, header.size);
                return true;
            case 'x': {
                std::string records(static_cast<std::size_t>(std::min(header.size, kMaxPax)), 0);
                const Result<std::size_t> got = archive.readAt(
                    header.data,
                    std::span(reinterpret_cast<std::uint8_t*>(records.data()), records.size()));
                records.resize(got ? *got : 0);
                readPax(records, paxPath, paxLink);
                return true;
            }
            case 'g':
                return true;
            default:
                break;
        }
        Member member;
        member.kind = tarKind(header.type);
        member.name = paxPath    ? *paxPath
                      : longName ? *longName
                                 : text(layout::tarHeaderName(*header.block));
        member.linkTarget = paxLink    ? *paxLink
                            : longLink ? *longLink
                                       : text(layout::tarText(*header.block, 157, 100));
        member.offset = header.data;
        member.size = member.kind == MemberKind::kFile ? header.size : 0;
        longName.reset();
        longLink.reset();
        paxPath.reset();
        paxLink.reset();
        SourceWindow content(archive, member.offset, member.size);
        ++end.members;
        stopped = !onMember(member, content);
        return !stopped;
    });
    if (!stopped) {
        end.stoppedShort = walked.stoppedShort;
    }
    return end;
}

// ---------------------------------------------------------------------------------------------
// cpio

Result<MembersEnd> walkCpioMembers(ByteSource& archive, formats::Bytes& bytes, PayloadBudget&,
                                   const Callback& onMember) {
    MembersEnd end;
    const std::optional<layout::CpioKind> kind = layout::cpioKind(bytes);
    if (!kind) {
        end.stoppedShort = "it does not begin with a cpio header";
        return end;
    }
    const bool newc = *kind == layout::CpioKind::kNewc || *kind == layout::CpioKind::kCrc;
    std::uint64_t offset = 0;
    for (std::uint64_t headers = 0;; ++headers) {
        if (headers == layout::kMaxEntries) {
            end.stoppedShort =
                "the archive lists more than " + std::to_string(layout::kMaxEntries) + " entries";
            return end;
        }
        if (offset >= archive.size()) {
            end.stoppedShort = "the archive ends before its trailer";
            return end;
        }
        const std::optional<layout::CpioEntry> entry = layout::cpioEntry(bytes, offset, *kind);
        if (!entry) {
            end.stoppedShort = "the header at " + at(offset) + " is damaged";
            return end;
        }
        if (entry->trailer) {
            return end;
        }
        if (!archive.holds(entry->data, entry->size)) {
            end.stoppedShort = "the entry at " + at(offset) + " runs past the archive's end";
            return end;
        }
        Member member;
        member.name = text(entry->name);
        member.kind = kindOfMode(entry->mode);
        member.offset = entry->data;
        member.size = entry->size;
        if (member.kind == MemberKind::kSymbolicLink) {
            member.linkTarget = textAt(archive, entry->data, entry->size);
        } else if (member.kind == MemberKind::kFile && newc && entry->links > 1 &&
                   entry->size == 0) {
            // newc keeps the data of files linked to each other with the last of them.
            member.kind = MemberKind::kHardLink;
        }
        if (member.kind != MemberKind::kFile) {
            member.size = 0;
        }
        SourceWindow content(archive, member.offset, member.size);
        ++end.members;
        if (!onMember(member, content)) {
            return end;
        }
        offset = entry->next;
    }
}

// ---------------------------------------------------------------------------------------------
// zip

constexpr std::uint64_t kStored = 0;
constexpr std::uint64_t kDeflated = 8;
constexpr std::uint64_t kUnixHost = 3;

// Hands out one entry: its kind from its name and Unix mode, its content stored or inflated.
bool zipMember(ByteSource& archive, PayloadBudget& budget, const Callback& onMember, Member& member,
               std::uint64_t method, std::uint64_t flags, std::uint64_t compressed) {
    SourceWindow stored(archive, member.offset, compressed);
    std::unique_ptr<PayloadSource> payload;
    if (!member.name.empty() && member.name.back() == '/') {
        member.kind = MemberKind::kDirectory;
    }
    ByteSource* content = &stored;
    if ((flags & 1) != 0) {
        member.unreadable = "it is encrypted";
    } else if (method == kDeflated) {
        Result<std::unique_ptr<PayloadSource>> opened = openPayload(stored, "deflate", budget);
        if (opened) {
            payload = std::move(*opened);
            content = payload.get();
            member.cutShort = payload->end().cutShort;
            member.limited = payload->end().limited;
        } else {
            member.unreadable = "its deflated data cannot be decoded: " + opened.failure().reason;
        }
    } else if (method != kStored) {
        member.unreadable =
            "it is compressed by method " + std::to_string(method) + ", which is not decoded here";
    }
    SourceWindow nothing(archive, 0, 0);
    if (!member.unreadable.empty()) {
        content = &nothing;
    }
    member.size = content->size();
    if (member.kind == MemberKind::kSymbolicLink) {
        member.linkTarget = textAt(*content, 0, member.size);
    }
    if (member.kind != MemberKind::kFile) {
        member.size = 0;
        content = &nothing;
    }
    return onMember(member, *content);
}

MemberKind zipKind(std::uint64_t madeBy, std::uint64_t attributes) {
    const std::uint64_t mode = attributes >> 16;
    return (madeBy >> 8) == kUnixHost && (mode & 0170000) != 0 ? kindOfMode(mode)
                                                               : MemberKind::kFile;
}

Result<MembersEnd> walkZipMembers(ByteSource& archive, formats::Bytes& bytes, PayloadBudget& budget,
                                  const Callback& onMember) {
    MembersEnd end;
    const layout::ZipWalk walk = layout::walkZip(bytes);
    if (walk.end) {
        std::uint64_t offset = walk.end->directory;
        for (std::uint64_t i = 0; i < walk.end->entries; ++i) {
            const std::optional<layout::ZipCentral> central =
                layout::zipCentralHeader(bytes, offset);
            if (!central) {
                end.stoppedShort = "the directory header at " + at(offset) + " is damaged";
                return end;
            }
            offset = central->next;
            const std::uint64_t local = central->localOffset - walk.end->offsetBase();
            const std::optional<layout::ZipLocal> header =
                central->localOffset >= walk.end->offsetBase()
                    ? layout::zipLocalHeader(bytes, local)
                    : std::nullopt;
            if (!header || !archive.holds(header->data, central->compressed)) {
                end.stoppedShort = "the local header of entry " + std::to_string(i + 1) +
                                   " is damaged or lies outside the archive";
                return end;
            }
            Member member;
            member.name = rawAt(archive, central->nameOffset, central->nameLength);
            member.kind = zipKind(central->madeBy, central->externalAttributes);
            member.offset = header->data;
            ++end.members;
            if (!zipMember(archive, budget, onMember, member, central->method, central->flags,
                           central->compressed)) {
                return end;
            }
        }
        return end;
    }
    // No directory: the local headers, as far as their sizes lead.
    std::uint64_t offset = 0;
    for (std::uint64_t i = 0; i < layout::kMaxEntries && offset < archive.size(); ++i) {
        const std::optional<layout::ZipLocal> header = bytes.matches(offset, layout::kZipLocal)
                                                           ? layout::zipLocalHeader(bytes, offset)
                                                           : std::nullopt;
        if (!header) {
            end.stoppedShort = "the archive has no central directory, and the header at " +
                               at(offset) + " is not a local one";
            return end;
        }
        if (header->sizesAfterData || !archive.holds(header->data, header->compressed)) {
            end.stoppedShort = "the archive has no central directory, and the entry at " +
                               at(offset) +
                               (header->sizesAfterData ? " gives its sizes only after its data"
                                                       : " runs past the archive's end");
            return end;
        }
        Member member;
        member.name = rawAt(archive, header->nameOffset, header->nameLength);
        member.offset = header->data;
        ++end.members;
        if (!zipMember(archive, budget, onMember, member, header->method, header->flags,
                       header->compressed)) {
            return end;
        }
        offset = header->next;
    }
    return end;
}

Result<MembersEnd> walkSquashfs(ByteSource& archive, formats::Bytes&, PayloadBudget& budget,
                                const Callback& onMember) {
    return walkSquashfsMembers(archive, budget, onMember);
}

using Walker = Result<MembersEnd> (*)(ByteSource&, formats::Bytes&, PayloadBudget&,
                                      const Callback&);

struct Walkable {
    std::string_view format;
    Walker walk;
};

constexpr std::array<Walkable, 4> kWalkers{{
    {"zip", walkZipMembers},
    {"tar", walkTarMembers},
    {"cpio", walkCpioMembers},
    {"squashfs", walkSquashfs},
}};

const Walkable* walkerOf(std::string_view format) {
    const auto found = std::ranges::find(kWalkers, format, &Walkable::format);
    return found == kWalkers.end() ? nullptr : &*found;
}

}  // namespace

bool hasMembers(std::string_view format) {
    return walkerOf(format) != nullptr;
}

Result<MembersEnd> walkMembers(ByteSource& archive, std::string_view format, PayloadBudget& budget,
                               const std::function<bool(const Member&, ByteSource&)>& onMember) {
    const Walkable* walkable = walkerOf(format);
    if (walkable == nullptr) {
        return MembersEnd{0, "the format lists no members"};
    }
    CachedSource cached(archive);
    formats::Bytes bytes(cached);
    Result<MembersEnd> end = walkable->walk(cached, bytes, budget, onMember);
    if (bytes.failure()) {
        return *bytes.failure();
    }
    return end;
}

}  // namespace tessaloom::scan
