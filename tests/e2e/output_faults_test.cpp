// What happens to the output file when things go wrong around it: full disks and no free inodes,
// links planted by others, other users' setuid files, a running program, standard output by its
// name, signals mid-run, sparse images, new files the system will not name. The cases that need
// the superuser skip without it.
#include <fcntl.h>
#include <pwd.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "e2e/process.h"

namespace tessaloom::e2e {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const std::string kReplaceFailed = "ERROR: Failed to search and replace.\n";
constexpr unsigned kNobody = 65534;

#define TESSALOOM_SKIP_WITHOUT_ROOT()                                \
    TESSALOOM_SKIP_FOR_WINDOWS("POSIX owners, modes and mounts");    \
    if (geteuid() != 0) {                                            \
        GTEST_SKIP() << "needs the superuser (mounts, other users)"; \
    }

class OutputFaultTest : public E2ETest {
  protected:
    std::set<std::string> namesIn(const std::string& folder) const {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(path(folder))) {
            names.insert(entry.path().filename().string());
        }
        return names;
    }

    // Mounts a small file system of the given type on folder; false where that cannot be done.
    bool mountSmall(const std::string& folder, const std::string& type) {
        fs::create_directory(path(folder));
        const std::string target = path(folder).string();
        if (type == "tmpfs") {
            return mount("tessaloom-test", target.c_str(), "tmpfs", 0, "size=128k,nr_inodes=64") ==
                   0;
        }
        // ext4 in a file of its own, through a loop device: 1 MiB, 16 inodes.
        const std::string image = path(folder + ".img").string();
        const std::string command = "truncate -s 1M '" + image + "' && mkfs.ext4 -q -N 16 '" +
                                    image + "' >/dev/null 2>&1 && mount -o loop '" + image + "' '" +
                                    target + "' 2>/dev/null";
        return std::system(command.c_str()) == 0;
    }

    void unmount(const std::string& folder) { umount2(path(folder).c_str(), MNT_DETACH); }

    // Fills what is left of a file system with files: of data until no block is left, or empty
    // ones until no inode is left.
    void fill(const std::string& folder, bool inodes) {
        for (int i = 0;; ++i) {
            const std::string name = path(folder + "/filler" + std::to_string(i)).string();
            const int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
            if (fd < 0) {
                return;
            }
            const std::string block(4096, 'f');
            while (!inodes && ::write(fd, block.data(), block.size()) > 0) {
            }
            close(fd);
            if (!inodes) {
                return;
            }
        }
    }
};

// A disk with no room for the new content, or no inode for a new file: the run fails and O keeps
// every byte, also when it is the input itself; nothing is left behind.
TEST_F(OutputFaultTest, FullDiskOrNoFreeInodeLeavesTheOutputWhole) {
    TESSALOOM_SKIP_WITHOUT_ROOT();
    writeFile("in.bin", std::string(64 * 1024, 'A'));
    for (const std::string type : {"tmpfs", "ext4"}) {
        for (const bool inodes : {false, true}) {
            SCOPED_TRACE(type + (inodes ? ", no free inode" : ", no free block"));
            const std::string disk = type + (inodes ? "-inodes" : "-blocks");
            if (!mountSmall(disk, type)) {
                GTEST_SKIP() << "cannot mount a small " << type << " here";
            }
            const std::string old(16 * 1024, 'o');
            writeFile(disk + "/out.bin", old);
            writeFile(disk + "/in-place.bin", std::string(16 * 1024, 'A'));
            fill(disk, inodes);
            const std::set<std::string> before = namesIn(disk);
            const RunResult copy = run({"--replace", "in.bin", "41", "42", disk + "/out.bin"});
            const RunResult inPlace =
                run({"--replace", disk + "/in-place.bin", "41", "42", disk + "/in-place.bin"});
            const std::string after = readFile(disk + "/out.bin");
            const std::string afterInPlace = readFile(disk + "/in-place.bin");
            const std::set<std::string> names = namesIn(disk);
            unmount(disk);
            EXPECT_EQ(copy.err, kReplaceFailed);
            EXPECT_EQ(copy.status, 1);
            EXPECT_EQ(inPlace.err, kReplaceFailed);
            EXPECT_EQ(inPlace.status, 1);
            EXPECT_EQ(after, old);
            EXPECT_EQ(afterInPlace, std::string(16 * 1024, 'A'));
            EXPECT_EQ(names, before);
        }
    }
}

// Standard output by its name, inside a redirection of the caller's: the bytes go where the
// stream stands, after what the caller wrote before, and nothing of the log is lost.
TEST_F(OutputFaultTest, StandardOutputByItsNameKeepsWhatCameBefore) {
    TESSALOOM_SKIP_FOR_WINDOWS("/dev/stdout is a POSIX name");
    writeFile("in.bin", "AAB");
    const std::string command = "cd '" + path("").string() + "' && ( echo before; '" +
                                executablePath() +
                                "' --replace in.bin 41 7a /dev/stdout; echo after ) > log.txt";
    ASSERT_EQ(std::system(command.c_str()), 0);
    EXPECT_EQ(readFile("log.txt"),
              "before\nzzBSUCCESS: Replaced 2 pattern occurrences -> /dev/stdout\nafter\n");
}

// While the new content is written, no file in the folder can be read by anyone but the owner,
// and a signal of any kind ends the run leaving the folder as it was and the terminal's line
// clean; SIGKILL, which nothing can catch, leaves no file either, as the new file has no name
// until it is whole.
TEST_F(OutputFaultTest, SignalsMidRunLeaveNothingBehind) {
    TESSALOOM_SKIP_FOR_WINDOWS("signals and FIFOs are POSIX");
    writeFile("out.bin", "secret");
    fs::permissions(path("out.bin"), fs::perms(0600));
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGKILL}) {
        SCOPED_TRACE(strsignal(signal));
        fs::remove(path("fifo"));
        const SlowFifo fifo(path("fifo"), std::string(400 << 10, 'A'), 50ms, 4096);
        std::set<std::string> during;
        bool othersCouldRead = false;
        RunOptions options;
        options.stderrOnTerminal = true;
        options.meanwhile = [&](int pid) {
            std::this_thread::sleep_for(1000ms);
            for (const auto& entry : fs::directory_iterator(path(""))) {
                const std::string name = entry.path().filename().string();
                during.insert(name);
                othersCouldRead =
                    othersCouldRead ||
                    (name != "fifo" &&
                     (entry.status().permissions() &
                      (fs::perms::group_read | fs::perms::others_read)) != fs::perms::none);
            }
            kill(pid, signal);
        };
        const RunResult result = run({"--replace", "fifo", "41", "42", "out.bin"}, options);
        EXPECT_EQ(result.status, 128 + signal);
        if (signal != SIGKILL) {
            EXPECT_EQ(screenText(result.terminal), "") << "the progress line must be erased";
        }
        EXPECT_FALSE(othersCouldRead);
        EXPECT_EQ(during, (std::set<std::string>{"fifo", "out.bin"}));
        EXPECT_EQ(readFile("out.bin"), "secret");
        EXPECT_EQ(namesIn(""), (std::set<std::string>{"fifo", "out.bin"}));
    }
}

// On Windows, Ctrl-C (which Wine makes of SIGINT) removes the unfinished output before the console
// ends the run with its status for Ctrl-C, 0xC000013A, of which a POSIX parent sees the low byte.
TEST_F(OutputFaultTest, ConsoleCtrlCLeavesNothingBehind) {
    if (!windowsExecutable()) {
        GTEST_SKIP() << "the console's events are Windows'";
    }
    writeFile("out.bin", "kept");
    writeSparseFile("in.bin", std::uint64_t{64} << 30, {});
    RunOptions options;
    // Ctrl-C once the run is writing, however long Wine takes to start it: its new file then
    // stands beside out.bin. The input is too large to be done by then.
    options.meanwhile = [this](int pid) {
        for (int i = 0; i < 1200 && namesIn("").size() < 3; ++i) {
            std::this_thread::sleep_for(100ms);
        }
        kill(pid, SIGINT);
    };
    const RunResult result = run({"--replace", "in.bin", "00", "01", "out.bin"}, options);
    EXPECT_EQ(result.status, 0x3A);
    EXPECT_EQ(readFile("out.bin"), "kept");
    EXPECT_EQ(namesIn(""), (std::set<std::string>{"in.bin", "out.bin"}));
}

// The owner and group of a file stay when the superuser patches it; a user who cannot keep the
// owner gets a file without the setuid bit, and one who cannot keep the group a file of their own
// group without the setgid bit: never a setuid or setgid file that lends them to others.
TEST_F(OutputFaultTest, OwnersStayOrTheSetuidBitsGo) {
    TESSALOOM_SKIP_WITHOUT_ROOT();
    writeFile("in.bin", "AAAA");
    writeFile("setuid", "AAAA");
    ASSERT_EQ(chown(path("setuid").c_str(), kNobody, kNobody), 0);
    fs::permissions(path("setuid"), fs::perms(04755));
    writeFile("shared", "AAAA");
    ASSERT_EQ(chown(path("shared").c_str(), 0, kNobody), 0);
    fs::permissions(path("shared"), fs::perms(06775));
    writeFile("own", "AAAA");
    ASSERT_EQ(chown(path("own").c_str(), kNobody, 0), 0);
    fs::permissions(path("own"), fs::perms(06755));
    fs::permissions(path(""), fs::perms(0777));

    EXPECT_EQ(run({"--replace", "setuid", "41", "42", "setuid"}).status, 0);
    RunOptions nobody;
    nobody.user = {kNobody, kNobody};
    EXPECT_EQ(run({"--replace", "shared", "41", "42", "shared"}, nobody).status, 0);
    EXPECT_EQ(run({"--replace", "own", "41", "42", "own"}, nobody).status, 0);

    struct stat status {};
    ASSERT_EQ(stat(path("setuid").c_str(), &status), 0);
    EXPECT_EQ(status.st_uid, kNobody);
    EXPECT_EQ(status.st_gid, kNobody);
    EXPECT_EQ(status.st_mode & 07777, 04755u);
    EXPECT_EQ(readFile("setuid"), "BBBB");
    ASSERT_EQ(stat(path("shared").c_str(), &status), 0);
    EXPECT_EQ(status.st_uid, kNobody);
    EXPECT_EQ(status.st_gid, kNobody);
    EXPECT_EQ(status.st_mode & 07777, 02775u);
    EXPECT_EQ(readFile("shared"), "BBBB");
    ASSERT_EQ(stat(path("own").c_str(), &status), 0);
    EXPECT_EQ(status.st_uid, kNobody);
    EXPECT_EQ(status.st_gid, kNobody);
    EXPECT_EQ(status.st_mode & 07777, 04755u);
    EXPECT_EQ(readFile("own"), "BBBB");
}

// A link that another user planted in a sticky, world-writable folder is not followed by the
// superuser where the kernel protects such links: the file behind it keeps its content.
TEST_F(OutputFaultTest, LinksPlantedInStickyFoldersAreNotFollowed) {
    TESSALOOM_SKIP_WITHOUT_ROOT();
    const char* const setting = "/proc/sys/fs/protected_symlinks";
    std::string was;
    std::ifstream(setting) >> was;
    if (was != "1" && !(std::ofstream(setting) << "1")) {
        GTEST_SKIP() << "cannot turn on the kernel's protection of links";
    }
    fs::create_directory(path("shared"));
    fs::permissions(path("shared"), fs::perms(01777));
    writeFile("target", "precious");
    writeFile("in.bin", "AAAA");
    fs::create_symlink(path("target"), path("shared/link"));
    ASSERT_EQ(lchown(path("shared/link").c_str(), kNobody, kNobody), 0);
    const RunResult result = run({"--replace", "in.bin", "41", "42", "shared/link"});
    if (was != "1") {
        std::ofstream(setting) << was;
    }
    EXPECT_EQ(result.err, kReplaceFailed);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(readFile("target"), "precious");
    EXPECT_TRUE(fs::is_symlink(path("shared/link")));
}

// Where the new file cannot take the old one's place (the rules of a sticky folder keep another
// user's file from being renamed over), the whole new content is copied over the old file once
// it is complete: the patch is made, and nothing else is left in the folder.
TEST_F(OutputFaultTest, FilesThatCannotBeReplacedAreWrittenInPlace) {
    TESSALOOM_SKIP_WITHOUT_ROOT();
    fs::create_directory(path("shared"));
    fs::permissions(path("shared"), fs::perms(01777));
    writeFile("shared/target", "AAAAAAAA");
    fs::permissions(path("shared/target"), fs::perms(0666));
    fs::permissions(path(""), fs::perms(0755));
    RunOptions nobody;
    nobody.user = {kNobody, kNobody};
    const RunResult result =
        run({"--replace", "shared/target", "41", "42", "shared/target"}, nobody);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(readFile("shared/target"), "BBBBBBBB");
    EXPECT_EQ(namesIn("shared"), std::set<std::string>{"target"});
    struct stat status {};
    ASSERT_EQ(stat(path("shared/target").c_str(), &status), 0);
    EXPECT_EQ(status.st_uid, 0u);
}

// A program that is running can be patched: its name takes the new file, and the running copy
// goes on undisturbed.
TEST_F(OutputFaultTest, RunningProgramsCanBePatched) {
    TESSALOOM_SKIP_FOR_WINDOWS("a running program cannot be replaced on Windows");
    fs::copy_file("/bin/sleep", path("program"));
    const pid_t running = fork();
    if (running == 0) {
        execl(path("program").c_str(), "program", "5", nullptr);
        _exit(127);
    }
    std::this_thread::sleep_for(200ms);
    // "GNU" occurs in every program of the GNU toolchain's making.
    const RunResult result = run({"--replace", "program", "474e55", "676e75", "program"});
    kill(running, SIGTERM);
    waitpid(running, nullptr, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(readFile("program").find("GNU"), std::string::npos);
}

// Where the system will not name the unnamed new file (no right to link a descriptor and no
// /proc, as in some chroots; here every linkat fails), a hidden copy of it, holes kept, takes O's
// place, for a new O and for IN itself, and nothing else is left.
TEST_F(OutputFaultTest, NewFilesThatCannotBeLinkedAreCopied) {
    TESSALOOM_SKIP_FOR_WINDOWS("linkat is Linux's");
    // A sanitized build's leak check cannot work under ptrace.
    const std::string strace =
        "ASAN_OPTIONS=$ASAN_OPTIONS:detect_leaks=0 strace -o /dev/null "
        "-e inject=linkat:error=ENOENT ";
    if (std::system((strace + "true 2>/dev/null").c_str()) != 0) {
        GTEST_SKIP() << "strace cannot make system calls fail here";
    }
    writeSparseFile("image", 64 << 20, {{4096, "AAAA"}});
    for (const std::string output : {"copy", "image"}) {
        const std::string command = "cd '" + path("").string() + "' && " + strace + "'" +
                                    executablePath() + "' --replace image 41 42 " + output;
        EXPECT_EQ(std::system((command + " >/dev/null").c_str()), 0);
        EXPECT_EQ(readFile(output).substr(4095, 6), bytes({0, 'B', 'B', 'B', 'B', 0}));
        struct stat status {};
        ASSERT_EQ(stat(path(output).c_str(), &status), 0);
        EXPECT_EQ(status.st_size, 64 << 20);
        EXPECT_LT(status.st_blocks * 512, 1 << 20) << output << ": allocated bytes";
    }
    EXPECT_EQ(namesIn(""), (std::set<std::string>{"copy", "image"}));
}

// Names beyond ASCII reach the system exactly as the program received them, on Windows too.
TEST_F(OutputFaultTest, NamesBeyondAsciiAreUsedAsGiven) {
    writeFile("plain.bin", "AAA");
    writeFile("caf\xC3\xA9.bin", "AAA");
    EXPECT_EQ(run({"--replace", "plain.bin", "41", "42",
                   "caf\xC3\xA9"
                   "2.bin"})
                  .status,
              0);
    EXPECT_EQ(run({"--replace", "caf\xC3\xA9.bin", "41", "43", "caf\xC3\xA9.bin"}).status, 0);
    EXPECT_EQ(readFile("caf\xC3\xA9"
                       "2.bin"),
              "BBB");
    EXPECT_EQ(readFile("caf\xC3\xA9.bin"), "CCC");
    EXPECT_EQ(namesIn(""), (std::set<std::string>{"plain.bin", "caf\xC3\xA9.bin",
                                                  "caf\xC3\xA9"
                                                  "2.bin"}));
}

// Patching a sparse image needs no more disk than its data: zero blocks stay holes, in a new
// output and in place, and so do the zero bytes before a change far past the end of an input
// whose length is no whole number of blocks, which cost no time either.
TEST_F(OutputFaultTest, SparseImagesStaySparse) {
    constexpr std::uint64_t kSize = std::uint64_t{1} << 30;
    writeSparseFile("image", kSize, {{4096, "AAAA"}, {kSize - 4096, "AAAA"}});
    writeFile("short", std::string(1000, 'A'));
    writeFile("far.txt", "0x10000000000: 11\n");
    RunOptions slow;
    slow.timeLimitSeconds = 600;
    for (const std::string output : {"copy", "image", "far"}) {
        SCOPED_TRACE(output);
        const bool far = output == "far";
        const RunResult result = far ? run({"--patch", "short", "far.txt", output}, slow)
                                     : run({"--replace", "image", "41", "42", output}, slow);
        EXPECT_EQ(result.out, (far ? "SUCCESS: Applied 1 changes -> "
                                   : "SUCCESS: Replaced 8 pattern occurrences -> ") +
                                  output + "\n");
        EXPECT_EQ(fs::file_size(path(output)), far ? (std::uint64_t{1} << 40) + 1 : kSize);
        if (!windowsExecutable()) {
            struct stat status {};
            ASSERT_EQ(stat(path(output).c_str(), &status), 0);
            EXPECT_LT(status.st_blocks * 512, 1 << 20) << "allocated bytes";
        }
    }
}

}  // namespace
}  // namespace tessaloom::e2e
