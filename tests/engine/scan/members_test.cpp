// The member walk against archives that Python's tarfile and zipfile wrote (and a cpio newc and
// squashfs images written to their layouts), with the listings of tar and unzip where the machine
// has them, and against headers that lie.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "engine/scan/encoders.h"
#include "engine/scan/members.h"
#include "engine/scan/squashfs_writer.h"

namespace tessaloom {
namespace {

namespace fs = std::filesystem;
using scan::Member;
using scan::MemberKind;

struct Walked {
    std::vector<std::string> lines;  // "kind size name content" per member
    std::vector<std::string> notes;  // "name: why" for each member cut short or unreadable
    scan::MembersEnd end;
    bool undecoded = false;  // a deflated member whose payload would not open
};

const char* kindName(MemberKind kind) {
    switch (kind) {
        case MemberKind::kFile:
            return "file";
        case MemberKind::kDirectory:
            return "dir";
        case MemberKind::kSymbolicLink:
            return "symlink";
        case MemberKind::kHardLink:
            return "hardlink";
        case MemberKind::kDevice:
            return "device";
        case MemberKind::kOther:
            return "other";
    }
    return "?";
}

Walked walk(ByteView archive, std::string_view format,
            std::uint64_t perPayload = std::uint64_t{1} << 30) {
    SpanSource source(archive);
    scan::PayloadBudget budget(perPayload, std::uint64_t{1} << 30);
    Walked walked;
    const Result<scan::MembersEnd> end =
        scan::walkMembers(source, format, budget, [&](const Member& member, ByteSource& content) {
            if (!member.unreadable.empty()) {
                walked.undecoded = true;
                walked.notes.push_back(member.name + ": " + member.unreadable);
            }
            if (!member.cutShort.empty()) {
                walked.notes.push_back(member.name + ": " + member.cutShort);
            }
            std::string bytes(static_cast<std::size_t>(content.size()), '\0');
            EXPECT_TRUE(content.readAt(
                0, std::span(reinterpret_cast<std::uint8_t*>(bytes.data()), bytes.size())));
            walked.lines.push_back(
                std::string(kindName(member.kind)) + " " + std::to_string(member.size) + " " +
                member.name + " " +
                (member.kind == MemberKind::kSymbolicLink ? member.linkTarget : bytes));
            return true;
        });
    EXPECT_TRUE(end);
    if (end) {
        walked.end = *end;
    }
    return walked;
}

std::string readText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// Each archive the script writes, with the listing of Python's own module ("kind size name
// content" per member) and, where tar or unzip is installed, their list of names.
TEST(MembersTest, WalksArchivesAsTheirWritersListThem) {
    std::random_device device;
    const fs::path dir =
        fs::temp_directory_path() / ("tessaloom-members-" + std::to_string(device()));
    fs::create_directories(dir);
    {
        std::ofstream out(dir / "make.py");
        out << R"(import io, os, shutil, struct, subprocess, sys, tarfile, zipfile
d = sys.argv[1]
files = [('a.txt', b'alpha\n' * 3), ('sub/b.bin', b'bee'), ('c', b''),
         ('L' * 130 + '/long.txt', b'long name')]
def listing(name, rows):
    with open(os.path.join(d, name + '.list'), 'w') as f:
        for row in rows:
            f.write(' '.join(row) + '\n')
def peer(name, command):
    if shutil.which(command[0]):
        out = subprocess.run(command + [os.path.join(d, name)], capture_output=True, check=True)
        with open(os.path.join(d, name + '.peer'), 'wb') as f:
            f.write(out.stdout)
for fmt, name in ((tarfile.GNU_FORMAT, 'gnu.tar'), (tarfile.PAX_FORMAT, 'pax.tar')):
    rows = []
    with tarfile.open(os.path.join(d, name), 'w', format=fmt) as t:
        info = tarfile.TarInfo('sub'); info.type = tarfile.DIRTYPE; t.addfile(info)
        rows.append(('dir', '0', 'sub/', ''))  # tarfile writes a folder's name with a slash
        for n, data in files:
            info = tarfile.TarInfo(n); info.size = len(data)
            t.addfile(info, io.BytesIO(data))
            rows.append(('file', str(len(data)), n, data.decode()))
        info = tarfile.TarInfo('ln'); info.type = tarfile.SYMTYPE; info.linkname = 'a' * 120
        t.addfile(info); rows.append(('symlink', '0', 'ln', 'a' * 120))
        info = tarfile.TarInfo('hard'); info.type = tarfile.LNKTYPE; info.linkname = 'a.txt'
        t.addfile(info); rows.append(('hardlink', '0', 'hard', ''))
        info = tarfile.TarInfo('fifo'); info.type = tarfile.FIFOTYPE
        t.addfile(info); rows.append(('device', '0', 'fifo', ''))
    listing(name, rows)
    peer(name, ['tar', '-tf'])
for method, name in ((zipfile.ZIP_STORED, 'stored.zip'), (zipfile.ZIP_DEFLATED, 'deflated.zip')):
    with zipfile.ZipFile(os.path.join(d, name), 'w', compression=method) as z:
        for n, data in files:
            z.writestr(n, data)
        z.writestr('folder/', b'')
        info = zipfile.ZipInfo('ln'); info.create_system = 3
        info.external_attr = 0o120777 << 16
        z.writestr(info, b'target')
    listing(name, [('file', str(len(data)), n, data.decode()) for n, data in files] +
            [('dir', '0', 'folder/', ''), ('symlink', '0', 'ln', 'target')])
    peer(name, ['unzip', '-Z1'])
# cpio newc as GNU cpio writes it: a header of 13 hexadecimal fields, the name, data, 4-aligned.
out = b''
def entry(name, mode, data, links=1):
    global out
    n = name.encode() + b'\0'
    out += b'070701' + b''.join(b'%08X' % v for v in
        (1, mode, 0, 0, links, 0, len(data), 0, 0, 0, 0, len(n), 0)) + n
    out += b'\0' * (-len(out) % 4) + data
    out += b'\0' * (-len(out) % 4)
entry('bin', 0o40755, b'')
entry('bin/sh', 0o100755, b'#!shell\n')
entry('bin/ln', 0o120777, b'sh')
entry('dev/null', 0o20666, b'')
entry('TRAILER!!!', 0, b'')
open(os.path.join(d, 'newc.cpio'), 'wb').write(out)
listing('newc.cpio', [('dir', '0', 'bin', ''), ('file', '8', 'bin/sh', '#!shell\n'),
                      ('symlink', '0', 'bin/ln', 'sh'), ('device', '0', 'dev/null', '')])
)";
    }
    const std::string command =
        "python3 \"" + (dir / "make.py").string() + "\" \"" + dir.string() + "\" > /dev/null 2>&1";
    if (std::system(command.c_str()) != 0) {
        fs::remove_all(dir);
        GTEST_SKIP() << "python3 is not available";
    }
    bool undecoded = false;
    for (const auto& [name, format] :
         std::vector<std::pair<std::string, std::string>>{{"gnu.tar", "tar"},
                                                          {"pax.tar", "tar"},
                                                          {"stored.zip", "zip"},
                                                          {"deflated.zip", "zip"},
                                                          {"newc.cpio", "cpio"}}) {
        SCOPED_TRACE(name);
        const std::string archive = readText(dir / name);
        const Walked walked =
            walk(ByteView(reinterpret_cast<const std::uint8_t*>(archive.data()), archive.size()),
                 format);
        if (walked.undecoded) {
            undecoded = true;  // the deflate decoder is not there: its members cannot be read
            continue;
        }
        EXPECT_EQ(walked.end.stoppedShort, "");
        std::string listed = readText(dir / (name + ".list"));
        // The contents hold newlines of their own: compare the whole text.
        std::string ours;
        for (const std::string& line : walked.lines) {
            ours += line + "\n";
        }
        EXPECT_EQ(ours, listed);
        if (fs::exists(dir / (name + ".peer"))) {
            std::vector<std::string> names;
            for (const std::string& line : walked.lines) {
                const std::size_t name0 = line.find(' ', line.find(' ') + 1) + 1;
                names.push_back(line.substr(name0, line.find(' ', name0) - name0));
            }
            EXPECT_EQ(names, linesOf(readText(dir / (name + ".peer"))));
        }
    }
    fs::remove_all(dir);
    if (undecoded) {
        GTEST_SKIP() << "deflated members need the payload decoder";
    }
}

// Headers that lie: each walk ends, says why, and hands out only what lies inside the archive.
TEST(MembersTest, LyingHeadersStopTheWalkWithTheReason) {
    // A tar of one file whose size field claims more than the archive holds.
    std::string tar(512, '\0');
    tar.replace(0, 4, "file");
    tar.replace(100, 7, "0000644");
    tar.replace(124, 11, "77777777777");
    tar.replace(257, 8,
                std::string("ustar\0"
                            "00",
                            8));
    tar[156] = '0';
    std::uint32_t sum = 8 * ' ';
    for (std::size_t i = 0; i < 512; ++i) {
        sum += i >= 148 && i < 156 ? 0U
                                   : static_cast<std::uint32_t>(static_cast<unsigned char>(tar[i]));
    }
    char checksum[8];
    std::snprintf(checksum, sizeof checksum, "%06o", sum);
    tar.replace(148, 7, std::string(checksum, 6) + '\0');
    tar += std::string(1024, 'x');
    // A cpio whose entry runs past its end, one that lacks its trailer, and one that loops on
    // nothing (a header of itself only).
    const std::string newcHeader = std::string("070701") + "00000001" + "000081A4" +
                                   std::string(8 * 4, '0') + "FFFFFFF0" + std::string(8 * 4, '0') +
                                   "00000002" + "00000000" + "a" + std::string(1, '\0');
    struct Case {
        std::string label;
        std::string archive;
        std::string format;
        std::uint64_t members;
        std::string stoppedShort;
    };
    const std::vector<Case> cases = {
        {"tar size past the end", tar, "tar", 0, "the entry at 0x0 runs past the archive's end"},
        {"tar cut inside a header", tar.substr(0, 300), "tar", 0,
         "the archive is cut short at 0x0"},
        {"cpio size past the end", newcHeader, "cpio", 0,
         "the entry at 0x0 runs past the archive's end"},
        {"not cpio", "nothing", "cpio", 0, "it does not begin with a cpio header"},
        {"zip of junk", "PK\x03\x04junk", "zip", 0,
         "the archive has no central directory, and the header at 0x0 is not a local one"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const Walked walked = walk(
            ByteView(reinterpret_cast<const std::uint8_t*>(c.archive.data()), c.archive.size()),
            c.format);
        EXPECT_EQ(walked.end.members, c.members);
        EXPECT_EQ(walked.end.stoppedShort, c.stoppedShort);
    }
}

// --- squashfs --------------------------------------------------------------------------------

namespace sq = testing::squashfs;

ByteBuffer text(std::size_t size, std::uint32_t seed) {
    ByteBuffer bytes = testing::encoders::sampleText(size + seed);
    bytes.erase(bytes.begin(), bytes.begin() + seed);
    return bytes;
}

ByteBuffer concatenated(std::initializer_list<ByteBuffer> parts) {
    ByteBuffer all;
    for (const ByteBuffer& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

// A tree with what the format stores in its own ways: whole blocks and a tail, a file of one
// block exactly, tails that share a fragment block, an empty file, blocks of zeros inside a file
// and a file of zeros only, a symbolic link, a device and folders inside folders.
std::vector<sq::Node> sampleTree() {
    return {
        sq::file("big", text(3 * 4096 + 700, 1)),
        sq::file("block", text(4096, 2)),
        sq::device("console"),
        sq::folder("etc", {sq::file("hostname", text(5, 3)), sq::folder("init.d", {}),
                           sq::folder("rc", {sq::file("S01", text(2000, 4)),
                                             sq::symlink("S99", "../../big")})}),
        sq::file("holes",
                 concatenated({text(100, 5), ByteBuffer(2 * 4096 - 100, 0), text(4096 + 30, 6)})),
        sq::file("nothing", {}),
        sq::file("zeros", ByteBuffer(2 * 4096 + 9, 0)),
    };
}

// The lines walk() gives for the tree, in the walk's order.
void modelLines(const std::vector<sq::Node>& nodes, const std::string& prefix,
                std::vector<std::string>& lines) {
    for (const sq::Node& node : nodes) {
        const std::string name = prefix + node.name;
        switch (node.kind) {
            case sq::Node::Kind::kFile:
                lines.push_back("file " + std::to_string(node.content.size()) + " " + name + " " +
                                std::string(node.content.begin(), node.content.end()));
                break;
            case sq::Node::Kind::kFolder:
                lines.push_back("dir 0 " + name + " ");
                modelLines(node.children, name + "/", lines);
                break;
            case sq::Node::Kind::kSymlink:
                lines.push_back("symlink 0 " + name + " " + node.target);
                break;
            case sq::Node::Kind::kDevice:
                lines.push_back("device 0 " + name + " ");
                break;
            case sq::Node::Kind::kAlias:
                break;
        }
    }
}

ByteView viewOf(const ByteBuffer& bytes) {
    return {bytes.data(), bytes.size()};
}

// Every way of storing the tree walks to the same members with the same contents.
TEST(MembersTest, SquashfsImagesWalkToTheirTree) {
    struct Case {
        std::string label;
        sq::Options options;
    };
    const auto with = [](auto change) {
        sq::Options options;
        change(options);
        return options;
    };
    const std::vector<Case> cases = {
        {"zlib, fragments", {}},
        {"stored data and metadata", with([](sq::Options& o) {
             o.dataStored = true;
             o.metadataStored = true;
         })},
        {"stored metadata only", with([](sq::Options& o) { o.metadataStored = true; })},
        {"no fragments, extended inodes", with([](sq::Options& o) {
             o.fragments = false;
             o.extended = true;
         })},
        {"zeros stored as blocks", with([](sq::Options& o) { o.sparse = false; })},
        {"xz", with([](sq::Options& o) { o.compression = 4; })},
        {"lz4 blocks", with([](sq::Options& o) { o.compression = 5; })},
        {"zstd, 8 KiB blocks", with([](sq::Options& o) {
             o.compression = 6;
             o.blockSize = 8192;
         })},
        {"lzo, everything stored", with([](sq::Options& o) {
             o.compression = 3;
             o.dataStored = true;
             o.metadataStored = true;
         })},
        {"big endian, zlib", with([](sq::Options& o) { o.big = true; })},
        {"big endian, stored, no fragments", with([](sq::Options& o) {
             o.big = true;
             o.dataStored = true;
             o.metadataStored = true;
             o.fragments = false;
         })},
    };
    std::vector<std::string> model;
    modelLines(sampleTree(), "", model);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        sq::Writer writer(c.options);
        const ByteBuffer image = writer.image(sampleTree());
        const Walked walked = walk(viewOf(image), "squashfs");
        EXPECT_EQ(walked.lines, model);
        EXPECT_EQ(walked.notes, std::vector<std::string>{});
        EXPECT_EQ(walked.end.stoppedShort, "");
        EXPECT_EQ(walked.end.members, model.size());
    }
    // A folder with more entries than one header holds, in more than one metadata block.
    std::vector<sq::Node> many;
    for (int i = 0; i < 700; ++i) {
        std::string name = "f";
        name += std::to_string(1000 + i);
        many.push_back(sq::file(name, text(static_cast<std::size_t>(i % 9), 7)));
    }
    const ByteBuffer image = sq::Writer({}).image({sq::folder("many", many)});
    std::vector<std::string> lines;
    modelLines({sq::folder("many", many)}, "", lines);
    EXPECT_EQ(walk(viewOf(image), "squashfs").lines, lines);
}

// A file's content read at any offset, in pieces of any size, is the file's bytes.
TEST(MembersTest, SquashfsContentReadsAtAnyOffset) {
    const std::vector<sq::Node> tree = sampleTree();
    const ByteBuffer image = sq::Writer({}).image(tree);
    SpanSource source(viewOf(image));
    scan::PayloadBudget budget(std::uint64_t{1} << 30, std::uint64_t{1} << 30);
    int checked = 0;
    const Result<scan::MembersEnd> end = scan::walkMembers(
        source, "squashfs", budget, [&](const Member& member, ByteSource& content) {
            if (member.name != "holes" && member.name != "big") {
                return true;
            }
            const ByteBuffer& want = tree[member.name == "big" ? 0 : 4].content;
            EXPECT_EQ(content.size(), want.size());
            for (const std::size_t piece : {std::size_t{1}, std::size_t{777}, std::size_t{5000}}) {
                // Backwards, so that every read leaves the block read before it.
                for (std::uint64_t at = want.size(); at-- > 0;) {
                    if (at % 997 != 0 && at != want.size() - 1) {
                        continue;
                    }
                    ByteBuffer got(piece);
                    const Result<std::size_t> n = content.readAt(at, got);
                    const std::size_t expected = std::min<std::size_t>(piece, want.size() - at);
                    if (!n || *n != expected) {
                        ADD_FAILURE() << member.name << " at " << at << " read short";
                        return false;
                    }
                    EXPECT_TRUE(std::equal(got.begin(),
                                           got.begin() + static_cast<std::ptrdiff_t>(expected),
                                           want.begin() + static_cast<std::ptrdiff_t>(at)))
                        << member.name << " at " << at;
                }
            }
            ++checked;
            return true;
        });
    ASSERT_TRUE(end);
    EXPECT_EQ(checked, 2);
}

// Images that lie: the walk hands out what it can read, bounded, and says why it stopped.
TEST(MembersTest, LyingSquashfsImagesStopWithTheReason) {
    struct Case {
        std::string label;
        ByteBuffer image;
        std::uint64_t perPayload;
        std::vector<std::string> names;  // of the members handed out, in order
        std::vector<std::string> notes;  // their reasons, each up to its first "0x"
        std::string stoppedShort;        // up to its first "0x"
    };
    std::vector<Case> cases;
    const sq::Options stored = [] {
        sq::Options o;
        o.metadataStored = true;
        return o;
    }();
    {
        // A folder that lists the root folder: written twice, the second time with the root
        // inode's place, which does not move.
        const auto tree = [](std::uint64_t root) {
            return std::vector<sq::Node>{sq::file("a", text(10, 1)),
                                         sq::folder("sub", {sq::alias("up", root)})};
        };
        sq::Writer writer(stored);
        writer.image(tree(0));
        const std::uint64_t root = writer.rootRef;
        cases.push_back({"a folder inside itself",
                         writer.image(tree(root)),
                         1u << 30,
                         {"a", "sub"},
                         {},
                         "the folder \"sub/up\" is one listed before, which would hold itself"});
        EXPECT_EQ(writer.rootRef, root);
    }
    {
        std::vector<sq::Node> nested{sq::file("end", text(3, 1))};
        for (int i = 0; i < 300; ++i) {
            nested = {sq::folder("d", std::move(nested))};
        }
        const ByteBuffer image = sq::Writer(stored).image(nested);
        std::vector<std::string> names;
        for (std::string name = "d"; names.size() < 256; name += "/d") {
            names.push_back(name);
        }
        cases.push_back({"folders 300 deep",
                         image,
                         1u << 30,
                         names,
                         {},
                         "its folders nest deeper than 256 levels"});
    }
    {
        sq::Node lying = sq::file("f", text(2 * 4096, 3));
        lying.claimedSize = 7 * 4096;
        lying.extraWords = {0x00FFFFFF};
        sq::Options o = stored;
        o.fragments = false;
        cases.push_back({"a size past its blocks",
                         sq::Writer(o).image({lying, sq::file("g", text(9, 4))}),
                         1u << 30,
                         {"f", "g"},
                         {"f: its data block at "},
                         ""});
    }
    {
        // A terabyte of zeros in a small image: read as far as the limit per content.
        sq::Node huge = sq::file("huge", {});
        huge.claimedSize = std::uint64_t{1} << 40;
        huge.extraWords.assign(300, 0);
        sq::Options o = stored;
        o.extended = true;
        cases.push_back({"a sparse terabyte",
                         sq::Writer(o).image({huge}),
                         1u << 20,
                         {"huge"},
                         {"huge: the limit of 1 MiB per stream"},
                         ""});
    }
    {
        sq::Options o;
        o.compression = 3;
        o.metadataStored = true;
        cases.push_back({"lzo data",
                         sq::Writer(o).image({sq::file("a", text(5000, 1)), sq::file("e", {})}),
                         1u << 30,
                         {"a", "e"},
                         {"a: its compression, lzo, is not one this program decodes"},
                         ""});
        o.metadataStored = false;
        cases.push_back({"lzo metadata",
                         sq::Writer(o).image({sq::file("a", text(5000, 1))}),
                         1u << 30,
                         {},
                         {},
                         "the root folder's inode cannot be read: its metadata is compressed: its "
                         "compression, lzo, is not one this program decodes"});
    }
    {
        const ByteBuffer whole = sq::Writer({}).image(sampleTree());
        ByteBuffer flipped = whole;
        flipped[96 + 10] ^= 0x55;  // inside the first data block
        cases.push_back(
            {"a damaged data block", flipped, 1u << 30, {"*"}, {"big: its data block at "}, ""});
    }
    cases.push_back({"not squashfs",
                     ByteBuffer(200, 'x'),
                     1u << 30,
                     {},
                     {},
                     "it does not begin with a squashfs 4.0 superblock"});
    const auto upToHex = [](const std::string& text) { return text.substr(0, text.find("0x")); };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const Walked walked = walk(viewOf(c.image), "squashfs", c.perPayload);
        std::vector<std::string> names;
        for (const std::string& line : walked.lines) {
            const std::size_t name0 = line.find(' ', line.find(' ') + 1) + 1;
            names.push_back(line.substr(name0, line.find(' ', name0) - name0));
        }
        EXPECT_EQ(walked.end.members, walked.lines.size());
        EXPECT_LE(walked.end.members, c.image.size());
        if (c.names != std::vector<std::string>{"*"}) {
            EXPECT_EQ(names, c.names);
        }
        std::vector<std::string> notes;
        for (const std::string& note : walked.notes) {
            notes.push_back(upToHex(note));
        }
        if (c.notes != std::vector<std::string>{"*"}) {
            EXPECT_EQ(notes, c.notes);
        }
        EXPECT_EQ(upToHex(walked.end.stoppedShort), c.stoppedShort);
    }
}

// An image cut anywhere: each member handed out is one of the tree's, with its content whole or,
// where the member says it is cut short, a start of it; the walk says why it stopped where it
// lost the rest of the tree.
TEST(MembersTest, SquashfsCutAnywhereGivesOnlyWhatIsThere) {
    for (const bool stored : {false, true}) {
        sq::Options options;
        options.metadataStored = stored;
        options.dataStored = stored;
        const ByteBuffer whole = sq::Writer(options).image(sampleTree());
        std::vector<std::string> model;
        modelLines(sampleTree(), "", model);
        for (std::size_t cut = 0; cut < whole.size(); cut += 29) {
            SCOPED_TRACE(std::to_string(cut) + (stored ? " stored" : " compressed"));
            const Walked walked = walk(ByteView(whole.data(), cut), "squashfs");
            for (const std::string& line : walked.lines) {
                const std::size_t name0 = line.find(' ', line.find(' ') + 1) + 1;
                const std::string name = line.substr(name0, line.find(' ', name0) - name0);
                const bool cutShort = std::ranges::any_of(
                    walked.notes,
                    [&](const std::string& note) { return note.starts_with(name + ": "); });
                const auto same = std::ranges::find_if(model, [&](const std::string& want) {
                    const std::size_t at = want.find(' ', want.find(' ') + 1) + 1;
                    return want.substr(at, want.find(' ', at) - at) == name;
                });
                ASSERT_NE(same, model.end()) << name;
                if (!cutShort) {
                    EXPECT_EQ(line, *same);
                } else {
                    // "file <size> <name> <content>": the content cut short starts the whole one.
                    const std::size_t contentAt = name0 + name.size() + 1;
                    const std::size_t wantAt =
                        same->find(' ', same->find(' ') + 1) + 1 + name.size() + 1;
                    EXPECT_TRUE(same->substr(wantAt).starts_with(line.substr(contentAt))) << name;
                }
            }
            if (walked.lines.size() < model.size()) {
                EXPECT_NE(walked.end.stoppedShort, "");
            }
        }
    }
}

}  // namespace
}  // namespace tessaloom
