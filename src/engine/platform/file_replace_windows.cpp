// The C runtime's fopen does not know the exclusive "x" mode everywhere, and std::filesystem
// would reinterpret narrow names, which are in the ANSI code page; both calls go to the Windows
// API with the name unchanged.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include "file_replace.h"

namespace tessaloom::platform {

std::FILE* createNewFile(const std::string& path) {
    const HANDLE handle = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_BINARY);
    if (descriptor == -1) {
        CloseHandle(handle);
        DeleteFileA(path.c_str());
        return nullptr;
    }
    std::FILE* file = _fdopen(descriptor, "wb");
    if (file == nullptr) {
        _close(descriptor);
        DeleteFileA(path.c_str());
    }
    return file;
}

bool replaceFile(const std::string& from, const std::string& to) {
    return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

}  // namespace tessaloom::platform
