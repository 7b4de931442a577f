#include "sources/AudioSource.h"

namespace sonavert {

void AudioSource::ResetFormat() {
    length = 0;
    position = 0;
    duration = 0;
    sampleRate = 0;
    storedChannels = 0;
    channels = 0;
    bitsPerSample = 0;
    bytesPerSample = 0;
    bitRate = 0;
    channelMode = kModeNone;
    videoWidth = 0;
    videoHeight = 0;
    videoFrameRate = 0.0;
}

}  // namespace sonavert
