#pragma once
// Ogg Vorbis writer over libvorbisenc and libogg: the managed (average bit rate) set-up with rate
// management switched off, so the nominal bit rate picks the encoder's quality and the stream is
// variable in rate. The tag record goes in as Vorbis comments.
//
// Calling order: Open, Configure, [SetComments], Start, EncodeBlock per block, EncodeBlock with a
// count of 0 (the end of the stream), Close. Close is valid in every state and the destructor
// performs it.
//
// Every write is checked. The first write that fails or falls short (also one that only shows when
// the buffered file is flushed at Close) makes the encoder failed: FailureReason() says why,
// EncodeBlock and Start return 0 from then on, and Close returns 0.
#include <ogg/ogg.h>
#include <vorbis/codec.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "tags/TagRecord.h"

namespace sonavert {

class OggVorbisEncoder {
public:
    OggVorbisEncoder() = default;
    OggVorbisEncoder(const OggVorbisEncoder&) = delete;
    OggVorbisEncoder& operator=(const OggVorbisEncoder&) = delete;
    // Closes a file that is still open.
    virtual ~OggVorbisEncoder();

    // Closes anything still open, prepares the Vorbis info and comment records and creates
    // (truncates) `path`. Returns 1 when the file is open, 0 otherwise (with a reason).
    int Open(const std::string& path);

    // `rate` in Hz, `channels` 1 or 2, `nominalBitRate` in bits per second: managed set-up with
    // maximum and minimum -1, management off (OV_ECTL_RATEMANAGE2_SET without argument), then
    // vorbis_encode_setup_init. Returns 1 only if all three succeed; 0 (with a reason) for a
    // combination libvorbisenc cannot serve, another channel count, or when not open / started.
    // Calling it again before Start replaces the earlier set-up.
    int Configure(uint32_t rate, uint32_t channels, int32_t nominalBitRate);

    // The Vorbis comments, replacing any set before: TITLE, ARTIST, ALBUM, DATE, GENRE, COMMENT,
    // COMPOSER, COPYRIGHT for each text that is not empty, then TRACKNUMBER when the track text's
    // leading decimal value is greater than 0 (the text itself is stored, as it is). Texts are
    // UTF-8 and stored unchanged; a text that is not valid UTF-8 is skipped. Ignored unless open
    // and not yet started.
    void SetComments(const TagRecord& tags);
    // Adds one more comment after those of SetComments (a METADATA_BLOCK_PICTURE, say); an empty
    // value is skipped. Ignored unless open and not yet started.
    void AddComment(const char* key, const std::string& value);

    // Starts the stream (serial number from the project's seeded generator) and writes the three
    // header packets, flushed onto pages of their own. Returns 0 when not configured, when the
    // encoder refuses, or when a page cannot be written.
    int Start();

    // Encodes `count` samples per channel of signed 16-bit planar audio (each sample / 32768; the
    // right plane is read only for two channels). A count of 0 (planes may be null) ends the
    // stream and writes the end-of-stream page; blocks after that are refused (0), a repeated end
    // call does nothing (1). Returns 1 when every page produced reached the file, 0 when not
    // started, a plane is missing, or the encoder has failed.
    int EncodeBlock(const int16_t* left, const int16_t* right, uint32_t count);

    // Closes the file and clears the stream, block, analysis state, comment and info records, in
    // that order; zeroes all state. Does not end the stream itself. Safe to call repeatedly.
    // Returns 0 when the encoder failed since Open (the file could not be created, a page or the
    // final flush did not reach the file, the encoder broke down); the reason stays readable
    // until the next Open. Returns 1 otherwise, also when nothing was open.
    int Close();

    // Why the encoder failed; empty while nothing failed.
    const std::string& FailureReason() const { return reason_; }
    bool Failed() const { return failed_; }
    bool IsOpen() const { return file_ != nullptr; }
    // The serial number of the stream, from Start until Close.
    int SerialNumber() const { return serial_; }

private:
    bool WritePage(const ogg_page& page);
    void Fail(const std::string& reason);
    void WriteFailed();
    // Drains the analysis: blocks into packets into pages onto the file. False on failure.
    bool DrainAnalysis();

    std::FILE* file_ = nullptr;
    std::string path_;
    std::string reason_;
    bool failed_ = false;

    ogg_stream_state stream_{};
    ogg_page page_{};
    ogg_packet packet_{};
    vorbis_info info_{};
    vorbis_comment comment_{};
    vorbis_dsp_state dsp_{};
    vorbis_block block_{};

    bool infoInit_ = false;
    bool commentInit_ = false;
    bool dspInit_ = false;
    bool blockInit_ = false;
    bool streamInit_ = false;
    bool configured_ = false;
    bool started_ = false;
    bool ended_ = false;       // the end of the stream was declared
    bool eosWritten_ = false;  // the end-of-stream page is on disk

    uint32_t rate_ = 0;
    uint32_t channels_ = 0;
    int serial_ = 0;
};

}  // namespace sonavert
