// Runs the built executable as a real process in a temporary folder and captures what it writes.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace tessaloom::e2e {

struct RunResult {
    std::string out;
    std::string err;
    // The exit status, or 128 + the signal number when a signal ended the run (142 for SIGALRM
    // after a run of more than a minute).
    int status = -1;
};

struct RunOptions {
    std::string stdoutPath;               // write standard output to this file, not a pipe
    std::uint64_t addressSpaceLimit = 0;  // bytes of address space allowed; 0 for no limit
    // Largest file size the run may write, in bytes; 0 for no limit. The run starts with the
    // signal of a write beyond it (SIGXFSZ) at its default action, which ends the program: what
    // happens instead is up to the program itself.
    std::uint64_t fileSizeLimit = 0;
};

// Whether the executable under test is sanitized. Such a program reserves far more address space
// than any limit on it allows, so it cannot be run out of memory to see what it reports.
#ifdef TESSALOOM_SANITIZED
inline constexpr bool kSanitizedExecutable = true;
#else
inline constexpr bool kSanitizedExecutable = false;
#endif

// The executable under test (TESSALOOM_EXE, or the one this build made).
std::string executablePath();

// Runs the executable with args in workDir, behind the launcher (TESSALOOM_LAUNCHER) if any.
RunResult runTessaloom(const std::vector<std::string>& args, const std::filesystem::path& workDir,
                       const RunOptions& options = {});

// A fresh temporary folder per test, removed afterwards.
class E2ETest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    std::filesystem::path path(const std::string& name) const { return dir_ / name; }
    void writeFile(const std::string& name, std::string_view bytes) const;
    std::string readFile(const std::string& name) const;
    bool exists(const std::string& name) const { return std::filesystem::exists(path(name)); }
    RunResult run(const std::vector<std::string>& args, const RunOptions& options = {}) const {
        return runTessaloom(args, dir_, options);
    }

  private:
    std::filesystem::path dir_;
};

// Bytes given as a list of values, for files that are not text.
std::string bytes(std::initializer_list<int> values);

}  // namespace tessaloom::e2e
