// Add-on: Windows Media Audio 1 and 2, decoded by the layer's FFmpeg engine once registered.
#include "sources/bass/addons/AddonCommon.h"

BASS_ADDON_EXPORT uint32_t BassAddonRegister(const BassAddonHost* host) {
    return sonavert::addon::RegisterCodecs(host, {"wmav1", "wmav2"});
}
