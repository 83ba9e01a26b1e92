// Saving where POSIX file systems differ from others: permission bits, symbolic links, devices,
// FIFOs, file size limits, full and read-only file systems.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <functional>
#include <thread>

#include "engine/file_io.h"
#include "engine/file_io_fixture.h"
#include "engine/file_reader.h"
#include "engine/output_file.h"

namespace tessaloom {
namespace {

TEST_F(FileIoTest, LoadsNothingFromCharacterDevices) {
    EXPECT_EQ(loadFile("/dev/zero"), ByteBuffer{});
    EXPECT_EQ(loadFile("/dev/null"), ByteBuffer{});
}

// Streams have no size and cannot seek: skipping reads up to the position, and a stream is read
// to its end, however far that is.
TEST_F(FileIoTest, ReaderReadsStreamsToTheirEnd) {
    FileReader zeros("/dev/zero", 64);
    EXPECT_EQ(zeros.size(), std::nullopt);
    zeros.skipTo(1000);
    EXPECT_EQ(zeros.position(), 1000u);
    ASSERT_TRUE(zeros.fill());
    const ByteView some = zeros.buffered();
    EXPECT_EQ(ByteBuffer(some.begin(), some.end()), ByteBuffer(some.size()));
    zeros.consume(5);
    EXPECT_EQ(zeros.position(), 1005u);

    FileReader nothing("/dev/null");
    EXPECT_FALSE(nothing.fill());
    EXPECT_FALSE(nothing.error());

    ASSERT_EQ(mkfifo(path("pipe").c_str(), 0600), 0);
    std::thread writer([this] { write("pipe", std::string(100000, 'p')); });
    FileReader pipe(path("pipe"), 4096);
    std::size_t received = 0;
    forEachChunk(pipe, [&received](ByteView chunk) { received += chunk.size(); });
    writer.join();
    EXPECT_EQ(received, 100000u);
    EXPECT_EQ(pipe.size(), std::nullopt);
}

TEST_F(FileIoTest, SaveKeepsThePermissionBits) {
    using fs::perms;
    for (const perms mode : {perms(0600), perms(0640), perms(0751), perms(02755)}) {
        write("target", "old");
        fs::permissions(path("target"), mode);
        EXPECT_TRUE(saveFile(path("target"), textBytes("new")));
        EXPECT_EQ(read("target"), "new");
        EXPECT_EQ(permissions("target"), mode) << std::oct << static_cast<int>(mode);
    }
    // A new file gets what an ordinary create gives it.
    write("reference", "");
    EXPECT_TRUE(saveFile(path("created"), textBytes("x")));
    EXPECT_EQ(permissions("created"), permissions("reference"));
}

TEST_F(FileIoTest, SaveRefusesAFileItsPermissionsProtect) {
    if (geteuid() == 0) {
        GTEST_SKIP() << "permissions do not bind the superuser";
    }
    write("target", "old");
    fs::permissions(path("target"), fs::perms(0444));
    EXPECT_FALSE(saveFile(path("target"), textBytes("new")));
    EXPECT_EQ(read("target"), "old");
    EXPECT_EQ(list(), std::set<std::string>{"target"});
}

TEST_F(FileIoTest, SaveFollowsSymbolicLinksAndKeepsThem) {
    fs::create_directory(path("elsewhere"));
    write("elsewhere/real", "old");
    fs::permissions(path("elsewhere/real"), fs::perms(0640));
    fs::create_symlink("elsewhere/real", path("link"));
    fs::create_symlink("link", path("link-to-link"));
    fs::create_symlink(path("elsewhere/absent"), path("dangling"));

    EXPECT_TRUE(saveFile(path("link-to-link"), textBytes("new")));
    EXPECT_TRUE(fs::is_symlink(path("link-to-link")));
    EXPECT_TRUE(fs::is_symlink(path("link")));
    EXPECT_EQ(read("elsewhere/real"), "new");
    EXPECT_EQ(permissions("elsewhere/real"), fs::perms(0640));

    EXPECT_TRUE(saveFile(path("dangling"), textBytes("made")));
    EXPECT_TRUE(fs::is_symlink(path("dangling")));
    EXPECT_EQ(read("elsewhere/absent"), "made");

    // A loop of links resolves to nothing: the write fails and the links stay as they were.
    fs::create_symlink("loop-b", path("loop-a"));
    fs::create_symlink("loop-a", path("loop-b"));
    EXPECT_FALSE(saveFile(path("loop-a"), textBytes("lost")));
    EXPECT_TRUE(fs::is_symlink(path("loop-a")));

    EXPECT_EQ(list(), (std::set<std::string>{"elsewhere", "link", "link-to-link", "dangling",
                                             "loop-a", "loop-b"}));
    EXPECT_EQ(list("elsewhere"), (std::set<std::string>{"real", "absent"}));
}

TEST_F(FileIoTest, SaveWritesDevicesAndFifosDirectly) {
    EXPECT_TRUE(saveFile("/dev/null", textBytes("discarded")));
    fs::create_symlink("/dev/full", path("full"));
    EXPECT_FALSE(saveFile(path("full"), textBytes("no room")));
    EXPECT_TRUE(fs::is_symlink(path("full")));

    ASSERT_EQ(mkfifo(path("pipe").c_str(), 0600), 0);
    std::string received;
    std::thread reader([&] {
        std::ifstream in(path("pipe"), std::ios::binary);
        received.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    });
    EXPECT_TRUE(saveFile(path("pipe"), textBytes("through the pipe")));
    reader.join();
    EXPECT_EQ(received, "through the pipe");
    EXPECT_TRUE(fs::is_fifo(path("pipe")));
    EXPECT_EQ(list(), (std::set<std::string>{"full", "pipe"}));
}

// A write that fails half way, as on a full disk: the file size limit stops it for real.
TEST_F(FileIoTest, FailedWriteLeavesTheTargetAsItWas) {
    write("target", "old content");
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto savedHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit lowered = saved;
    lowered.rlim_cur = 64 * 1024;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &lowered), 0);
    const bool saved1 = saveFile(path("target"), ByteBuffer(1 << 20, 0xAB));
    const bool saved2 = saveFile(path("fresh"), ByteBuffer(1 << 20, 0xAB));
    // Zero bytes left as a hole cost no write, but the length still has to be allowed.
    OutputFile far(path("far"));
    const bool saved3 = far.writeZeros(1 << 20) && far.commit();
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, savedHandler);
    EXPECT_FALSE(saved1);
    EXPECT_FALSE(saved2);
    EXPECT_FALSE(saved3);
    ASSERT_TRUE(far.error());
    EXPECT_EQ(far.error()->reason, "File too large");
    EXPECT_EQ(read("target"), "old content");
    EXPECT_EQ(list(), std::set<std::string>{"target"});
}

// Zero bytes that fill whole blocks of the file are holes however the writes cut them, also
// where they are given as a count (here in pieces of odd sizes): the file takes the blocks that
// one write of the content gives it.
TEST_F(FileIoTest, HolesDoNotDependOnHowTheContentIsCut) {
    ByteBuffer content(10 * 4096 + 100);
    content[5] = content[3 * 4096 + 7] = content.back() = 1;
    const auto blocksTaken = [&](std::size_t piece) {
        OutputFile output(path("out"));
        for (std::size_t at = 0; at < content.size(); at += piece) {
            const ByteView bytes =
                ByteView(content).subspan(at, std::min(piece, content.size() - at));
            const bool zeros = std::ranges::count(bytes, 0) == std::ssize(bytes) && piece % 2 == 1;
            EXPECT_TRUE(zeros ? output.writeZeros(bytes.size()) : output.write(bytes));
        }
        EXPECT_TRUE(output.commit());
        EXPECT_EQ(loadFile(path("out")), content);
        struct stat status {};
        return stat(path("out").c_str(), &status) == 0 ? status.st_blocks : -1;
    };
    const blkcnt_t whole = blocksTaken(content.size());
    for (const std::size_t piece : {1u, 7u, 1000u, 4095u, 4097u, 6000u}) {
        EXPECT_EQ(blocksTaken(piece), whole) << "pieces of " << piece;
    }
}

// A folder marked append-only (chattr +a) takes new names but lets none go: the file is written in
// place, and no temporary file is left behind for good. Needs the superuser.
TEST_F(FileIoTest, SaveIntoAnAppendOnlyFolderLeavesNoTemporaryFile) {
    fs::create_directory(path("kept"));
    write("kept/target", "old");
    const int folder = open(path("kept").c_str(), O_RDONLY | O_DIRECTORY);
    int flags = 0;
    const bool appendOnly = folder >= 0 && ioctl(folder, FS_IOC_GETFLAGS, &flags) == 0 &&
                            (flags |= FS_APPEND_FL, ioctl(folder, FS_IOC_SETFLAGS, &flags) == 0);
    bool saved = false;
    std::set<std::string> names;
    if (appendOnly) {
        saved = saveFile(path("kept/target"), textBytes("new content"));
        names = list("kept");
        flags &= ~FS_APPEND_FL;
        ioctl(folder, FS_IOC_SETFLAGS, &flags);
    }
    if (folder >= 0) {
        close(folder);
    }
    if (!appendOnly) {
        GTEST_SKIP() << "cannot mark a folder append-only here";
    }
    EXPECT_TRUE(saved);
    EXPECT_EQ(read("kept/target"), "new content");
    EXPECT_EQ(names, std::set<std::string>{"target"});
}

// A small file system of its own that fills up; needs the right to mount.
TEST_F(FileIoTest, FullDiskLeavesTheTargetAsItWas) {
    fs::create_directory(path("disk"));
    if (mount("tessaloom-test", path("disk").c_str(), "tmpfs", 0, "size=64k") != 0) {
        GTEST_SKIP() << "cannot mount a small file system here";
    }
    write("disk/target", std::string(16 * 1024, 'o'));
    const bool tooBig = saveFile(path("disk/target"), ByteBuffer(100 * 1024, 'n'));
    // Fits alone, but not beside the old content, which must stay until the new one is whole.
    const bool noRoomForBoth = saveFile(path("disk/target"), ByteBuffer(56 * 1024, 'n'));
    const std::string after = read("disk/target");
    const std::set<std::string> names = list("disk");
    const bool fits = saveFile(path("disk/target"), ByteBuffer(20 * 1024, 'n'));
    const std::string replaced = read("disk/target");
    umount(path("disk").c_str());
    EXPECT_FALSE(tooBig);
    EXPECT_FALSE(noRoomForBoth);
    EXPECT_EQ(after, std::string(16 * 1024, 'o'));
    EXPECT_EQ(names, std::set<std::string>{"target"});
    EXPECT_TRUE(fits);
    EXPECT_EQ(replaced, std::string(20 * 1024, 'n'));
}

// A folder that takes no new files but holds a writable file: the file is written in place.
TEST_F(FileIoTest, SaveWritesInPlaceWhereNoTemporaryFileCanBeMade) {
    fs::create_directory(path("locked"));
    write("locked/target", "old");
    fs::permissions(path("locked/target"), fs::perms(0666));
    fs::permissions(path("locked"), fs::perms(0555));
    // The superuser ignores permission bits but not the immutable flag of a folder.
    const int folder = open(path("locked").c_str(), O_RDONLY | O_DIRECTORY);
    int flags = 0;
    const bool immutable = geteuid() == 0 && folder >= 0 &&
                           ioctl(folder, FS_IOC_GETFLAGS, &flags) == 0 &&
                           (flags |= FS_IMMUTABLE_FL, ioctl(folder, FS_IOC_SETFLAGS, &flags) == 0);
    const bool locked = !std::ofstream(path("locked/probe"));
    bool saved = false;
    if (locked) {
        saved = saveFile(path("locked/target"), textBytes("new content"));
    }
    if (immutable) {
        flags &= ~FS_IMMUTABLE_FL;
        ioctl(folder, FS_IOC_SETFLAGS, &flags);
    }
    if (folder >= 0) {
        close(folder);
    }
    fs::permissions(path("locked"), fs::perms::owner_all);
    if (!locked) {
        GTEST_SKIP() << "cannot make a folder refuse new files here";
    }
    EXPECT_TRUE(saved);
    EXPECT_EQ(read("locked/target"), "new content");
    EXPECT_EQ(list("locked"), std::set<std::string>{"target"});
}

// Another program's write to a file being patched in place is not lost: the patched copy does not
// replace it, even where that program puts the file's size and modification time back as they
// were (cp -p over it, or a rewrite in place followed by touch -d).
TEST_F(FileIoTest, PatchingInPlaceFailsWhenTheInputChangedMeanwhile) {
    // Made again until the file system's clock has moved on: where it keeps coarse times, a
    // change made at once would carry the time the file already had.
    const auto restoreTime = [this](const std::function<void()>& change) {
        struct stat before {};
        ASSERT_EQ(::stat(path("file").c_str(), &before), 0);
        struct stat after = before;
        for (int attempt = 0; attempt < 1000 && after.st_ctim.tv_sec == before.st_ctim.tv_sec &&
                              after.st_ctim.tv_nsec == before.st_ctim.tv_nsec;
             ++attempt) {
            std::this_thread::sleep_for(std::chrono::milliseconds(attempt == 0 ? 0 : 1));
            change();
            const struct timespec times[2] = {before.st_atim, before.st_mtim};
            ASSERT_EQ(::utimensat(AT_FDCWD, path("file").c_str(), times, 0), 0);
            ASSERT_EQ(::stat(path("file").c_str(), &after), 0);
        }
    };
    const struct {
        const char* name;
        std::function<void()> change;
        const char* after;
    } kCases[] = {
        {"appended",
         [this] { std::ofstream(path("file"), std::ios::binary | std::ios::app) << " and more"; },
         "original and more"},
        {"rewritten, its time set back",
         [&] {
             restoreTime([this] {
                 std::fstream(path("file"), std::ios::binary | std::ios::in | std::ios::out)
                     << "OTHER";
             });
         },
         "OTHERnal"},
        {"copied over with cp -p, its time kept",
         [&] {
             write("other", "another!");
             restoreTime([this] {
                 fs::copy_file(path("other"), path("file"), fs::copy_options::overwrite_existing);
             });
             fs::remove(path("other"));
         },
         "another!"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        write("file", "original");
        FileReader reader(path("file"));
        OutputFile output(path("file"), {.finalSize = 8, .source = &reader});
        EXPECT_TRUE(output.write(textBytes("patched!")));
        c.change();
        EXPECT_FALSE(output.commit());
        ASSERT_TRUE(output.error());
        EXPECT_EQ(output.error()->reason, "It was changed by another program while it was read");
        EXPECT_EQ(read("file"), c.after);
        EXPECT_EQ(list(), std::set<std::string>{"file"});
    }
}

}  // namespace
}  // namespace tessaloom
