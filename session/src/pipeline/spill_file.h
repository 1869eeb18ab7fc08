// Where fetched files wait on disk once the memory set aside for them is full. An instrument
// that delivers faster than the formats can be written (text tables of long records cost several
// times a file's time on the wire) would otherwise lose files as soon as the queue in memory is
// full; its raw data is written here instead, at the rate of the link, and read back when a
// writer gets to it. The file lives in the run's directory, so it takes room from the disk the
// run writes to anyway, and is removed when the run's files are written.
//
// Each record is a small header (a tag, the file's number, its time stamp and the count of
// values) and the values, in this machine's byte order: a run killed while files wait here still
// leaves them readable. The space of a record that was read back is given back to the file
// system where it supports that, so the file's footprint is the backlog, not the run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace ostrel::session {

class SpillFile {
  public:
    // The name of the file in a run's directory.
    static constexpr const char* kName = ".unwritten-interferograms";

    SpillFile() = default;
    ~SpillFile();  // close()
    SpillFile(const SpillFile&) = delete;
    SpillFile& operator=(const SpillFile&) = delete;

    // Creates (or truncates) the file in `directory`.
    bool open(const std::string& directory, std::string* error);
    bool isOpen() const { return descriptor_ >= 0; }
    // Closes and removes the file.
    void close();

    // The bytes a record of `values` doubles takes.
    static size_t recordBytes(size_t values);
    // Bytes free for an unprivileged writer on the file's file system; 0 when unknown.
    uint64_t freeBytes() const;

    // Writes a record at `offset` (the caller hands out the offsets, so that records can be
    // written by one thread while others read). One thread at a time may write.
    bool write(uint64_t offset, uint64_t number, double timestampMs, const double* values,
               size_t count, std::string* error);
    // Reads back the values of the record at `offset`, which must hold `count` values of file
    // `number`; any thread.
    bool read(uint64_t offset, uint64_t number, double* values, size_t count,
              std::string* error) const;
    // Gives the record's space back to the file system (where it can).
    void release(uint64_t offset, size_t count);

  private:
    int descriptor_ = -1;
    std::string path_;
};

}  // namespace ostrel::session
