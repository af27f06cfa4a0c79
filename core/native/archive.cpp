// The flat archive functions: the reader's calls with their text copied into the caller's buffer.
#include "core/native/archive.h"

#include <cstdio>
#include <new>
#include <string>

#include "core/native/archive_reader.hpp"

using korvex::imager::ArchiveImageReader;

namespace {

void copyError(const char* text, char* buffer, size_t size) noexcept {
    if (buffer != nullptr && size != 0) std::snprintf(buffer, size, "%s", text);
}

ArchiveImageReader* reader(kvi_archive* handle) {
    return reinterpret_cast<ArchiveImageReader*>(handle);
}

}  // namespace

extern "C" kvi_archive* kvi_archive_open(int fd, char* error, size_t error_size) {
    ArchiveImageReader* opened = nullptr;
    try {
        opened = new ArchiveImageReader();
        std::string text;
        if (!opened->OpenDescriptor(fd, std::nullopt, text)) {
            delete opened;
            copyError(text.c_str(), error, error_size);
            return nullptr;
        }
        return reinterpret_cast<kvi_archive*>(opened);
    } catch (...) {
        delete opened;
        copyError(korvex::imager::kReaderNotAllocated, error, error_size);
        return nullptr;
    }
}

extern "C" ssize_t kvi_archive_read(kvi_archive* handle, void* buffer, size_t size, char* error,
                                    size_t error_size) {
    try {
        std::string text;
        if (handle == nullptr) {
            copyError(korvex::imager::kReaderNotReady, error, error_size);
            return -1;
        }
        const ssize_t n = reader(handle)->Read(buffer, size, text);
        if (n < 0) copyError(text.c_str(), error, error_size);
        return n;
    } catch (...) {
        copyError(korvex::imager::kCannotExtract, error, error_size);
        return -1;
    }
}

extern "C" int kvi_archive_finish(kvi_archive* handle, char* error, size_t error_size) {
    try {
        std::string text;
        if (handle == nullptr) {
            copyError(korvex::imager::kReaderNotReady, error, error_size);
            return 0;
        }
        if (reader(handle)->Finish(text)) return 1;
        copyError(text.c_str(), error, error_size);
        return 0;
    } catch (...) {
        copyError(korvex::imager::kCannotFinish, error, error_size);
        return 0;
    }
}

extern "C" void kvi_archive_close(kvi_archive* handle) {
    delete reader(handle);
}
