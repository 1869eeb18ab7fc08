#include "pipeline/spill_file.h"

#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace ostrel::session {
namespace {

constexpr char kTag[8] = {'O', 'S', 'T', 'R', 'E', 'L', 'I', 'F'};

struct RecordHeader {
    char tag[8];
    uint64_t number;
    double timestampMs;
    uint64_t count;
};
static_assert(sizeof(RecordHeader) == 32, "records keep their values 8-byte aligned");

std::string systemError(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

// pwrite and pread may move fewer bytes than asked (a signal, a full disk on the way).
bool writeAll(int descriptor, const void* data, size_t size, uint64_t offset) {
    const auto* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t written = ::pwrite(descriptor, bytes, size, static_cast<off_t>(offset));
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (written == 0) {
            errno = ENOSPC;
            return false;
        }
        bytes += written;
        size -= static_cast<size_t>(written);
        offset += static_cast<uint64_t>(written);
    }
    return true;
}

bool readAll(int descriptor, void* data, size_t size, uint64_t offset) {
    auto* bytes = static_cast<char*>(data);
    while (size > 0) {
        const ssize_t got = ::pread(descriptor, bytes, size, static_cast<off_t>(offset));
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (got == 0) {
            errno = EIO;  // the record ends before its values do
            return false;
        }
        bytes += got;
        size -= static_cast<size_t>(got);
        offset += static_cast<uint64_t>(got);
    }
    return true;
}

}  // namespace

SpillFile::~SpillFile() {
    close();
}

bool SpillFile::open(const std::string& directory, std::string* error) {
    close();
    path_ = directory + "/" + kName;
    descriptor_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (descriptor_ < 0) {
        *error = systemError(("cannot create " + path_).c_str());
        return false;
    }
    return true;
}

void SpillFile::close() {
    if (descriptor_ >= 0) {
        ::close(descriptor_);
        descriptor_ = -1;
        ::unlink(path_.c_str());
    }
}

size_t SpillFile::recordBytes(size_t values) {
    return sizeof(RecordHeader) + values * sizeof(double);
}

uint64_t SpillFile::freeBytes() const {
    struct statvfs status {};
    if (descriptor_ < 0 || ::fstatvfs(descriptor_, &status) != 0) {
        return 0;
    }
    return static_cast<uint64_t>(status.f_bavail) * status.f_frsize;
}

bool SpillFile::write(uint64_t offset, uint64_t number, double timestampMs, const double* values,
                      size_t count, std::string* error) {
    RecordHeader header{};
    std::memcpy(header.tag, kTag, sizeof kTag);
    header.number = number;
    header.timestampMs = timestampMs;
    header.count = count;
    if (!writeAll(descriptor_, &header, sizeof header, offset) ||
        !writeAll(descriptor_, values, count * sizeof(double), offset + sizeof header)) {
        *error = systemError(("cannot write " + path_).c_str());
        return false;
    }
    return true;
}

bool SpillFile::read(uint64_t offset, uint64_t number, double* values, size_t count,
                     std::string* error) const {
    RecordHeader header{};
    if (!readAll(descriptor_, &header, sizeof header, offset)) {
        *error = systemError(("cannot read " + path_).c_str());
        return false;
    }
    if (std::memcmp(header.tag, kTag, sizeof kTag) != 0 || header.number != number ||
        header.count != count) {
        *error = "the record of file " + std::to_string(number) + " in " + path_ +
                 " is not what was written there";
        return false;
    }
    if (!readAll(descriptor_, values, count * sizeof(double), offset + sizeof header)) {
        *error = systemError(("cannot read " + path_).c_str());
        return false;
    }
    return true;
}

void SpillFile::release(uint64_t offset, size_t count) {
    // A file system without holes keeps the space until the run ends; nothing is lost by that.
    ::fallocate(descriptor_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(offset),
                static_cast<off_t>(recordBytes(count)));
}

}  // namespace ostrel::session
