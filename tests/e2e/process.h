// Runs the built executable as a real process in a temporary folder and captures what it writes.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace tessaloom::e2e {

// What the run wrote. The CR LF line ends of a Windows executable are read as LF (see
// windowsExecutable), so that every expected text is written once with "\n".
struct RunResult {
    std::string out;  // empty when standard output went to the terminal
    std::string err;  // empty when standard error went to the terminal
    // Every byte the terminal received (see RunOptions::stderrOnTerminal), as received: its line
    // discipline turns each "\n" into "\r\n", and under Wine the program's console adds escape
    // sequences of its own. screenText shows what the terminal displays in the end.
    std::string terminal;
    // The exit status, or 128 + the signal number when a signal ended the run (142 for SIGALRM
    // after a run of more than a minute).
    int status = -1;
};

struct RunOptions {
    std::string stdoutPath;  // write standard output to this file, not a pipe
    // Bytes of address space allowed; 0 for no limit. A test that sets it starts with
    // TESSALOOM_SKIP_WITHOUT_ADDRESS_SPACE_LIMIT().
    std::uint64_t addressSpaceLimit = 0;
    // Largest file size the run may write, in bytes; 0 for no limit. The run starts with the
    // signal of a write beyond it (SIGXFSZ) at its default action, which ends the program: what
    // happens instead is up to the program itself.
    std::uint64_t fileSizeLimit = 0;
    bool keepLineEnds = false;  // leave CR LF as written, to test the line ends themselves
    // Written to standard input through a pipe, which is then closed; without it standard input
    // is /dev/null.
    std::optional<std::string> stdinData;
    // Seconds after which the run is ended by SIGALRM (status 142): a guard against a hang, long
    // enough that a loaded machine (a 5 GiB sparse image read on a busy CI runner) never trips it.
    unsigned timeLimitSeconds = 600;
    // Standard error, standard output or both on a pseudo-terminal (one, 80 columns by 24 lines)
    // instead of a pipe, as when the program is run from a terminal window. Standard output goes
    // to a file or to the terminal, not both.
    bool stderrOnTerminal = false;
    bool stdoutOnTerminal = false;
    // Run as this user and group (needs the superuser), with no supplementary groups.
    std::optional<std::pair<unsigned, unsigned>> user;
    // Called on a thread of its own with the process ID while the run goes on: to send it a signal
    // or look at its files mid-run. The run's result is taken once both are over.
    std::function<void(int pid)> meanwhile;
};

// The executable under test (TESSALOOM_EXE, or the one this build made), made absolute when it is
// a path, since the run starts in another folder.
std::string executablePath();

// What legitimately differs when the executable under test is a Windows one, run behind Wine
// (TESSALOOM_LAUNCHER=wine), is decided by these three and nowhere else.

// True when the executable under test is a Windows program (its file starts with "MZ").
bool windowsExecutable();

// The program name as the executable receives it: the path it was started by; under Wine that
// path as a Windows path on Wine's drive Z:, which is the root of the Unix file system.
std::string programName();

// What the information window writes to the console: its caption, an empty line and its text; on
// Windows nothing, as it is a message box (which Wine with no display closes at once).
std::string infoWindowConsoleText();

// Skips the current test, giving the reason, when the executable under test is a Windows one.
#define TESSALOOM_SKIP_FOR_WINDOWS(reason)                  \
    if (::tessaloom::e2e::windowsExecutable()) {            \
        GTEST_SKIP() << "Windows executable: " << (reason); \
    }

// Why a limit on address space cannot be tested here, or empty when it can. Wine, and a program
// built with AddressSanitizer, reserve far more address space than any such limit leaves.
std::string addressSpaceLimitUnsupported();

// Skips the current test, giving the reason, when a limit on address space cannot be tested.
#define TESSALOOM_SKIP_WITHOUT_ADDRESS_SPACE_LIMIT()                                              \
    if (const std::string why = ::tessaloom::e2e::addressSpaceLimitUnsupported(); !why.empty()) { \
        GTEST_SKIP() << why;                                                                      \
    }

// What a terminal displays after receiving these bytes, its lines joined by "\n" without their
// trailing blanks: a carriage return goes back to the start of the line, a character overwrites
// the one under it, a newline ends the line. Lines are not wrapped at the terminal's width. Of the
// escape sequences, those that Wine's console writes are understood (showing and hiding the
// cursor, erasing to the end of the line, moving right); anything else is a test failure, since
// the program itself writes none.
std::string screenText(std::string_view received);

// Runs the executable with args in workDir, behind the launcher (TESSALOOM_LAUNCHER) if any.
RunResult runTessaloom(const std::vector<std::string>& args, const std::filesystem::path& workDir,
                       const RunOptions& options = {});

// One run and what it must write and return: by default nothing on standard error and status 0.
struct ExpectedRun {
    std::vector<std::string> args;
    std::string out;
    std::string err = {};
    int status = 0;
};

// A fresh temporary folder per test, removed afterwards.
class E2ETest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    std::filesystem::path path(const std::string& name) const { return dir_ / name; }
    void writeFile(const std::string& name, std::string_view bytes) const;
    // A sparse file of size bytes, zero but for the given bytes at their offsets: an image of
    // gigabytes that takes no disk space.
    void writeSparseFile(const std::string& name, std::uint64_t size,
                         const std::vector<std::pair<std::uint64_t, std::string>>& pieces) const;
    std::string readFile(const std::string& name) const;
    bool exists(const std::string& name) const { return std::filesystem::exists(path(name)); }
    RunResult run(const std::vector<std::string>& args, const RunOptions& options = {}) const {
        return runTessaloom(args, dir_, options);
    }
    // Runs every case in turn and compares all it wrote and returned.
    void expectRuns(const std::vector<ExpectedRun>& cases, const RunOptions& options = {}) const;

  private:
    std::filesystem::path dir_;
};

// A FIFO whose writer, once a run opens it, writes the first 300 KiB of data at once and the
// rest after a pause of more than a second, or, given a piece size, the rest a piece at a time
// with that pause between pieces: a run that reads it surely lasts long enough for its progress
// line to appear, or for a signal to reach it mid-run, however fast the machine.
class SlowFifo {
  public:
    SlowFifo(const std::filesystem::path& path, std::string data,
             std::chrono::milliseconds pause = std::chrono::milliseconds(1200),
             std::size_t piece = 0);
    // Lets the writer go should the run not have read all of the FIFO.
    ~SlowFifo();
    SlowFifo(const SlowFifo&) = delete;
    SlowFifo& operator=(const SlowFifo&) = delete;

  private:
    std::filesystem::path path_;
    std::thread writer_;
};

// Bytes given as a list of values, for files that are not text.
std::string bytes(std::initializer_list<int> values);

}  // namespace tessaloom::e2e
