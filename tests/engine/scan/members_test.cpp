// The member walk against archives that Python's tarfile and zipfile wrote (and a cpio newc
// written to its layout), with the listings of tar and unzip where the machine has them, and
// against headers that lie.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "engine/scan/members.h"

namespace tessaloom {
namespace {

namespace fs = std::filesystem;
using scan::Member;
using scan::MemberKind;

struct Walked {
    std::vector<std::string> lines;  // "kind size name content" per member
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

Walked walk(ByteView archive, std::string_view format) {
    SpanSource source(archive);
    scan::PayloadBudget budget(std::uint64_t{1} << 30, std::uint64_t{1} << 30);
    Walked walked;
    const Result<scan::MembersEnd> end =
        scan::walkMembers(source, format, budget, [&](const Member& member, ByteSource& content) {
            if (!member.unreadable.empty()) {
                walked.undecoded = true;
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

}  // namespace
}  // namespace tessaloom
