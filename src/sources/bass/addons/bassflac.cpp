// Add-on: FLAC (native and in Ogg), decoded by the layer's FFmpeg engine once registered.
#include "sources/bass/addons/AddonCommon.h"

BASS_ADDON_EXPORT uint32_t BassAddonRegister(const BassAddonHost* host) {
    return sonavert::addon::RegisterCodecs(host, {"flac"});
}
