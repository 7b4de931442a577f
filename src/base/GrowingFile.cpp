#include "base/GrowingFile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <unistd.h>

namespace sonavert {

namespace {

std::function<void(int, uint64_t, uint64_t)>& PublishHook() {
    static std::function<void(int, uint64_t, uint64_t)> hook;
    return hook;
}

}  // namespace

void SetGrowingFilePublishHookForTesting(std::function<void(int fd, uint64_t from, uint64_t to)> hook) {
    PublishHook() = std::move(hook);
}

void GrowingFile::BeforePublish(uint64_t finalBytes) {
    const auto& hook = PublishHook();
    if (!hook) return;
    int fd;
    uint64_t from;
    {
        std::lock_guard lock(mutex_);
        if (state_ != State::kWriting || finalBytes <= final_) return;
        fd = fd_;
        from = final_;
    }
    hook(fd, from, finalBytes);
}

GrowingFile::~GrowingFile() {
    if (fd_ >= 0) ::close(fd_);
}

bool GrowingFile::TakeReader(int fd) {
    std::lock_guard lock(mutex_);
    if (fd_ >= 0) {
        if (fd >= 0) ::close(fd);
        return false;
    }
    fd_ = fd;
    return fd_ >= 0;
}

void GrowingFile::SetPrefix(std::vector<uint8_t> bytes) {
    std::lock_guard lock(mutex_);
    prefix_ = std::move(bytes);
}

void GrowingFile::Publish(uint64_t finalBytes) {
    BeforePublish(finalBytes);
    {
        std::lock_guard lock(mutex_);
        if (state_ != State::kWriting || finalBytes <= final_) return;
        final_ = finalBytes;
    }
    changed_.notify_all();
}

void GrowingFile::Finish(uint64_t finalBytes) {
    BeforePublish(finalBytes);
    {
        std::lock_guard lock(mutex_);
        if (state_ != State::kWriting) return;
        final_ = std::max(final_, finalBytes);
        state_ = State::kFinished;
    }
    changed_.notify_all();
}

void GrowingFile::Fail() {
    {
        std::lock_guard lock(mutex_);
        if (state_ == State::kWriting) state_ = State::kFailed;
    }
    changed_.notify_all();
}

void GrowingFile::Abort() {
    {
        std::lock_guard lock(mutex_);
        aborted_ = true;
    }
    changed_.notify_all();
}

uint64_t GrowingFile::PrefixSize() const {
    std::lock_guard lock(mutex_);
    return prefix_.size();
}

std::vector<uint8_t> GrowingFile::Prefix() const {
    std::lock_guard lock(mutex_);
    return prefix_;
}

int64_t GrowingFile::Read(uint64_t offset, uint8_t* out, size_t size) {
    if (size == 0) return 0;
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return aborted_ || state_ != State::kWriting || final_ > offset; });
    if (aborted_ || state_ == State::kFailed) return -1;
    if (offset >= final_) return 0;  // finished, and nothing beyond
    const size_t want = static_cast<size_t>(std::min<uint64_t>(size, final_ - offset));
    // The prefix as first written, then the file itself.
    if (offset < prefix_.size()) {
        const size_t n = std::min(want, static_cast<size_t>(prefix_.size() - offset));
        std::memcpy(out, prefix_.data() + offset, n);
        return static_cast<int64_t>(n);
    }
    const int fd = fd_;
    lock.unlock();
    if (fd < 0) return -1;
    size_t got = 0;
    while (got < want) {
        const ssize_t n = ::pread(fd, out + got, want - got, static_cast<off_t>(offset + got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // final bytes that are not there: the file was cut short under us
        got += static_cast<size_t>(n);
    }
    return got == want ? static_cast<int64_t>(got) : -1;
}

// ---- StreamHash ----

namespace {

constexpr uint64_t kP1 = 0x9E3779B185EBCA87ull;
constexpr uint64_t kP2 = 0xC2B2AE3D27D4EB4Full;
constexpr uint64_t kP3 = 0x165667B19E3779F9ull;
constexpr uint64_t kP4 = 0x85EBCA77C2B2AE63ull;
constexpr uint64_t kP5 = 0x27D4EB2F165667C5ull;

inline uint64_t Rotl(uint64_t v, int r) { return (v << r) | (v >> (64 - r)); }

inline uint64_t Load64(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline uint64_t Round(uint64_t acc, uint64_t input) { return Rotl(acc + input * kP2, 31) * kP1; }

}  // namespace

StreamHash::StreamHash() : lanes_{kP1 + kP2, kP2, 0, 0 - kP1} {}

void StreamHash::Stripe(const uint8_t* p) {
    for (int i = 0; i < 4; ++i) lanes_[i] = Round(lanes_[i], Load64(p + 8 * i));
}

void StreamHash::Add(const uint8_t* data, size_t size) {
    count_ += size;
    if (fill_ > 0) {
        const size_t n = std::min(size, sizeof pending_ - fill_);
        std::memcpy(pending_ + fill_, data, n);
        fill_ += n;
        data += n;
        size -= n;
        if (fill_ < sizeof pending_) return;
        Stripe(pending_);
        fill_ = 0;
    }
    // Four independent lanes: the multiplications of a stripe overlap.
    uint64_t a = lanes_[0], b = lanes_[1], c = lanes_[2], d = lanes_[3];
    for (; size >= 32; data += 32, size -= 32) {
        a = Round(a, Load64(data));
        b = Round(b, Load64(data + 8));
        c = Round(c, Load64(data + 16));
        d = Round(d, Load64(data + 24));
    }
    lanes_[0] = a, lanes_[1] = b, lanes_[2] = c, lanes_[3] = d;
    std::memcpy(pending_, data, size);
    fill_ = size;
}

uint64_t StreamHash::Result() const {
    uint64_t h = Rotl(lanes_[0], 1) + Rotl(lanes_[1], 7) + Rotl(lanes_[2], 12) + Rotl(lanes_[3], 18);
    for (uint64_t lane : lanes_) h = (h ^ Round(0, lane)) * kP1 + kP4;
    h += count_;
    size_t i = 0;
    for (; i + 8 <= fill_; i += 8) h = Rotl(h ^ Round(0, Load64(pending_ + i)), 27) * kP1 + kP4;
    for (; i < fill_; ++i) h = Rotl(h ^ (pending_[i] * kP5), 11) * kP1;
    h ^= h >> 33;
    h *= kP2;
    h ^= h >> 29;
    h *= kP3;
    h ^= h >> 32;
    return h;
}

}  // namespace sonavert
