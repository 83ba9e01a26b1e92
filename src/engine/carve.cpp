#include "carve.h"

#include <algorithm>
#include <array>
#include <filesystem>
#include <set>
#include <system_error>

#include "formats/decoder.h"
#include "hex_text.h"
#include "output_file.h"
#include "platform/output_target.h"
#include "scan/members.h"
#include "scan/payload.h"

namespace tessaloom {

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kPiece = std::size_t{64} << 10;
constexpr std::size_t kMaxComponent = 255;

std::string objectName(const ScanHit& hit) {
    std::string name = "0x";
    name += hexNumber(hit.offset);
    return name.append(".").append(hit.format);
}

std::string shown(std::string_view text) {
    return formats::safeText(
        ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

std::string bytesText(std::uint64_t count) {
    return std::to_string(count) + (count == 1 ? " byte" : " bytes");
}

// Copies length bytes of source from offset into the file at path, replaced only once whole.
Result<void> copyOut(ByteSource& source, std::uint64_t offset, std::uint64_t length,
                     const std::string& path) {
    OutputFile output(path, {.finalSize = length, .source = nullptr});
    ByteBuffer piece(static_cast<std::size_t>(std::min<std::uint64_t>(length, kPiece)));
    for (std::uint64_t done = 0; done < length;) {
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(kPiece, length - done));
        const Result<std::size_t> got = source.readAt(offset + done, std::span(piece).first(n));
        if (!got) {
            return got.failure();
        }
        if (*got != n) {
            return Failure{
                Failure::Kind::kRead, "", "The input ended before the object did", 0, {}};
        }
        if (!output.write(ByteView(piece).first(n))) {
            return output.failure();
        }
        done += n;
    }
    if (!output.commit()) {
        return output.failure();
    }
    return {};
}

// Names Windows keeps for devices in every folder, whatever the extension after them.
bool reservedName(std::string_view component) {
    static constexpr std::array<std::string_view, 4> kDevices{"CON", "PRN", "AUX", "NUL"};
    std::string base(component.substr(0, component.find('.')));
    while (!base.empty() && base.back() == ' ') {
        base.pop_back();
    }
    std::ranges::transform(base, base.begin(), [](char c) {
        return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
    });
    if (std::ranges::find(kDevices, base) != kDevices.end()) {
        return true;
    }
    return base.size() == 4 && (base.starts_with("COM") || base.starts_with("LPT")) &&
           base[3] >= '1' && base[3] <= '9';
}

bool refusedCharacter(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7F || std::string_view("<>:\"|?*").find(c) != std::string::npos;
}

// The component as a file system can hold it, and why it differs where it does.
std::string safeComponent(std::string component, std::string& why) {
    if (std::ranges::any_of(component, refusedCharacter)) {
        std::ranges::replace_if(component, refusedCharacter, '_');
        why = "its name holds characters that file systems refuse";
    }
    if (component.size() > kMaxComponent) {
        std::size_t cut = kMaxComponent;
        while (cut > 0 && (static_cast<unsigned char>(component[cut]) & 0xC0) == 0x80) {
            --cut;  // not inside a UTF-8 sequence
        }
        component.resize(cut);
        why = "a part of its name is longer than 255 bytes";
    }
    if (component.back() == '.' || component.back() == ' ') {
        component.back() = '_';
        why = "a part of its name ends in a dot or a space";
    }
    if (reservedName(component)) {
        component.insert(0, "_");
        why = "a part of its name is one that Windows reserves for a device";
    }
    return component;
}

std::string lowerCase(std::string text) {
    std::ranges::transform(text, text.begin(), [](char c) {
        return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    });
    return text;
}

// Makes the folders along path from base, the first count components, each a real folder that
// is made or was there, never a link. Why not, where one cannot be.
std::string makeFolders(const fs::path& base, const std::vector<std::string>& components,
                        std::size_t count, const std::string& shownBase) {
    fs::path path = base;
    std::string name = shownBase;
    for (std::size_t i = 0; i < count; ++i) {
        path /= components[i];
        name += "/" + components[i];
        // Asked of the system itself: the library's answer on Windows misses links there.
        if (platform::isLink(path.string())) {
            return name + " is a symbolic link";
        }
        std::error_code error;
        const fs::file_status status = fs::symlink_status(path, error);
        if (fs::exists(status)) {
            if (!fs::is_directory(status)) {
                return name + " is there and is not a folder";
            }
            continue;
        }
        if (!fs::create_directory(path, error) && error) {
            return name + " cannot be made: " + error.message();
        }
    }
    return {};
}

// The components of a path under the folder, split at its separators.
std::vector<std::string> split(const std::string& relative) {
    std::vector<std::string> components;
    for (std::size_t start = 0; start <= relative.size();) {
        const std::size_t end = std::min(relative.find('/', start), relative.size());
        components.push_back(relative.substr(start, end - start));
        start = end + 1;
    }
    return components;
}

std::string joined(const std::vector<std::string>& components) {
    std::string path;
    for (const std::string& component : components) {
        path += (path.empty() ? "" : "/") + component;
    }
    return path;
}

// Writes each object under the folder of the one it lies in: at the top, in the folder; inside a
// payload, in "<parent>.d/"; inside an archive's member, in "<member>.d/" beside the member's
// own file. Every name is made of components that memberPath or objectName made safe.
class Carver {
  public:
    Carver(const std::string& folder, const std::function<void(const CarvedObject&)>& onCarved,
           const CarveOptions& options)
        : folder_(folder),
          onCarved_(onCarved),
          options_(options),
          budget_(options.deep
                      ? scan::PayloadBudget(options.deepLimits.perObject, options.deepLimits.total)
                      : scan::PayloadBudget(options.totalLimit, options.totalLimit > UINT64_MAX / 2
                                                                    ? UINT64_MAX
                                                                    : options.totalLimit * 2)) {}

    CarveSummary summary;
    std::optional<Failure> failed;

    void object(const ScanHit& hit, ByteSource& within) {
        ++summary.objects;
        const std::size_t depth = hit.path.size();
        std::string folder;
        std::string why;
        if (depth > 0) {
            folder = childFolder(hit, why);
        }
        levels_.resize(std::min(levels_.size(), depth));
        const std::string name = (folder.empty() ? "" : folder + "/") + objectName(hit);
        CarvedObject carved{hit, name, hit.description, why, {}, {}};
        if (carved.reason.empty() && !folder.empty()) {
            carved.reason = madeFolder(folder);
        }
        if (carved.reason.empty() && taken_.contains(lowerCase(name))) {
            carved.reason = "an earlier file has its name";
        }
        const fs::path path = fs::path(folder_) / name;
        if (!carved.reason.empty()) {
            report(carved);
            return;
        }
        levels_.push_back({hit.offset, hit.format, name, {}, {}});
        taken_.insert(lowerCase(name));
        if (const std::string notFile = notAFile(path); !notFile.empty()) {
            carved.reason = notFile;
        } else if (hit.size > room()) {
            carved.reason = overLimit();
        } else if (Result<void> copied = copyOut(within, hit.offset, hit.size, path.string());
                   !copied) {
            if (!spent(copied.failure(), depth, carved)) {
                return;
            }
        } else {
            wrote(hit.size);
        }
        report(carved);
        SourceWindow window(within, hit.offset, hit.size);
        if (scan::hasPayload(hit.format)) {
            payload(hit, window, name);
        }
        // A deep scan walks the members itself and tells member() of each.
        if (!failed && !options_.deep && scan::hasMembers(hit.format)) {
            members(hit, window, name + ".d");
        }
    }

    // A member of the archive hit that the deep scan walks.
    void member(const ScanHit& archive, const scan::Member& member, ByteSource& content) {
        Level* level = levelOf(archive);
        if (level == nullptr || failed) {
            return;
        }
        levels_.resize(archive.path.size() + 1);
        level = &levels_.back();
        if (!level->archive) {
            level->archive = Archive{level->name + ".d"};
        }
        level->memberFolder.clear();
        std::string written;
        carveMember(*level->archive, archive, member, content, written);
        level->memberFolder = written.empty() ? std::string() : written + ".d";
    }

    void stoppedShort(const ScanHit& archive, const std::string& why) {
        if (const Level* level = levelOf(archive); level != nullptr && !failed) {
            report({archive, level->name + ".d", {}, "the rest of the archive, as " + why, {}, {}});
        }
    }

  private:
    // The archive whose members are being written: its folder, from the carver's folder, and
    // whether that is made.
    struct Archive {
        std::string base;
        bool rootMade = false;
    };
    // An object being looked inside, one for each level of nesting: where its file is, and, for an
    // archive, where the objects inside the member walked now go.
    struct Level {
        std::uint64_t offset = 0;
        std::string format;
        std::string name;
        std::optional<Archive> archive;
        std::string memberFolder;  // empty where the member has no file of its own
    };

    Level* levelOf(const ScanHit& hit) {
        const std::size_t depth = hit.path.size();
        if (depth >= levels_.size() || levels_[depth].offset != hit.offset ||
            levels_[depth].format != hit.format) {
            return nullptr;
        }
        return &levels_[depth];
    }

    // The folder that the nested hit goes into, or why it has none.
    std::string childFolder(const ScanHit& hit, std::string& why) const {
        const std::size_t depth = hit.path.size();
        const ScanStep& step = hit.path.back();
        if (depth > levels_.size() || levels_[depth - 1].offset != step.offset ||
            levels_[depth - 1].format != step.format) {
            why = "the object it lies in was not written";
            return {};
        }
        const Level& parent = levels_[depth - 1];
        if (step.member.empty()) {
            return parent.name + ".d";
        }
        if (parent.memberFolder.empty()) {
            why = "the member it lies in has no file";
            return parent.name + ".d/" + step.member + ".d";  // only to be shown
        }
        return parent.memberFolder;
    }

    // Makes the folder at relative, a path of safe components, each a real folder.
    std::string madeFolder(const std::string& relative) {
        const std::vector<std::string> components = split(relative);
        const std::string why = makeFolders(fs::path(folder_), components, components.size(), {});
        return why.empty() ? why : "the folder " + why.substr(1);
    }

    // A copy that the deep scan's limit in all cut short is passed over; false for any other
    // failure, which ends the carving.
    bool spent(const Failure& failure, std::size_t depth, CarvedObject& carved) {
        if (depth > 0 && failure.kind == Failure::Kind::kMemory) {
            carved.reason = "its bytes pass " + failure.reason;
            return true;
        }
        failed = failure;
        return false;
    }

    std::uint64_t room() const { return options_.totalLimit - summary.bytes; }

    std::string overLimit() const {
        return "it would take what is written past " + std::to_string(options_.totalLimit) +
               " bytes";
    }

    static std::string notAFile(const fs::path& path) {
        std::error_code error;
        const fs::file_status status = fs::symlink_status(path, error);
        return platform::isLink(path.string()) ||
                       (fs::exists(status) && !fs::is_regular_file(status))
                   ? "there is something there that is not a file"
                   : std::string();
    }

    void wrote(std::uint64_t bytes) {
        ++summary.files;
        summary.bytes += bytes;
    }

    void report(const CarvedObject& carved) {
        if (!carved.reason.empty()) {
            ++summary.skipped;
        }
        onCarved_(carved);
    }

    void payload(const ScanHit& hit, ByteSource& window, const std::string& name) {
        CarvedObject carved{hit, name + ".out", {}, {}, {}, {}};
        const fs::path path = fs::path(folder_) / carved.name;
        if (carved.reason = notAFile(path); !carved.reason.empty()) {
            report(carved);
            return;
        }
        OutputFile output(path.string());
        std::uint64_t written = 0;
        bool tooMuch = false;
        const Result<scan::PayloadEnd> end =
            scan::decodePayload(window, hit.format, budget_, [&](ByteView piece) {
                if (piece.size() > room() - written) {
                    tooMuch = true;
                    return false;
                }
                written += piece.size();
                return output.write(piece);
            });
        if (!end) {
            if (spent(end.failure(), hit.path.size(), carved)) {
                report(carved);
            }
            return;
        }
        if (output.error()) {
            failed = output.failure();
            return;
        }
        if (tooMuch || end->limited) {
            carved.reason = tooMuch ? overLimit() : "its payload passes " + end->cutShort;
            report(carved);
            return;  // dropped without a commit: nothing is left of it
        }
        if (!output.commit()) {
            failed = output.failure();
            return;
        }
        wrote(written);
        carved.description = "payload, " + bytesText(written);
        if (!end->cutShort.empty()) {
            carved.description += ", cut short: " + end->cutShort;
        }
        report(carved);
    }

    void members(const ScanHit& hit, ByteSource& window, const std::string& base) {
        Archive archive{base};
        std::string written;
        const Result<scan::MembersEnd> end = scan::walkMembers(
            window, hit.format, budget_, [&](const scan::Member& member, ByteSource& content) {
                return carveMember(archive, hit, member, content, written);
            });
        if (!end) {
            failed = end.failure();
            return;
        }
        if (!failed && !end->stoppedShort.empty()) {
            report({hit, base, {}, "the rest of the archive, as " + end->stoppedShort, {}, {}});
        }
    }

    // Writes one member under the archive's folder, setting written to its path from the
    // carver's folder where it has one; false where the walk is to stop.
    bool carveMember(Archive& archive, const ScanHit& hit, const scan::Member& member,
                     ByteSource& content, std::string& written) {
        written.clear();
        const std::string& base = archive.base;
        CarvedObject carved{hit, base + "/" + shown(member.name), {}, {}, {}, {}};
        const MemberPath path = memberPath(member.name);
        carved.reason = path.refused.empty() ? skipReason(member) : path.refused;
        if (carved.reason.empty() && path.components.empty()) {
            if (member.kind == scan::MemberKind::kDirectory) {
                return true;  // the archive's own folder
            }
            carved.reason = "its name names no file";
        }
        if (!carved.reason.empty()) {
            report(carved);
            return true;
        }
        if (!archive.rootMade) {
            carved.reason = madeFolder(base);
            if (!carved.reason.empty()) {
                report(carved);
                return false;
            }
            archive.rootMade = true;
        }
        const fs::path root = fs::path(folder_) / base;
        std::vector<std::string> components = path.components;
        std::string key = lowerCase(base + "/" + joined(components));
        const bool folder = member.kind == scan::MemberKind::kDirectory;
        std::string renamed = path.renamed;
        if (!folder && taken_.contains(key)) {
            for (std::size_t n = 2; taken_.contains(key); ++n) {
                components.back() = path.components.back() + "~" + std::to_string(n);
                key = lowerCase(base + "/" + joined(components));
            }
            renamed = "an earlier member has its name";
        }
        carved.reason = makeFolders(root, components, components.size() - (folder ? 0 : 1), base);
        if (!carved.reason.empty()) {
            carved.reason = "its folder " + carved.reason;
            report(carved);
            return true;
        }
        taken_.insert(key);
        if (folder) {
            return true;
        }
        if (!renamed.empty()) {
            carved.renamedFrom = carved.name;
            carved.renameReason = renamed;
        }
        carved.name = base + "/" + joined(components);
        written = carved.name;
        fs::path file = root;
        for (const std::string& component : components) {
            file /= component;
        }
        if (carved.reason = notAFile(file); carved.reason.empty() && content.size() > room()) {
            carved.reason = overLimit();
        }
        if (carved.reason.empty()) {
            if (Result<void> copied = copyOut(content, 0, content.size(), file.string()); !copied) {
                if (!spent(copied.failure(), hit.path.size() + 1, carved)) {
                    return false;
                }
            } else {
                wrote(content.size());
                carved.description = bytesText(content.size());
                if (!member.cutShort.empty()) {
                    carved.description += ", cut short: " + member.cutShort;
                }
            }
        }
        report(carved);
        return true;
    }

    static std::string skipReason(const scan::Member& member) {
        switch (member.kind) {
            case scan::MemberKind::kFile:
            case scan::MemberKind::kDirectory:
                break;
            case scan::MemberKind::kSymbolicLink:
                return "a symbolic link (to \"" + shown(member.linkTarget) + "\") is not made";
            case scan::MemberKind::kHardLink:
                return member.linkTarget.empty()
                           ? "a hard link is not made"
                           : "a hard link (to \"" + shown(member.linkTarget) + "\") is not made";
            case scan::MemberKind::kDevice:
                return "a device, FIFO or socket is not made";
            case scan::MemberKind::kOther:
                return "an entry that is neither a file nor a folder";
        }
        if (!member.unreadable.empty()) {
            return member.unreadable;
        }
        if (member.limited) {
            return "its content passes " + member.cutShort;
        }
        return {};
    }

    const std::string& folder_;
    const std::function<void(const CarvedObject&)>& onCarved_;
    const CarveOptions& options_;
    scan::PayloadBudget budget_;
    std::vector<Level> levels_;
    // The paths of the files written and the folders made for members, from the folder, in lower
    // case: some file systems ignore case.
    std::set<std::string> taken_;
};

}  // namespace

MemberPath memberPath(std::string_view stored) {
    MemberPath path;
    if (stored.empty()) {
        path.refused = "its name is empty";
        return path;
    }
    if (stored.find('\0') != std::string_view::npos) {
        path.refused = "its name holds a NUL byte";
        return path;
    }
    if (stored.front() == '/' || stored.front() == '\\') {
        path.refused = "its name is an absolute path";
        return path;
    }
    if (stored.size() >= 2 && stored[1] == ':' &&
        ((stored[0] >= 'A' && stored[0] <= 'Z') || (stored[0] >= 'a' && stored[0] <= 'z'))) {
        path.refused = "its name begins with a drive letter";
        return path;
    }
    for (std::size_t start = 0; start <= stored.size();) {
        const std::size_t end = std::min(stored.find_first_of("/\\", start), stored.size());
        const std::string_view component = stored.substr(start, end - start);
        start = end + 1;
        if (component.empty() || component == ".") {
            continue;
        }
        if (component == "..") {
            path.components.clear();
            path.refused = "its name leads out of its folder (\"..\")";
            return path;
        }
        path.components.push_back(safeComponent(std::string(component), path.renamed));
    }
    if (stored.find('\\') != std::string_view::npos) {
        path.renamed = "its name holds backslashes, taken as separators of folders";
    }
    return path;
}

std::uint64_t defaultCarveLimit(std::uint64_t inputSize) {
    constexpr std::uint64_t kAllowance = std::uint64_t{64} << 20;
    return inputSize > (UINT64_MAX - kAllowance) / 4 ? UINT64_MAX : inputSize * 4 + kAllowance;
}

Result<CarveSummary> carveObjects(ByteSource& source, const std::string& folder,
                                  const std::function<void(const CarvedObject&)>& onCarved,
                                  const CarveOptions& options) {
    Carver carver(folder, onCarved, options);
    ScanSources sources;
    sources.hit = [&](const ScanHit& hit, ByteSource& within) {
        if (!carver.failed) {
            carver.object(hit, within);
        }
    };
    sources.member = [&](const ScanHit& archive, const scan::Member& member, ByteSource& content) {
        carver.member(archive, member, content);
    };
    sources.stoppedShort = [&](const ScanHit& archive, const std::string& why) {
        carver.stoppedShort(archive, why);
    };
    ScanOptions scanning;
    scanning.progress = options.progress;
    scanning.deep = options.deep;
    scanning.deepLimits = options.deepLimits;
    scanning.warning = options.warning;
    scanning.sources = &sources;
    const Result<ScanSummary> scanned = scanObjects(
        source, [](const ScanHit&) {}, scanning);
    if (!scanned) {
        return scanned.failure();
    }
    if (carver.failed) {
        return *carver.failed;
    }
    return carver.summary;
}

}  // namespace tessaloom
