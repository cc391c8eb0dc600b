#include "cli/RecordFile.h"

#include <windows.h>

namespace sparwick::cli {
namespace {

std::string lastError() {
    return "Windows error " + std::to_string(::GetLastError());
}

} // namespace

RecordFile::~RecordFile() {
    if (handle != nullptr) {
        ::CloseHandle(handle);
    }
}

std::string RecordFile::open(const std::string& path) {
    HANDLE file = ::CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return lastError();
    }
    if (::GetFileType(file) != FILE_TYPE_DISK) {
        ::CloseHandle(file);
        return "not a regular file";
    }
    handle = file;
    return {};
}

std::string RecordFile::append(const std::string& line) {
    const std::string text = line + "\n";
    DWORD written = 0;
    if (!::WriteFile(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) ||
        written != text.size()) {
        return lastError();
    }
    if (!::FlushFileBuffers(handle)) {
        return lastError();
    }
    return {};
}

std::string hostName() {
    char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof name;
    return ::GetComputerNameA(name, &size) ? std::string(name, size) : std::string();
}

} // namespace sparwick::cli
