#include "e2e/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>
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

[[noreturn]] void execChild(const std::vector<std::string>& command,
                            const std::filesystem::path& workDir, const RunOptions& options,
                            int inFd, int outFd, int errFd) {
    if (inFd < 0) {
        inFd = open("/dev/null", O_RDONLY);
    }
    if (!options.stdoutPath.empty()) {
        outFd = open(options.stdoutPath.c_str(), O_WRONLY);
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
    std::vector<char*> argv;
    for (const std::string& word : command) {
        argv.push_back(const_cast<char*>(word.c_str()));
    }
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
}

// Reads both pipes to their end together, so that neither can fill up and block the child.
void drain(int outFd, int errFd, std::string& out, std::string& err) {
    std::array<pollfd, 2> fds{pollfd{outFd, POLLIN, 0}, pollfd{errFd, POLLIN, 0}};
    std::array<std::string*, 2> sinks{&out, &err};
    std::array<char, 65536> chunk{};
    int open = 2;
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

RunResult runTessaloom(const std::vector<std::string>& args, const std::filesystem::path& workDir,
                       const RunOptions& options) {
    if (options.addressSpaceLimit != 0 && !addressSpaceLimitUnsupported().empty()) {
        ADD_FAILURE() << addressSpaceLimitUnsupported()
                      << "; skip this test with TESSALOOM_SKIP_WITHOUT_ADDRESS_SPACE_LIMIT()";
        return {};
    }
    std::vector<std::string> command =
        splitWords(environmentOr("TESSALOOM_LAUNCHER", TESSALOOM_DEFAULT_LAUNCHER));
    command.push_back(executablePath());
    command.insert(command.end(), args.begin(), args.end());

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
        execChild(command, workDir, options, inPipe[0], outPipe[1], errPipe[1]);
    }
    close(outPipe[1]);
    close(errPipe[1]);
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
    RunResult result;
    drain(outPipe[0], errPipe[0], result.out, result.err);
    if (feeder.joinable()) {
        feeder.join();
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

std::string bytes(std::initializer_list<int> values) {
    std::string text;
    for (const int value : values) {
        text.push_back(static_cast<char>(value));
    }
    return text;
}

}  // namespace tessaloom::e2e
