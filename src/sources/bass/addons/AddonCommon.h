#pragma once
// Shared by the add-ons: the export attribute and registration of codecs the layer's own FFmpeg
// engine decodes on the add-on's behalf.
#include <initializer_list>

#include "sources/bass/AddonAbi.h"

#define BASS_ADDON_EXPORT extern "C" __attribute__((visibility("default")))

namespace sonavert::addon {

// True when the host speaks an ABI this add-on understands.
inline bool HostUsable(const BassAddonHost* host) {
    return host && host->version >= 1 && host->size >= sizeof(BassAddonHost) && host->registerCodec &&
           host->registerDecoder;
}

// Registers every codec; returns the ABI version when the host accepted at least one, else 0.
inline uint32_t RegisterCodecs(const BassAddonHost* host, std::initializer_list<const char*> codecs) {
    if (!HostUsable(host)) return 0;
    int accepted = 0;
    for (const char* codec : codecs) accepted += host->registerCodec(host->context, codec);
    return accepted > 0 ? BASS_ADDON_ABI_VERSION : 0;
}

}  // namespace sonavert::addon
