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

// pwrite and pread may move fewer bytes than asked (a signal, a full disk on the way): `move`
// does one of them for the bytes from `done` on; a move of nothing fails with `endError`.
template <typename Move>
bool moveAll(Move move, size_t size, uint64_t offset, int endError) {
    size_t done = 0;
    while (done < size) {
        const ssize_t moved = move(done, size - done, static_cast<off_t>(offset + done));
        if (moved < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (moved == 0) {
            errno = endError;
            return false;
        }
        done += static_cast<size_t>(moved);
    }
    return true;
}

bool writeAll(int descriptor, const void* data, size_t size, uint64_t offset) {
    const auto* bytes = static_cast<const char*>(data);
    return moveAll([&](size_t done, size_t left,
                       off_t at) { return ::pwrite(descriptor, bytes + done, left, at); },
                   size, offset, ENOSPC);
}

// A record that ends before its values do reads as an input/output error.
bool readAll(int descriptor, void* data, size_t size, uint64_t offset) {
    auto* bytes = static_cast<char*>(data);
    return moveAll([&](size_t done, size_t left,
                       off_t at) { return ::pread(descriptor, bytes + done, left, at); },
                   size, offset, EIO);
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
