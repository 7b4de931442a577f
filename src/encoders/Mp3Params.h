#pragma once
// Choosing the MP3 stream parameters from the MP3 options and the source's properties, and handing
// them to an Mp3Encoder.
#include <cstdint>

namespace sonavert {

class Mp3Encoder;

// What the choice depends on. The option fields carry the values of the settings of the same name.
struct Mp3ParamInputs {
    bool automatic = true;           // AutoDestMP3EncodingParam
    int channelMode = 1;             // MP3ChannelMode: 0 stereo, 1 joint stereo, 3 mono, 4 automatic
    int monoType = 0;                // MonoType: 0 mix, 1 left, 2 right
    uint32_t sampleRate = 0;         // MP3SampleRate, 0 = the source's
    uint32_t bitRate = 0;            // MP3BitRate in kbps, 0 = from the source or the table
    uint32_t sourceRate = 0;
    uint32_t sourceChannels = 0;
    int32_t sourceChannelMode = 4;   // the source's MPEG channel mode (MP3 sources)
    uint32_t sourceBitRate = 0;      // kbps, 0 when unknown
    bool sourceIsMp3 = false;
    bool sourceIsOgg = false;
};

struct Mp3Params {
    uint32_t inputRate = 0;
    int channels = 2;        // channels handed to the encoder
    bool setMode = false;    // SetChannelMode is called only in manual mode
    int mode = 1;
    uint32_t outputRate = 0;
    uint32_t bitRate = 0;    // kbps; 0 leaves LAME's default
    int monoPick = 0;        // 0 none (all channels or LAME's mix-down), 1 left only, 2 right only
    int vbrQuality = -1;     // LAME's VBR quality 0..9 for a variable bit rate; -1 constant (bitRate)
};

// Output rate and bit rate of the automatic mode for a source rate; channels 1 picks the mono column.
struct Mp3AutoRow {
    uint32_t outputRate;
    uint32_t kbps;
};
Mp3AutoRow Mp3AutomaticRow(uint32_t sourceRate, uint32_t channels);

Mp3Params ChooseMp3Params(const Mp3ParamInputs& in);

// Hands the chosen parameters to an opened encoder (before Start).
void ApplyMp3Params(Mp3Encoder& encoder, const Mp3Params& params);

}  // namespace sonavert
