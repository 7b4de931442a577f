// Add-on: CD audio tracks through libcdio. A ".cda" file names a track of the disc in the drive,
// either as the RIFF "CDDA" record of a track or by its file name ("Track05.cda"). The track is
// read as raw audio sectors: 44100 Hz, stereo, 16-bit.
#include <cdio/cdio.h>
#include <cdio/logging.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "sources/bass/addons/AddonCommon.h"

namespace {

constexpr uint32_t kSectorBytes = CDIO_CD_FRAMESIZE_RAW;  // 2352: 588 stereo 16-bit frames
constexpr uint32_t kSectorsPerRead = 16;

struct CdCloser {
    void operator()(CdIo_t* cd) const { cdio_destroy(cd); }
};

struct CdStream {
    std::unique_ptr<CdIo_t, CdCloser> cd;
    lsn_t next = 0, end = 0;  // next sector to read, one past the last
    std::vector<uint8_t> buffer;
    size_t bufferPos = 0;
};

void QuietLog(cdio_log_level_t, const char*) {}

bool EndsWithCda(const std::string& path) {
    if (path.size() < 4) return false;
    std::string ext = path.substr(path.size() - 4);
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return ext == ".cda";
}

// Track number named by the file, or 0.
int TrackOf(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    uint8_t h[24] = {};
    if (in.read(reinterpret_cast<char*>(h), sizeof h) && std::memcmp(h, "RIFF", 4) == 0 &&
        std::memcmp(h + 8, "CDDA", 4) == 0 && std::memcmp(h + 12, "fmt ", 4) == 0)
        return h[22] | (h[23] << 8);
    // Otherwise the digits of the file name: "Track05.cda".
    size_t slash = path.find_last_of('/');
    std::string name = path.substr(slash == std::string::npos ? 0 : slash + 1);
    int track = 0;
    bool digits = false;
    for (char c : name.substr(0, name.size() - 4)) {
        if (std::isdigit(static_cast<unsigned char>(c))) {
            track = std::min(track * 10 + (c - '0'), 1000);
            digits = true;
        } else if (digits) {
            break;
        }
    }
    return track;
}

void* CdOpen(const char* path, BassAddonStreamInfo* info) {
    if (!path || !info || !EndsWithCda(path)) return nullptr;
    int track = TrackOf(path);
    if (track <= 0 || track > 99) return nullptr;
    cdio_log_set_handler(QuietLog);
    auto stream = std::make_unique<CdStream>();
    stream->cd.reset(cdio_open(nullptr, DRIVER_DEVICE));
    if (!stream->cd) return nullptr;  // no drive, or no disc in it
    CdIo_t* cd = stream->cd.get();
    track_t first = cdio_get_first_track_num(cd);
    track_t count = cdio_get_num_tracks(cd);
    if (first == CDIO_INVALID_TRACK || count == CDIO_INVALID_TRACK) return nullptr;
    if (track < first || track >= first + count) return nullptr;
    if (cdio_get_track_format(cd, static_cast<track_t>(track)) != TRACK_FORMAT_AUDIO) return nullptr;
    lsn_t start = cdio_get_track_lsn(cd, static_cast<track_t>(track));
    lsn_t last = cdio_get_track_last_lsn(cd, static_cast<track_t>(track));
    if (start == CDIO_INVALID_LSN || last == CDIO_INVALID_LSN || last < start) return nullptr;
    stream->next = start;
    stream->end = last + 1;
    info->freq = 44100;
    info->chans = 2;
    info->bits = 16;
    info->length = static_cast<uint64_t>(stream->end - start) * kSectorBytes;
    info->fileStart = -1;
    info->fileEnd = -1;
    return stream.release();
}

uint32_t CdRead(void* handle, void* buffer, uint32_t bytes) {
    auto* s = static_cast<CdStream*>(handle);
    auto* dst = static_cast<uint8_t*>(buffer);
    uint32_t done = 0;
    bytes -= bytes % 4;
    while (done < bytes) {
        if (s->bufferPos < s->buffer.size()) {
            size_t n = std::min<size_t>(bytes - done, s->buffer.size() - s->bufferPos);
            std::memcpy(dst + done, s->buffer.data() + s->bufferPos, n);
            s->bufferPos += n;
            done += static_cast<uint32_t>(n);
            continue;
        }
        if (s->next >= s->end) break;
        uint32_t sectors = static_cast<uint32_t>(std::min<lsn_t>(kSectorsPerRead, s->end - s->next));
        s->buffer.resize(sectors * kSectorBytes);
        s->bufferPos = 0;
        if (cdio_read_audio_sectors(s->cd.get(), s->buffer.data(), s->next, sectors) != DRIVER_OP_SUCCESS) {
            // A read failure (disc removed, damaged sector) ends the track.
            s->buffer.clear();
            s->next = s->end;
            break;
        }
        s->next += static_cast<lsn_t>(sectors);
    }
    return done;
}

void CdClose(void* handle) { delete static_cast<CdStream*>(handle); }

const BassAddonDecoder kCdDecoder = {sizeof(BassAddonDecoder), CdOpen, CdRead, CdClose, nullptr, nullptr};

}  // namespace

BASS_ADDON_EXPORT uint32_t BassAddonRegister(const BassAddonHost* host) {
    if (!sonavert::addon::HostUsable(host)) return 0;
    return host->registerDecoder(host->context, &kCdDecoder) ? BASS_ADDON_ABI_VERSION : 0;
}
