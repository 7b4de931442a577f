#include "support/OggTestUtil.h"

#include <ogg/ogg.h>
#include <vorbis/vorbisenc.h>

#include <cstdio>
#include <cstring>
#include <sstream>

#include "support/TestUtil.h"

namespace testutil {

namespace {

uint32_t Le32(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24); }

// The CRC of Ogg pages: polynomial 0x04C11DB7, no reflection, initial value 0.
uint32_t OggCrc(const uint8_t* data, size_t size) {
    static uint32_t table[256];
    static bool made = false;
    if (!made) {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t r = i << 24;
            for (int k = 0; k < 8; ++k) r = (r & 0x80000000u) ? (r << 1) ^ 0x04C11DB7u : r << 1;
            table[i] = r;
        }
        made = true;
    }
    uint32_t crc = 0;
    for (size_t i = 0; i < size; ++i) crc = (crc << 8) ^ table[((crc >> 24) ^ data[i]) & 0xFF];
    return crc;
}

}  // namespace

int OggPage::PacketsEnded() const {
    int n = 0;
    for (uint8_t v : lacing) n += v < 255;
    return n;
}

std::vector<OggPage> ParseOggPages(const std::vector<uint8_t>& bytes) {
    std::vector<OggPage> pages;
    size_t at = 0;
    while (at + 27 <= bytes.size() && std::memcmp(&bytes[at], "OggS", 4) == 0 && bytes[at + 4] == 0) {
        const uint8_t* h = &bytes[at];
        const size_t segments = h[26];
        if (at + 27 + segments > bytes.size()) break;
        size_t bodyLength = 0;
        for (size_t i = 0; i < segments; ++i) bodyLength += h[27 + i];
        const size_t length = 27 + segments + bodyLength;
        if (at + length > bytes.size()) break;
        OggPage p;
        p.offset = at;
        p.length = length;
        p.flags = h[5];
        uint64_t g = 0;
        for (int i = 7; i >= 0; --i) g = (g << 8) | h[6 + i];
        p.granule = static_cast<int64_t>(g);
        p.serial = Le32(h + 14);
        p.sequence = Le32(h + 18);
        std::vector<uint8_t> copy(bytes.begin() + static_cast<long>(at), bytes.begin() + static_cast<long>(at + length));
        const uint32_t stored = Le32(&copy[22]);
        std::memset(&copy[22], 0, 4);
        p.crcOk = OggCrc(copy.data(), copy.size()) == stored;
        p.lacing.assign(h + 27, h + 27 + segments);
        p.body.assign(h + 27 + segments, h + length);
        pages.push_back(std::move(p));
        at += length;
    }
    return pages;
}

void FixOggPageCrc(std::vector<uint8_t>& bytes, size_t pageOffset) {
    const auto pages = ParseOggPages(std::vector<uint8_t>(bytes.begin() + static_cast<long>(pageOffset), bytes.end()));
    if (pages.empty()) return;
    uint8_t* page = &bytes[pageOffset];
    std::memset(page + 22, 0, 4);
    const uint32_t crc = OggCrc(page, pages[0].length);
    for (int i = 0; i < 4; ++i) page[22 + i] = static_cast<uint8_t>(crc >> (8 * i));
}

VorbisIdHeader ReadVorbisIdHeader(const std::vector<uint8_t>& bytes) {
    VorbisIdHeader id;
    const auto pages = ParseOggPages(bytes);
    if (pages.empty()) return id;
    const auto& b = pages[0].body;
    if (b.size() < 30 || b[0] != 1 || std::memcmp(&b[1], "vorbis", 6) != 0) return id;
    id.channels = b[11];
    id.rate = Le32(&b[12]);
    id.maximum = static_cast<int32_t>(Le32(&b[16]));
    id.nominal = static_cast<int32_t>(Le32(&b[20]));
    id.minimum = static_cast<int32_t>(Le32(&b[24]));
    id.ok = true;
    return id;
}

std::vector<std::string> VorbisCommentList(const std::string& path, bool* ok) {
    std::string out;
    const int status = Run("vorbiscomment -l -R " + Quote(path), &out);
    if (ok) *ok = status == 0;
    std::vector<std::string> lines;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

bool WriteVorbisFile(const std::string& path, const std::vector<int16_t>& interleaved, int channels, int rate,
                     const VorbisFileOptions& options) {
    vorbis_info vi;
    vorbis_info_init(&vi);
    if (vorbis_encode_init_vbr(&vi, channels, rate, options.quality) != 0) {
        vorbis_info_clear(&vi);
        return false;
    }
    vorbis_comment vc;
    vorbis_comment_init(&vc);
    for (const std::string& c : options.comments) vorbis_comment_add(&vc, c.c_str());
    vorbis_dsp_state vd;
    vorbis_block vb;
    vorbis_analysis_init(&vd, &vi);
    vorbis_block_init(&vd, &vb);
    ogg_stream_state os;
    ogg_stream_init(&os, 4242);

    std::FILE* f = std::fopen(path.c_str(), "wb");
    bool good = f != nullptr;
    auto write = [&](const ogg_page& og) {
        if (!f) return;
        good &= std::fwrite(og.header, 1, og.header_len, f) == static_cast<size_t>(og.header_len);
        good &= std::fwrite(og.body, 1, og.body_len, f) == static_cast<size_t>(og.body_len);
    };

    ogg_packet h1, h2, h3;
    vorbis_analysis_headerout(&vd, &vc, &h1, &h2, &h3);
    ogg_stream_packetin(&os, &h1);
    ogg_stream_packetin(&os, &h2);
    ogg_stream_packetin(&os, &h3);
    ogg_page og;
    while (ogg_stream_flush(&os, &og)) write(og);

    int audioPage = 0;
    int packets = 0;
    bool junkDone = options.junkBytes == 0;
    ogg_int64_t lastGranule = 0;
    ogg_int64_t packetNumber = 3;
    auto pagesOut = [&](bool junk) {
        int junkPage = 0;
        while (junk ? ogg_stream_flush(&os, &og) : ogg_stream_pageout(&os, &og)) {
            const bool drop = junk ? (junkPage++ % 2 == 1) : audioPage == options.dropAudioPage;
            if (!junk) ++audioPage;
            if (!drop) write(og);
        }
    };
    auto feedPacket = [&](ogg_packet& op) {
        if (!junkDone && packets == options.junkAfterPackets) {
            // Pages of the stream so far go out first, so that the junk stands on pages of its own.
            while (ogg_stream_flush(&os, &og)) {
                write(og);
                ++audioPage;
            }
            std::vector<unsigned char> junk(options.junkBytes, 0x5A);
            junk[0] = 1;  // a header type byte: never an audio packet
            ogg_packet jp{};
            jp.packet = junk.data();
            jp.bytes = static_cast<long>(junk.size());
            jp.granulepos = lastGranule;
            jp.packetno = packetNumber++;
            ogg_stream_packetin(&os, &jp);
            pagesOut(true);
            junkDone = true;
        }
        op.packetno = packetNumber++;
        ogg_stream_packetin(&os, &op);
        if (op.granulepos >= 0) lastGranule = op.granulepos;
        ++packets;
        pagesOut(false);
    };
    auto drain = [&] {
        ogg_packet op;
        while (vorbis_analysis_blockout(&vd, &vb) == 1) {
            vorbis_analysis(&vb, nullptr);
            vorbis_bitrate_addblock(&vb);
            while (vorbis_bitrate_flushpacket(&vd, &op)) feedPacket(op);
        }
    };

    const size_t frames = interleaved.size() / static_cast<size_t>(channels);
    for (size_t at = 0; at < frames; at += 1024) {
        const size_t n = std::min<size_t>(1024, frames - at);
        float** buffer = vorbis_analysis_buffer(&vd, static_cast<int>(n));
        for (size_t i = 0; i < n; ++i)
            for (int c = 0; c < channels; ++c)
                buffer[c][i] = interleaved[(at + i) * static_cast<size_t>(channels) + static_cast<size_t>(c)] / 32768.0f;
        vorbis_analysis_wrote(&vd, static_cast<int>(n));
        drain();
    }
    vorbis_analysis_wrote(&vd, 0);
    drain();
    while (ogg_stream_flush(&os, &og)) write(og);

    if (f) good &= std::fclose(f) == 0;
    ogg_stream_clear(&os);
    vorbis_block_clear(&vb);
    vorbis_dsp_clear(&vd);
    vorbis_comment_clear(&vc);
    vorbis_info_clear(&vi);
    return good;
}

}  // namespace testutil
