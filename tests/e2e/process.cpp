#include "e2e/process.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>
#include <utility>

namespace tessaloom::e2e {

namespace {

std::string environmentOr(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : fallback;
}

std::vector<std::string> splitWords(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string word; in >> word;) {
        words.push_back(word);
    }
    return words;
}

// A pseudo-terminal with its master end (where what the program writes arrives) and its slave
// end (what the program writes to), or -1 for both when none was asked for or it failed.
struct Terminal {
    int master = -1;
    int slave = -1;
};

Terminal openTerminal() {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    const char* slaveName =
        master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0 ? ptsname(master) : nullptr;
    const int slave = slaveName != nullptr ? open(slaveName, O_RDWR | O_NOCTTY) : -1;
    // Sized as the terminal window the program is meant for; Wine's console wraps lines there.
    const winsize size{24, 80, 0, 0};
    if (slave < 0 || ioctl(master, TIOCSWINSZ, &size) != 0) {
        ADD_FAILURE() << "No pseudo-terminal: " << std::strerror(errno);
        close(slave);
        close(master);
        return {};
    }
    return {master, slave};
}

[[noreturn]] void execChild(const std::vector<std::string>& command,
                            const std::filesystem::path& workDir, const RunOptions& options,
                            int inFd, int outFd, int errFd, int terminalFd) {
    if (inFd < 0) {
        inFd = open("/dev/null", O_RDONLY);
    }
    if (!options.stdoutPath.empty()) {
        outFd = open(options.stdoutPath.c_str(), O_WRONLY);
    }
    if (options.stdoutOnTerminal) {
        outFd = terminalFd;
    }
    if (options.stderrOnTerminal) {
        errFd = terminalFd;
    }
    if (inFd < 0 || outFd < 0 || dup2(inFd, 0) < 0 || dup2(outFd, 1) < 0 || dup2(errFd, 2) < 0 ||
        chdir(workDir.c_str()) != 0) {
        _exit(127);
    }
    // A run that hangs (on a FIFO, say) is ended by SIGALRM instead of stalling the suite.
    alarm(options.timeLimitSeconds);
    const std::pair<int, std::uint64_t> limits[] = {
        {RLIMIT_AS, options.addressSpaceLimit},
        {RLIMIT_FSIZE, options.fileSizeLimit},
    };
    for (const auto& [resource, value] : limits) {
        const rlimit limit{value, value};
        if (value != 0 && setrlimit(resource, &limit) != 0) {
            _exit(127);
        }
    }
    signal(SIGXFSZ, SIG_DFL);
    signal(SIGPIPE, SIG_DFL);  // the driver ignores it, see runTessaloom
    if (options.user && (setgroups(0, nullptr) != 0 || setgid(options.user->second) != 0 ||
                         setuid(options.user->first) != 0)) {
        _exit(127);
    }
    std::vector<char*> argv;
    for (const std::string& word : command) {
        argv.push_back(const_cast<char*>(word.c_str()));
    }
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
}

// Reads both pipes and the terminal, if any, to their end together, so that none can fill up and
// block the child. The terminal ends once no process has it open any more: a read then fails
// (EIO on Linux) instead of returning 0.
void drain(int outFd, int errFd, int terminalFd, RunResult& result) {
    std::array<pollfd, 3> fds{pollfd{outFd, POLLIN, 0}, pollfd{errFd, POLLIN, 0},
                              pollfd{terminalFd, POLLIN, 0}};
    std::array<std::string*, 3> sinks{&result.out, &result.err, &result.terminal};
    std::array<char, 65536> chunk{};
    auto open = std::count_if(fds.begin(), fds.end(), [](const pollfd& p) { return p.fd >= 0; });
    while (open > 0) {
        if (poll(fds.data(), fds.size(), -1) < 0) {
            break;
        }
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) {
                continue;
            }
            const ssize_t n = read(fds[i].fd, chunk.data(), chunk.size());
            if (n > 0) {
                sinks[i]->append(chunk.data(), static_cast<std::size_t>(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
}

// A Windows console program writes its standard streams in text mode, each "\n" as CR LF.
std::string withUnixLineEnds(const std::string& text) {
    std::string lines;
    lines.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) {
            lines.push_back(text[i]);
        }
    }
    return lines;
}

// The program as another user can start it: a copy in a folder of its own that anyone may
// enter, as the checkout may lie under a folder that only its owner can (a home folder of mode
// 0700). Made once, removed when the tests end.
std::string executableForAnyUser() {
    struct Copy {
        std::filesystem::path folder;
        std::filesystem::path program;
        Copy() {
            std::string pattern =
                (std::filesystem::temp_directory_path() / "tessaloom-e2e-program-XXXXXX").string();
            if (mkdtemp(pattern.data()) == nullptr) {
                return;
            }
            folder = pattern;
            program = folder / std::filesystem::path(executablePath()).filename();
            std::error_code failed;
            std::filesystem::permissions(folder, std::filesystem::perms(0755), failed);
            std::filesystem::copy_file(executablePath(), program, failed);
            std::filesystem::permissions(program, std::filesystem::perms(0755), failed);
            if (failed) {
                program.clear();
            }
        }
        ~Copy() {
            std::error_code ignored;
            std::filesystem::remove_all(folder, ignored);
        }
    };
    static const Copy copy;
    return copy.program.empty() ? executablePath() : copy.program.string();
}

}  // namespace

std::string executablePath() {
    const std::filesystem::path given =
        environmentOr("TESSALOOM_EXE", TESSALOOM_DEFAULT_EXECUTABLE);
    if (!given.has_parent_path()) {
        return given.string();  // a bare name is looked up in PATH
    }
    return std::filesystem::absolute(given).lexically_normal().string();
}

bool windowsExecutable() {
    static const bool isWindows = [] {
        std::ifstream in(executablePath(), std::ios::binary);
        char magic[2] = {};
        return in.read(magic, 2) && magic[0] == 'M' && magic[1] == 'Z';
    }();
    return isWindows;
}

std::string programName() {
    if (!windowsExecutable()) {
        return executablePath();
    }
    std::string name = "Z:" + executablePath();
    std::replace(name.begin(), name.end(), '/', '\\');
    return name;
}

std::string infoWindowConsoleText() {
    if (windowsExecutable()) {
        return "";
    }
    return "Tessaloom Studio\n\n"
           "Tessaloom Studio v2.0 - Structural Binary Hex Workstation\n\n"
           "Features: 64-bit Memory-Mapped Hex Editor, Binary Diff Visualizer, Shannon Entropy "
           "Mapper & PE/ELF Templates.\n"
           "Run from command prompt with --help for batch diffing and search-and-replace.\n";
}

std::string addressSpaceLimitUnsupported() {
#if defined(TESSALOOM_SANITIZED)
    return "a sanitized executable reserves more address space than the limit allows";
#else
    return windowsExecutable() ? "Wine cannot start within a limit on address space" : "";
#endif
}

std::string screenText(std::string_view received) {
    std::vector<std::string> lines(1);
    std::size_t column = 0;
    for (std::size_t i = 0; i < received.size(); ++i) {
        std::string& line = lines.back();
        const char c = received[i];
        if (c == '\r') {
            column = 0;
        } else if (c == '\n') {
            lines.emplace_back();
            column = 0;
        } else if (c == '\x1b' && received.substr(i, 2) == "\x1b[") {
            // A control sequence: its parameters end at a byte from '@' to '~'.
            std::size_t last = i + 2;
            while (last < received.size() && (received[last] < '@' || received[last] > '~')) {
                ++last;
            }
            const std::string_view sequence = received.substr(i, last + 1 - i);
            const std::string_view count = sequence.substr(2, sequence.size() - 3);
            if (sequence == "\x1b[K") {
                line.resize(std::min(line.size(), column));
            } else if (sequence.back() == 'C' &&
                       count.find_first_not_of("0123456789") == std::string_view::npos) {
                column += count.empty() ? 1 : std::stoul(std::string(count));
            } else if (sequence != "\x1b[?25l" && sequence != "\x1b[?25h") {
                ADD_FAILURE() << "Unexpected escape sequence "
                              << ::testing::PrintToString(sequence);
            }
            i = last;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            ADD_FAILURE() << "Unexpected control character " << static_cast<int>(c);
        } else {
            line.resize(std::max(line.size(), column + 1), ' ');
            line[column++] = c;
        }
    }
    std::string screen;
    for (std::string& line : lines) {
        line.erase(line.find_last_not_of(' ') + 1);
        screen += line + (&line == &lines.back() ? "" : "\n");
    }
    return screen;
}

RunResult runTessaloom(const std::vector<std::string>& args, const std::filesystem::path& workDir,
                       const RunOptions& options) {
    if (options.addressSpaceLimit != 0 && !addressSpaceLimitUnsupported().empty()) {
        ADD_FAILURE() << addressSpaceLimitUnsupported()
                      << "; skip this test with TESSALOOM_SKIP_WITHOUT_ADDRESS_SPACE_LIMIT()";
        return {};
    }
    std::vector<std::string> command =
        splitWords(environmentOr("TESSALOOM_LAUNCHER", TESSALOOM_DEFAULT_LAUNCHER));
    command.push_back(options.user && !windowsExecutable() ? executableForAnyUser()
                                                           : executablePath());
    command.insert(command.end(), args.begin(), args.end());

    if (options.stdoutOnTerminal && !options.stdoutPath.empty()) {
        ADD_FAILURE() << "Standard output can go to a file or to the terminal, not both";
        return {};
    }
    const bool onTerminal = options.stderrOnTerminal || options.stdoutOnTerminal;
    const Terminal terminal = onTerminal ? openTerminal() : Terminal{};
    if (onTerminal && terminal.master < 0) {
        return {};
    }
    int inPipe[2] = {-1, -1};
    int outPipe[2];
    int errPipe[2];
    if ((options.stdinData && pipe(inPipe) != 0) || pipe(outPipe) != 0 || pipe(errPipe) != 0) {
        return {};
    }
    const pid_t pid = fork();
    if (pid == 0) {
        close(outPipe[0]);
        close(errPipe[0]);
        if (inPipe[1] >= 0) {
            close(inPipe[1]);
        }
        if (onTerminal) {
            close(terminal.master);
        }
        execChild(command, workDir, options, inPipe[0], outPipe[1], errPipe[1], terminal.slave);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    if (onTerminal) {
        // Held open here, the slave end would keep the terminal from ever ending.
        close(terminal.slave);
    }
    std::thread feeder;
    if (options.stdinData) {
        close(inPipe[0]);
        // A child that ends before reading everything must not end the driver with SIGPIPE.
        signal(SIGPIPE, SIG_IGN);
        // Fed from a thread of its own, so that a child that reads slowly never blocks the
        // draining of its output.
        feeder = std::thread([fd = inPipe[1], &data = *options.stdinData] {
            for (std::size_t done = 0; done < data.size();) {
                const ssize_t n = write(fd, data.data() + done, data.size() - done);
                if (n <= 0) {
                    break;  // the child stopped reading
                }
                done += static_cast<std::size_t>(n);
            }
            close(fd);
        });
    }
    std::thread watcher;
    if (options.meanwhile && pid > 0) {
        watcher = std::thread([&options, pid] { options.meanwhile(static_cast<int>(pid)); });
    }
    RunResult result;
    drain(outPipe[0], errPipe[0], terminal.master, result);
    if (feeder.joinable()) {
        feeder.join();
    }
    if (watcher.joinable()) {
        watcher.join();
    }
    int wstatus = 0;
    if (pid < 0 || waitpid(pid, &wstatus, 0) != pid) {
        return result;
    }
    result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    if (windowsExecutable() && !options.keepLineEnds) {
        result.out = withUnixLineEnds(result.out);
        result.err = withUnixLineEnds(result.err);
    }
    return result;
}

void E2ETest::SetUp() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "tessaloom-e2e-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
}

void E2ETest::TearDown() {
    std::error_code ignored;
    std::filesystem::permissions(dir_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(dir_, ignored);
}

void E2ETest::writeFile(const std::string& name, std::string_view content) const {
    std::ofstream(path(name), std::ios::binary)
        .write(content.data(), static_cast<std::streamsize>(content.size()));
}

void E2ETest::writeSparseFile(
    const std::string& name, std::uint64_t size,
    const std::vector<std::pair<std::uint64_t, std::string>>& pieces) const {
    writeFile(name, "");
    std::filesystem::resize_file(path(name), size);
    std::fstream file(path(name), std::ios::binary | std::ios::in | std::ios::out);
    for (const auto& [offset, piece] : pieces) {
        file.seekp(static_cast<std::streamoff>(offset));
        file.write(piece.data(), static_cast<std::streamsize>(piece.size()));
    }
}

std::string E2ETest::readFile(const std::string& name) const {
    std::ifstream in(path(name), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void E2ETest::expectRuns(const std::vector<ExpectedRun>& cases, const RunOptions& options) const {
    for (const ExpectedRun& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        const RunResult result = run(c.args, options);
        EXPECT_EQ(result.out, c.out);
        EXPECT_EQ(result.err, c.err);
        EXPECT_EQ(result.status, c.status);
    }
}

namespace {

void writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = write(fd, bytes.data(), bytes.size());
        if (n <= 0) {
            return;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

}  // namespace

SlowFifo::SlowFifo(const std::filesystem::path& path, std::string data,
                   std::chrono::milliseconds pause, std::size_t piece)
    : path_(path) {
    if (mkfifo(path.c_str(), 0600) != 0) {
        ADD_FAILURE() << "no FIFO";
        return;
    }
    // A reader that ends early must not end the test with SIGPIPE.
    signal(SIGPIPE, SIG_IGN);
    writer_ = std::thread([this, data = std::move(data), pause, piece] {
        const int fd = open(path_.c_str(), O_WRONLY);
        std::string_view rest(data);
        const std::size_t first = std::min<std::size_t>(rest.size(), 300 << 10);
        writeAll(fd, rest.substr(0, first));
        rest.remove_prefix(first);
        do {
            std::this_thread::sleep_for(pause);
            const std::size_t size = piece == 0 ? rest.size() : std::min(piece, rest.size());
            writeAll(fd, rest.substr(0, size));
            rest.remove_prefix(size);
        } while (!rest.empty());
        close(fd);
    });
}

SlowFifo::~SlowFifo() {
    const int letGo = open(path_.c_str(), O_RDONLY | O_NONBLOCK);
    fcntl(letGo, F_SETFL, 0);
    for (char rest[4096]; read(letGo, rest, sizeof rest) > 0;) {
    }
    if (writer_.joinable()) {
        writer_.join();
    }
    close(letGo);
}

std::string bytes(std::initializer_list<int> values) {
    std::string text;
    for (const int value : values) {
        text.push_back(static_cast<char>(value));
    }
    return text;
}

}  // namespace tessaloom::e2e
