#include "tags/GainTags.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>

#include <taglib/asffile.h>
#include <taglib/flacfile.h>
#include <taglib/id3v2header.h>
#include <taglib/id3v2tag.h>
#include <taglib/mp4file.h>
#include <taglib/mpegfile.h>
#include <taglib/opusfile.h>
#include <taglib/textidentificationframe.h>
#include <taglib/vorbisfile.h>
#include <taglib/xiphcomment.h>

namespace sonavert {

namespace {

// The tag names of one gain set, in upper case; Xiph and ASF keep them so, MP4 in lower case.
struct GainNames {
    const char* gain;
    const char* peak;
};
constexpr GainNames kTrackNames{"REPLAYGAIN_TRACK_GAIN", "REPLAYGAIN_TRACK_PEAK"};
constexpr GainNames kAlbumNames{"REPLAYGAIN_ALBUM_GAIN", "REPLAYGAIN_ALBUM_PEAK"};

TagLib::String Lower(const char* name) {
    std::string s(name);
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return TagLib::String(s);
}

// Calls `set(names, figures)` for every set the values carry.
template <typename Set>
void ForEachSet(const GainTagValues& values, Set set) {
    if (values.track) set(kTrackNames, values.trackFigures);
    if (values.album) set(kAlbumNames, values.albumFigures);
}

void SetXiph(TagLib::Ogg::XiphComment& comment, const GainTagValues& values) {
    ForEachSet(values, [&comment](const GainNames& names, const GainFigures& figures) {
        comment.addField(names.gain, ReplayGainText(figures.loudness), true);
        comment.addField(names.peak, ReplayGainPeakText(figures.peak), true);
    });
}

bool WriteId3v2(const std::string& path, const GainTagValues& values) {
    TagLib::MPEG::File file(path.c_str(), false);
    if (!file.isValid()) return false;
    // The version the tag already has; a new tag is 2.3, as the MP3 writer makes them.
    TagLib::ID3v2::Version version = TagLib::ID3v2::v3;
    if (file.hasID3v2Tag() && file.ID3v2Tag()->header()->majorVersion() == 4) version = TagLib::ID3v2::v4;
    TagLib::ID3v2::Tag* tag = file.ID3v2Tag(true);
    auto put = [tag](const char* description, const std::string& text) {
        while (auto* old = TagLib::ID3v2::UserTextIdentificationFrame::find(tag, description)) tag->removeFrame(old);
        auto* frame = new TagLib::ID3v2::UserTextIdentificationFrame(TagLib::String::Latin1);
        frame->setDescription(description);
        frame->setText(text);
        tag->addFrame(frame);
    };
    ForEachSet(values, [&put](const GainNames& names, const GainFigures& figures) {
        put(names.gain, ReplayGainText(figures.loudness));
        put(names.peak, ReplayGainPeakText(figures.peak));
    });
    return file.save(TagLib::MPEG::File::ID3v2, TagLib::File::StripNone, version, TagLib::File::DoNotDuplicate);
}

bool WriteOpus(const std::string& path, const GainTagValues& values) {
    TagLib::Ogg::Opus::File file(path.c_str(), false);
    if (!file.isValid() || !file.tag()) return false;
    TagLib::Ogg::XiphComment* comment = file.tag();
    // Opus players apply the R128 gains; ReplayGain fields would be applied on top by some.
    for (const GainNames& names : {kTrackNames, kAlbumNames}) {
        comment->removeFields(names.gain);
        comment->removeFields(names.peak);
    }
    if (values.track) comment->addField("R128_TRACK_GAIN", std::to_string(R128GainQ78(values.trackFigures.loudness)), true);
    if (values.album) comment->addField("R128_ALBUM_GAIN", std::to_string(R128GainQ78(values.albumFigures.loudness)), true);
    return file.save();
}

bool WriteMp4(const std::string& path, const GainTagValues& values) {
    TagLib::MP4::File file(path.c_str(), false);
    if (!file.isValid() || !file.tag()) return false;
    TagLib::MP4::Tag* tag = file.tag();
    ForEachSet(values, [tag](const GainNames& names, const GainFigures& figures) {
        const TagLib::String prefix = "----:com.apple.iTunes:";
        tag->setItem(prefix + Lower(names.gain), TagLib::StringList(ReplayGainText(figures.loudness)));
        tag->setItem(prefix + Lower(names.peak), TagLib::StringList(ReplayGainPeakText(figures.peak)));
    });
    return file.save();
}

bool WriteAsf(const std::string& path, const GainTagValues& values) {
    TagLib::ASF::File file(path.c_str(), false);
    if (!file.isValid() || !file.tag()) return false;
    TagLib::ASF::Tag* tag = file.tag();
    ForEachSet(values, [tag](const GainNames& names, const GainFigures& figures) {
        tag->setAttribute(names.gain, TagLib::ASF::Attribute(TagLib::String(ReplayGainText(figures.loudness))));
        tag->setAttribute(names.peak, TagLib::ASF::Attribute(TagLib::String(ReplayGainPeakText(figures.peak))));
    });
    return file.save();
}

}  // namespace

GainTagKind GainTagKindOf(const std::string& extension) {
    std::string e;
    for (char c : extension) e += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (e == ".mp3") return GainTagKind::Id3v2;
    if (e == ".ogg") return GainTagKind::Vorbis;
    if (e == ".flac") return GainTagKind::Flac;
    if (e == ".opus") return GainTagKind::Opus;
    if (e == ".m4a" || e == ".mp4" || e == ".m4b" || e == ".m4r") return GainTagKind::Mp4;
    if (e == ".wma" || e == ".wmv" || e == ".asf") return GainTagKind::Asf;
    return GainTagKind::None;
}

std::string ReplayGainText(double loudness) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f dB", kReplayGainReference - loudness);
    return text;
}

std::string ReplayGainPeakText(double peak) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6f", std::isfinite(peak) && peak > 0 ? peak : 0.0);
    return text;
}

int R128GainQ78(double loudness) {
    const double q = std::round((kR128Reference - loudness) * 256.0);
    if (!(q > -32768.0)) return -32768;
    return static_cast<int>(std::min(q, 32767.0));
}

bool WriteGainTags(const std::string& path, GainTagKind kind, const GainTagValues& values, std::string& reason) {
    if (kind == GainTagKind::None || (!values.track && !values.album)) return true;
    bool written = false;
    switch (kind) {
        case GainTagKind::Id3v2: written = WriteId3v2(path, values); break;
        case GainTagKind::Vorbis: {
            TagLib::Ogg::Vorbis::File file(path.c_str(), false);
            if (file.isValid() && file.tag()) {
                SetXiph(*file.tag(), values);
                written = file.save();
            }
            break;
        }
        case GainTagKind::Flac: {
            TagLib::FLAC::File file(path.c_str(), false);
            if (file.isValid()) {
                SetXiph(*file.xiphComment(true), values);
                written = file.save();
            }
            break;
        }
        case GainTagKind::Opus: written = WriteOpus(path, values); break;
        case GainTagKind::Mp4: written = WriteMp4(path, values); break;
        case GainTagKind::Asf: written = WriteAsf(path, values); break;
        case GainTagKind::None: break;
    }
    if (!written) reason = "the gain tags could not be written";
    return written;
}

}  // namespace sonavert
