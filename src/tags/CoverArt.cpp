#include "tags/CoverArt.h"

#include <taglib/aifffile.h>
#include <taglib/apefile.h>
#include <taglib/apeitem.h>
#include <taglib/apetag.h>
#include <taglib/asffile.h>
#include <taglib/asfpicture.h>
#include <taglib/asftag.h>
#include <taglib/attachedpictureframe.h>
#include <taglib/fileref.h>
#include <taglib/tfilestream.h>
#include <taglib/flacfile.h>
#include <taglib/flacpicture.h>
#include <taglib/id3v2tag.h>
#include <taglib/mp4coverart.h>
#include <taglib/mp4file.h>
#include <taglib/mp4tag.h>
#include <taglib/mpcfile.h>
#include <taglib/mpegfile.h>
#include <taglib/oggfile.h>
#include <taglib/trueaudiofile.h>
#include <taglib/wavfile.h>
#include <taglib/wavpackfile.h>
#include <taglib/xiphcomment.h>

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <memory>

#include "tags/TagReading.h"

namespace sonavert {
namespace {

std::string ToUtf8(const TagLib::String& s) { return s.to8Bit(true); }

const uint8_t* Bytes(const TagLib::ByteVector& v) { return reinterpret_cast<const uint8_t*>(v.data()); }

// The pictures of a file, as they come: the first front cover wins, else the first picture.
// A picture's data is copied only once it is chosen and known to be within the bound.
class PictureChooser {
public:
    // Offers one picture; `data` must outlive the chooser's Take.
    void Offer(uint32_t type, const TagLib::String& mime, const TagLib::String& description,
               const TagLib::ByteVector& data, uint32_t width = 0, uint32_t height = 0, uint32_t depth = 0,
               uint32_t colors = 0) {
        if (data.isEmpty()) return;
        if (chosen_ && (chosenFront_ || type != kPictureFrontCover)) return;
        chosen_ = true;
        chosenFront_ = type == kPictureFrontCover;
        type_ = type;
        mime_ = ToUtf8(mime);
        description_ = ToUtf8(description);
        data_ = data;  // shared, not copied: the tag library's byte vectors are reference-counted
        width_ = width, height_ = height, depth_ = depth, colors_ = colors;
    }

    PictureRead Take(Picture& picture) const {
        if (!chosen_) return PictureRead::kNone;
        if (data_.size() > kMaxPictureBytes) return PictureRead::kTooLarge;
        picture = Picture{};
        picture.data.assign(Bytes(data_), Bytes(data_) + data_.size());
        picture.type = type_ <= 20 ? type_ : 0;
        const std::string sniffed = SniffImageType(picture.data.data(), picture.data.size());
        picture.mimeType = mime_.empty() || mime_.size() > 256 ? sniffed : mime_;
        if (picture.mimeType.empty()) picture.mimeType = "image/";
        if (description_.size() <= kMaxPictureTextBytes && Utf8ToLocal(description_))
            picture.description = description_;
        picture.width = width_, picture.height = height_, picture.depth = depth_, picture.colors = colors_;
        if (picture.width == 0 || picture.height == 0)
            ImageDimensions(picture.data, picture.width, picture.height, picture.depth);
        return PictureRead::kFound;
    }

private:
    bool chosen_ = false, chosenFront_ = false;
    uint32_t type_ = 0;
    std::string mime_, description_;
    TagLib::ByteVector data_;
    uint32_t width_ = 0, height_ = 0, depth_ = 0, colors_ = 0;
};

void OfferId3(const TagLib::ID3v2::Tag* tag, PictureChooser& chooser) {
    if (!tag) return;
    for (const TagLib::ID3v2::Frame* frame : tag->frameListMap()["APIC"]) {
        auto* apic = dynamic_cast<const TagLib::ID3v2::AttachedPictureFrame*>(frame);
        if (apic) chooser.Offer(apic->type(), apic->mimeType(), apic->description(), apic->picture());
    }
}

void OfferFlacPictures(const TagLib::List<TagLib::FLAC::Picture*>& pictures, PictureChooser& chooser) {
    for (const TagLib::FLAC::Picture* p : pictures)
        if (p)
            chooser.Offer(p->type(), p->mimeType(), p->description(), p->data(), static_cast<uint32_t>(p->width()),
                          static_cast<uint32_t>(p->height()), static_cast<uint32_t>(p->colorDepth()),
                          static_cast<uint32_t>(p->numColors()));
}

void OfferXiph(TagLib::Ogg::XiphComment* comment, PictureChooser& chooser) {
    if (comment) OfferFlacPictures(comment->pictureList(), chooser);
}

// APE tags hold a picture as binary item "Cover Art (Front)" (or another "Cover Art (...)"):
// a file name, a zero byte, the image.
void OfferApe(const TagLib::APE::Tag* tag, PictureChooser& chooser) {
    if (!tag) return;
    for (const auto& [key, item] : tag->itemListMap()) {
        if (!key.upper().startsWith("COVER ART") || item.type() != TagLib::APE::Item::Binary) continue;
        const TagLib::ByteVector value = item.binaryData();
        const int zero = value.find('\0');
        if (zero < 0) continue;
        const TagLib::ByteVector image = value.mid(static_cast<unsigned>(zero) + 1);
        const bool front = key.upper() == "COVER ART (FRONT)";
        chooser.Offer(front ? kPictureFrontCover : 0, TagLib::String(), TagLib::String(), image);
    }
}

const char* Mp4FormatType(int format) {
    switch (format) {
        case TagLib::MP4::CoverArt::JPEG: return "image/jpeg";
        case TagLib::MP4::CoverArt::PNG: return "image/png";
        case TagLib::MP4::CoverArt::BMP: return "image/bmp";
        case TagLib::MP4::CoverArt::GIF: return "image/gif";
        default: return "";
    }
}

void Put32(std::vector<uint8_t>& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

uint32_t Be16(const uint8_t* p) { return static_cast<uint32_t>(p[0]) << 8 | p[1]; }
uint32_t Be32(const uint8_t* p) { return Be16(p) << 16 | Be16(p + 2); }

struct FileDescriptor {
    int fd;
    ~FileDescriptor() {
        if (fd >= 0) ::close(fd);
    }
};

TagLib::ByteVector ToByteVector(const std::vector<uint8_t>& v) {
    return TagLib::ByteVector(reinterpret_cast<const char*>(v.data()), static_cast<unsigned>(v.size()));
}

}  // namespace

std::string SniffImageType(const uint8_t* data, size_t size) {
    if (!data) return {};
    if (size >= 3 && data[0] == 0xFF && data[1] == 0xD8 && data[2] == 0xFF) return "image/jpeg";
    if (size >= 8 && std::memcmp(data, "\x89PNG\r\n\x1a\n", 8) == 0) return "image/png";
    if (size >= 4 && std::memcmp(data, "GIF8", 4) == 0) return "image/gif";
    if (size >= 2 && std::memcmp(data, "BM", 2) == 0) return "image/bmp";
    if (size >= 12 && std::memcmp(data, "RIFF", 4) == 0 && std::memcmp(data + 8, "WEBP", 4) == 0) return "image/webp";
    return {};
}

bool ImageDimensions(const std::vector<uint8_t>& data, uint32_t& width, uint32_t& height, uint32_t& depth) {
    const uint8_t* d = data.data();
    const size_t n = data.size();
    const std::string type = SniffImageType(d, n);
    if (type == "image/png") {
        // The IHDR chunk comes first: width, height, bit depth, colour type.
        if (n < 26 || std::memcmp(d + 12, "IHDR", 4) != 0) return false;
        static const uint32_t kSamples[7] = {1, 0, 3, 1, 2, 0, 4};  // per colour type
        const uint32_t colourType = d[25] <= 6 ? d[25] : 1;
        width = Be32(d + 16);
        height = Be32(d + 20);
        depth = d[24] * (colourType == 3 ? 1 : std::max(kSamples[colourType], 1u));
        return true;
    }
    if (type != "image/jpeg") return false;
    // Walks the markers up to the first start-of-frame (SOF0..SOF15 but DHT, JPG and DAC).
    for (size_t i = 2; i + 4 <= n;) {
        if (d[i] != 0xFF) return false;
        const uint8_t marker = d[i + 1];
        if (marker == 0xFF) {
            ++i;
            continue;
        }
        if (marker == 0xD8 || (marker >= 0xD0 && marker <= 0xD7) || marker == 0x01) {
            i += 2;
            continue;
        }
        const uint32_t length = Be16(d + i + 2);
        if (length < 2) return false;
        if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC) {
            if (i + 10 > n) return false;
            height = Be16(d + i + 5);
            width = Be16(d + i + 7);
            depth = static_cast<uint32_t>(d[i + 4]) * d[i + 9];
            return width > 0 && height > 0;
        }
        if (marker == 0xDA) return false;  // image data before any frame header
        i += 2 + length;
    }
    return false;
}

PictureRead ReadEmbeddedPicture(const std::string& path, Picture& picture) {
    if (!TagNestingWithinBounds(path)) return PictureRead::kNone;
    TagLib::FileStream stream(path.c_str(), true);  // read-only: a source is never opened for writing
    TagLib::FileRef ref(&stream, false);
    if (ref.isNull()) return PictureRead::kNone;
    TagLib::File* file = ref.file();
    PictureChooser chooser;
    if (auto* mpeg = dynamic_cast<TagLib::MPEG::File*>(file)) {
        if (mpeg->hasID3v2Tag()) OfferId3(mpeg->ID3v2Tag(), chooser);
        if (mpeg->hasAPETag()) OfferApe(mpeg->APETag(), chooser);
    } else if (auto* flac = dynamic_cast<TagLib::FLAC::File*>(file)) {
        OfferFlacPictures(flac->pictureList(), chooser);
        if (flac->hasXiphComment()) OfferXiph(flac->xiphComment(), chooser);
        if (flac->hasID3v2Tag()) OfferId3(flac->ID3v2Tag(), chooser);
    } else if (auto* ogg = dynamic_cast<TagLib::Ogg::File*>(file)) {
        OfferXiph(dynamic_cast<TagLib::Ogg::XiphComment*>(ogg->tag()), chooser);
    } else if (auto* mp4 = dynamic_cast<TagLib::MP4::File*>(file)) {
        if (const TagLib::MP4::Tag* tag = mp4->tag(); tag && tag->contains("covr")) {
            // The MPEG-4 item holds pictures without types: the first is the cover.
            for (const TagLib::MP4::CoverArt& art : tag->item("covr").toCoverArtList()) {
                chooser.Offer(kPictureFrontCover, Mp4FormatType(art.format()), TagLib::String(), art.data());
                break;
            }
        }
    } else if (auto* asf = dynamic_cast<TagLib::ASF::File*>(file)) {
        if (const TagLib::ASF::Tag* tag = asf->tag(); tag && tag->contains("WM/Picture")) {
            for (const TagLib::ASF::Attribute& a : tag->attribute("WM/Picture")) {
                const TagLib::ASF::Picture p = a.toPicture();
                if (p.isValid()) chooser.Offer(p.type(), p.mimeType(), p.description(), p.picture());
            }
        }
    } else if (auto* wav = dynamic_cast<TagLib::RIFF::WAV::File*>(file)) {
        if (wav->hasID3v2Tag()) OfferId3(wav->ID3v2Tag(), chooser);
    } else if (auto* aiff = dynamic_cast<TagLib::RIFF::AIFF::File*>(file)) {
        if (aiff->hasID3v2Tag()) OfferId3(aiff->tag(), chooser);
    } else if (auto* tta = dynamic_cast<TagLib::TrueAudio::File*>(file)) {
        if (tta->hasID3v2Tag()) OfferId3(tta->ID3v2Tag(), chooser);
    } else if (auto* ape = dynamic_cast<TagLib::APE::File*>(file)) {
        if (ape->hasAPETag()) OfferApe(ape->APETag(), chooser);
    } else if (auto* wv = dynamic_cast<TagLib::WavPack::File*>(file)) {
        if (wv->hasAPETag()) OfferApe(wv->APETag(), chooser);
    } else if (auto* mpc = dynamic_cast<TagLib::MPC::File*>(file)) {
        if (mpc->hasAPETag()) OfferApe(mpc->APETag(), chooser);
    }
    return chooser.Take(picture);
}

std::string FolderImageFile(const std::string& folder) {
    struct DirCloser {
        void operator()(DIR* d) const { ::closedir(d); }
    };
    const std::unique_ptr<DIR, DirCloser> dir(::opendir(folder.empty() ? "." : folder.c_str()));
    if (!dir) return {};
    static const char* const kStems[] = {"cover", "folder", "front"};
    static const char* const kExtensions[] = {".jpg", ".jpeg", ".png"};
    int best = -1;
    std::string bestName;
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string name = entry->d_name;
        for (int s = 0; s < 3; ++s) {
            for (int e = 0; e < 3; ++e) {
                const std::string wanted = std::string(kStems[s]) + kExtensions[e];
                const int rank = s * 3 + e;
                if (strcasecmp(name.c_str(), wanted.c_str()) != 0 || (best >= 0 && rank >= best)) continue;
                struct stat st;
                const std::string full =
                    folder.empty() ? name : folder + (folder.back() == '/' ? "" : "/") + name;
                if (::stat(full.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
                best = rank;
                bestName = full;
            }
        }
    }
    return bestName;
}

PictureRead ReadFolderPicture(const std::string& sourcePath, Picture& picture) {
    const size_t slash = sourcePath.rfind('/');
    const std::string file = FolderImageFile(slash == std::string::npos ? std::string() : sourcePath.substr(0, slash + 1));
    if (file.empty()) return PictureRead::kNone;
    const FileDescriptor guard{::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK)};
    const int fd = guard.fd;
    if (fd < 0) return PictureRead::kNone;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return PictureRead::kNone;
    if (static_cast<uint64_t>(st.st_size) > kMaxPictureBytes) return PictureRead::kTooLarge;
    std::vector<uint8_t> data(static_cast<size_t>(st.st_size));
    size_t got = 0;
    while (got < data.size()) {
        const ssize_t n = ::read(fd, data.data() + got, data.size() - got);
        if (n <= 0) return PictureRead::kNone;
        got += static_cast<size_t>(n);
    }
    const std::string type = SniffImageType(data.data(), data.size());
    if (type != "image/jpeg" && type != "image/png") return PictureRead::kNone;
    picture = Picture{};
    picture.mimeType = type;
    picture.data = std::move(data);
    ImageDimensions(picture.data, picture.width, picture.height, picture.depth);
    return PictureRead::kFound;
}

std::vector<uint8_t> FlacPictureBlock(const Picture& picture) {
    const size_t size = 32 + picture.mimeType.size() + picture.description.size() + picture.data.size();
    if (size > kMaxFlacBlockBytes) return {};
    std::vector<uint8_t> out;
    out.reserve(size);
    Put32(out, picture.type);
    Put32(out, static_cast<uint32_t>(picture.mimeType.size()));
    out.insert(out.end(), picture.mimeType.begin(), picture.mimeType.end());
    Put32(out, static_cast<uint32_t>(picture.description.size()));
    out.insert(out.end(), picture.description.begin(), picture.description.end());
    Put32(out, picture.width);
    Put32(out, picture.height);
    Put32(out, picture.depth);
    Put32(out, picture.colors);
    Put32(out, static_cast<uint32_t>(picture.data.size()));
    out.insert(out.end(), picture.data.begin(), picture.data.end());
    return out;
}

std::string MetadataBlockPicture(const Picture& picture) {
    const std::vector<uint8_t> block = FlacPictureBlock(picture);
    if (block.empty()) return {};
    const TagLib::ByteVector base64 = ToByteVector(block).toBase64();
    return std::string(base64.data(), base64.size());
}

bool AttachPictureToMp4(const std::string& path, const Picture& picture, std::string& reason) {
    TagLib::MP4::File file(path.c_str(), false);
    if (!file.isValid() || !file.tag()) {
        reason = "cannot read the MP4 file to add its cover picture";
        return false;
    }
    TagLib::MP4::CoverArt::Format format = TagLib::MP4::CoverArt::Unknown;
    if (picture.mimeType == "image/jpeg" || picture.mimeType == "image/jpg") format = TagLib::MP4::CoverArt::JPEG;
    else if (picture.mimeType == "image/png") format = TagLib::MP4::CoverArt::PNG;
    else if (picture.mimeType == "image/bmp") format = TagLib::MP4::CoverArt::BMP;
    else if (picture.mimeType == "image/gif") format = TagLib::MP4::CoverArt::GIF;
    TagLib::MP4::CoverArtList list;
    list.append(TagLib::MP4::CoverArt(format, ToByteVector(picture.data)));
    file.tag()->setItem("covr", TagLib::MP4::Item(list));
    if (!file.save()) {
        reason = "cannot add the cover picture to the MP4 file";
        return false;
    }
    return true;
}

bool AttachPictureToAsf(const std::string& path, const Picture& picture, std::string& reason) {
    TagLib::ASF::File file(path.c_str(), false);
    if (!file.isValid() || !file.tag()) {
        reason = "cannot read the Windows Media file to add its cover picture";
        return false;
    }
    TagLib::ASF::Picture p;
    p.setMimeType(TagLib::String(picture.mimeType, TagLib::String::UTF8));
    p.setType(static_cast<TagLib::ASF::Picture::Type>(picture.type <= 20 ? picture.type : 0));
    p.setDescription(TagLib::String(picture.description, TagLib::String::UTF8));
    p.setPicture(ToByteVector(picture.data));
    file.tag()->setAttribute("WM/Picture", TagLib::ASF::Attribute(p));
    if (!file.save()) {
        reason = "cannot add the cover picture to the Windows Media file";
        return false;
    }
    return true;
}

}  // namespace sonavert
