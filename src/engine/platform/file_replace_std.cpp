#include <filesystem>

#include "file_replace.h"

namespace tessaloom::platform {

std::FILE* createNewFile(const std::string& path) {
    return std::fopen(path.c_str(), "wbx");
}

bool replaceFile(const std::string& from, const std::string& to) {
    std::error_code error;
    std::filesystem::rename(from, to, error);
    return !error;
}

}  // namespace tessaloom::platform
