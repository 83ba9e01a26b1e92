// A fresh folder per file test, and helpers to look into it.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <string>

#include "engine/text_bytes.h"
#include "engine/types.h"

namespace tessaloom {

namespace fs = std::filesystem;

class FileIoTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::random_device random;
        do {
            dir_ = fs::temp_directory_path() / ("tessaloom-io-" + std::to_string(random()));
        } while (!fs::create_directory(dir_));
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    std::string path(const std::string& name) const { return (dir_ / name).string(); }
    void write(const std::string& name, const std::string& content) const {
        std::ofstream(path(name), std::ios::binary) << content;
    }
    std::string read(const std::string& name) const {
        std::ifstream in(path(name), std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    // The names in a folder of the test's own: a temporary file left behind shows up here.
    std::set<std::string> list(const std::string& folder = "") const {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir_ / folder)) {
            names.insert(entry.path().filename().string());
        }
        return names;
    }
    fs::perms permissions(const std::string& name) const {
        return fs::status(path(name)).permissions();
    }

    fs::path dir_;
};

}  // namespace tessaloom
