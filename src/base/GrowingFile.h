#pragma once
// A file that one thread writes while another reads it as it grows. The writer says how many of
// the file's bytes are final (written out and never written again), and at the end whether it
// finished or failed; a reader waits for final bytes. The first bytes of the file, which some
// writers go back to and complete at the end, can be handed over as they were first written, so
// that a reader never sees them half rewritten.
//
// Every operation may be called from any thread. The writer never waits for a reader.
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

namespace sonavert {

class GrowingFile {
public:
    GrowingFile() = default;
    GrowingFile(const GrowingFile&) = delete;
    GrowingFile& operator=(const GrowingFile&) = delete;
    ~GrowingFile();

    // ---- The writer ----

    // Takes `fd`, a descriptor that reads the file (only positioned reads are made on it, so it
    // may share its offset with the writer's); closed with this object. False (and `fd` closed)
    // when one was taken already.
    bool TakeReader(int fd);
    // The file's first bytes as they were written first; readers get these instead of the file's.
    // Call before the first Publish.
    void SetPrefix(std::vector<uint8_t> bytes);
    // The file's first `finalBytes` bytes are written out and stay as they are (apart from the
    // prefix). Smaller counts than one published before are ignored.
    void Publish(uint64_t finalBytes);
    // The file is complete at `finalBytes` bytes.
    void Finish(uint64_t finalBytes);
    // The writer gave up: readers stop.
    void Fail();

    // ---- A reader ----

    // The reader gives up (a cancel): reads waiting or to come return at once.
    void Abort();
    // Reads up to `size` bytes at `offset` into `out`, waiting until at least one there is final.
    // Returns the bytes read; 0 at the end of a finished file; -1 when the writer failed, the
    // reading was aborted or the file could not be read.
    int64_t Read(uint64_t offset, uint8_t* out, size_t size);
    // The size of the prefix handed over (0 for none).
    uint64_t PrefixSize() const;
    // A copy of the prefix.
    std::vector<uint8_t> Prefix() const;

private:
    void BeforePublish(uint64_t finalBytes);
    enum class State { kWriting, kFinished, kFailed };
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    State state_ = State::kWriting;
    bool aborted_ = false;
    uint64_t final_ = 0;
    int fd_ = -1;
    std::vector<uint8_t> prefix_;
};

// Tests: `hook` is called on the writer's thread with the file's read descriptor and the range
// [from, to) each time before that range is published; an empty function removes it.
void SetGrowingFilePublishHookForTesting(std::function<void(int fd, uint64_t from, uint64_t to)> hook);

// A fast 64-bit hash of a byte stream, fed in pieces of any size: the same bytes give the same
// sum however they are split. It tells damaged copies apart, it is no protection against
// deliberate collisions.
class StreamHash {
public:
    StreamHash();
    void Add(const uint8_t* data, size_t size);
    uint64_t Result() const;
    uint64_t Count() const { return count_; }

private:
    void Stripe(const uint8_t* p);
    uint64_t lanes_[4];
    uint8_t pending_[32];
    size_t fill_ = 0;
    uint64_t count_ = 0;
};

}  // namespace sonavert
