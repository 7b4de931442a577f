#pragma once
// The conversion pipelines: one source file to one target file of an output format. Every family
// runs the same skeleton (RunPipeline); what differs is its target-format rule and a small adapter
// around its encoder class.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "engine/Driver.h"
#include "engine/Loudness.h"
#include "engine/OutputFormats.h"
#include "engine/TagChoice.h"
#include "engine/Verify.h"
#include "settings/Settings.h"
#include "sources/AudioSource.h"
#include "sources/SourceFactory.h"
#include "winmedia/WmaFormats.h"

namespace sonavert {

// One file to convert.
struct ConversionRequest {
    int sourceType = kSourceOther;
    std::string sourcePath;
    std::string targetPath;          // already reserved by the batch
    int sequenceNumber = 1;          // the row's number in the batch (a track number for tags)
    int outputFormat = kOutputMp3;   // the output format code
};

// What a conversion borrows from its caller for its whole length.
struct ConversionContext {
    const Settings& settings;
    ProgressSink& progress;
    SourceFactoryContext& sources;
    // Why the conversion failed, when something said so (the source factory, the encoder).
    std::string failureReason;
    // A warning about a conversion that went through (tags that could not be read).
    std::string warning = {};
    // The Windows Media format list to choose from; null for the one the process builds once.
    const WmaFormatList* wmaFormats = nullptr;
    // Where the skeleton records what it hands to the encoder, for the check of the target; null
    // when the target is not verified.
    EncodeRecord* record = nullptr;
    // The loudness of the samples handed to the encoder, when they were measured, and the meter
    // that measured them (the batch combines the meters of an album).
    LoudnessFigures loudness = {};
    std::shared_ptr<LoudnessMeter> loudnessMeter = {};
    // Album normalisation. `measureOnly`: the conversion only measures the source as its encoder
    // would receive it (loudness and loudnessMeter), writes nothing but the file the adapter opens
    // at the target path, and returns kConversionComplete. `albumLoudness`: the figures of the
    // row's album, whose normalising gain the conversion takes instead of measuring the file
    // alone; null for none.
    bool measureOnly = false;
    const LoudnessFigures* albumLoudness = nullptr;
    // Whether the encoder runs on a thread of its own beside the decoding and the conversion (the
    // batch sets it when the rows converting at once leave a core idle). The target is the same
    // byte for byte either way.
    bool overlapEncoding = false;
};

// Rate at which tracker modules and MIDI files are rendered for an output format.
uint32_t RenderRateFor(int outputFormat, const Settings& settings);

// The failure reason of a conversion whose source delivered no sample though it did not state
// that it was empty.
inline constexpr const char* kNoAudioDecodedReason = "no audio could be decoded";

// What a pipeline returns besides 0 (failure or Cancel): the whole source converted, or the target
// kept though the source ended well short of the length it states or shrank while it was read
// (the context's failureReason then says "the source ended at M:SS of M:SS").
inline constexpr int kConversionComplete = 1;
inline constexpr int kConversionIncomplete = 2;

// Whether a decode that delivered `decodedSeconds` fell short of a stated length: by more than
// one second and more than 5 % of it. A stated length of 0 (estimated or unknown) never is.
bool EndedShort(double decodedSeconds, double statedSeconds);

// "M:SS", or "H:MM:SS" from an hour, of whole seconds (a fraction is dropped).
std::string PlayingClock(double seconds);

// The family pipelines. Each returns kConversionComplete or kConversionIncomplete when the target
// was written, 0 on failure or Cancel (the partial target is then deleted, never the source).
int ConvertToWav(const ConversionRequest& request, ConversionContext& context);
int ConvertToMp3(const ConversionRequest& request, ConversionContext& context);
int ConvertToOgg(const ConversionRequest& request, ConversionContext& context);
int ConvertToAmr(const ConversionRequest& request, ConversionContext& context);
int ConvertToAac(const ConversionRequest& request, ConversionContext& context);
int ConvertToMp4(const ConversionRequest& request, ConversionContext& context);
int ConvertToOpus(const ConversionRequest& request, ConversionContext& context);
// WMA, WMV and ASF: 0 at once when the Windows Media runtime is not loaded.
int ConvertToWindowsMedia(const ConversionRequest& request, ConversionContext& context);
int ConvertToFlac(const ConversionRequest& request, ConversionContext& context);
int ConvertToAlac(const ConversionRequest& request, ConversionContext& context);

// Runs the pipeline of `outputFormat`'s family; 0 for a format without one.
int ConvertFile(int outputFormat, const ConversionRequest& request, ConversionContext& context);

// ---- The skeleton and its building blocks ----

// Whether and how a block is reshaped before it is encoded.
struct FormatPlan {
    bool convert = false;  // a PcmConverter is needed
    int pick = 0;          // 0 both planes, 1 left plane only, 2 right plane only
    int converterInputChannels = 0;
};

// Applies the conversion rule: convert when rate or width differ, when the source has fewer
// channels than the target, or more with monoType 0; a stereo source with a mono target and
// monoType 1 or 2 hands on only that plane.
FormatPlan PlanConversion(uint32_t sourceRate, uint32_t sourceBits, uint32_t sourceChannels, uint32_t targetRate,
                          uint32_t targetBits, uint32_t targetChannels, int monoType);

// Gain from an Amplify flag and its percentage: on when the flag is set and the percentage is not
// 100, with factor = percentage / 100.
struct Gain {
    bool on = false;
    float factor = 1.0f;
};
Gain GainFor(int32_t amplifyFlag, int32_t coefficient);

// What the opened source is.
struct SourceFacts {
    uint32_t rate = 0;
    uint32_t bits = 16;
    uint32_t channels = 0;
    int32_t channelMode = 4;  // MPEG channel mode of MP3 sources
    uint32_t bitRate = 0;     // kbps, 0 when unknown
    WideFormat wide;          // what the source's wide read delivers
};

// The blocks a family's encoder takes, and how the source's blocks are made into them.
//
// Families fed by the 16-bit read fill rate, bits, channels and plan. Families fed by the wide
// read fill rate and `wide`: the channels (kept, or 1 or 2 from a downmix), their speaker mask, the
// bits the encoder stores and whether it stores floats; the skeleton then converts the source's
// wide blocks to that rate and channel count and hands them to EncodeWide. A family that takes
// SampleLayout::Either chooses per file: a non-zero wide.channels selects the wide read.
struct TargetFormat {
    uint32_t rate = 0;
    uint32_t bits = 16;      // 16, or 8 for writers that take unsigned 8-bit planes
    uint32_t channels = 0;   // planes handed to the encoder: 1 or 2
    FormatPlan plan;
    WideFormat wide = {};    // the format the encoder receives from the wide read
    // The encoder stays on the calling thread even where the batch has a core to spare: handing
    // the blocks to another core would cost more than the reading leaves to overlap.
    bool encodeHere = false;
};

// One pipeline call as a family's adapter sees it.
struct PipelineCall {
    const ConversionRequest& request;
    const Settings& settings;
    AudioSource& source;
    SourceFacts facts;
    // The record of what the encoder receives when the target is verified; null otherwise.
    EncodeRecord* record = nullptr;
    // The encoder is driven from a thread of its own (see BeforeEncodeWide).
    bool encoderThread = false;
};

// A family's encoder as the skeleton drives it. The adapter calls its encoder class's own
// operations in that class's order.
class EncoderAdapter {
public:
    virtual ~EncoderAdapter() = default;
    // Opens the encoder before the target format is known (on the target path, or with the
    // source's format). Families whose writer needs the target format open in Start.
    virtual bool Open(const PipelineCall&) { return true; }
    // The family's rule: the target format for this source and the family's settings.
    virtual TargetFormat ChooseFormat(const PipelineCall& call) = 0;
    // Configures and starts the encoder for `format`, handing `tags` over at the family's point.
    virtual bool Start(const PipelineCall& call, const TargetFormat& format, const TagChoice& tags) = 0;
    // Encodes one block in the target format (`right` is null for one channel). False on failure.
    // Families fed only by the wide read leave it alone.
    virtual bool EncodeBlock(void* /*left*/, void* /*right*/, uint32_t /*frames*/) { return false; }
    // Encodes one block of the wide read: `frames` frames of format.wide.channels interleaved
    // samples, already at the target rate and channel count and gained, full scale at +-1
    // (integer targets: value / 2^(bits-1); the encoder quantises to its bits, clamping). False
    // on failure.
    virtual bool EncodeWide(const double* /*interleaved*/, uint32_t /*frames*/) { return false; }
    // Called on the pipeline's thread with each block just before it goes to EncodeWide (which
    // runs on the encoder's thread when the call's encoderThread is set): work an encoder can
    // leave to the pipeline's thread then, such as the checksum of the samples.
    virtual void BeforeEncodeWide(const double* /*interleaved*/, uint32_t /*frames*/) {}
    // The rate and channels the target stores, where the encoder converts what it is handed
    // itself (called after Start; the defaults leave the handed format as it is).
    virtual void StoredFormat(uint32_t& /*rate*/, uint32_t& /*channels*/) const {}
    // Ends the encoder, also after a failure or Cancel; false when the file could not be
    // completed. Safe to call when nothing was opened.
    virtual bool End() = 0;
    // Completes the finished target (the temporary, closed, not yet renamed) with what its
    // encoder cannot write, such as a cover picture added with the tag library. False with the
    // reason in FailureReason when that fails; the target is then removed.
    virtual bool FinishTarget(const std::string& /*targetPath*/, const TagChoice& /*tags*/) { return true; }
    // Whether the target carries the tags' cover picture when there is one (its check then reads
    // the picture back).
    virtual bool WritesPicture(const PipelineCall&) const { return false; }
    // Whether End comes before the source is closed (MP3, Windows Media) or after (the others).
    virtual bool EndsBeforeSourceCloses() const { return false; }
    // Whether the encoder has created the target file (so a failed conversion removes it).
    virtual bool CreatedTarget() const = 0;
    // Why the encoder failed, when it knows.
    virtual std::string FailureReason() const = 0;
};

// The common steps of every family: render rate, source, encoder, target format, tags, gain,
// conversion, progress, the block loop with Cancel and the stop rule of modules and MIDI, the
// end and the clean-up with the deletion of a failed target.
// `family` is the pipeline's own; the request's output format code tells formats of one family
// apart where that matters (AMR and AWB).
int RunPipeline(const ConversionRequest& request, ConversionContext& context, Family family, EncoderAdapter& adapter);

// The analysis pass of loudness normalisation: decodes the source once more (rendered at
// `renderRate`) and measures it as the encoder will receive it, through `format`'s conversion
// and before any gain. False when the source cannot be read again, its format changed, or the
// user cancelled; `context.failureReason` then says why unless it was Cancel. `meter`, when not
// null, receives the meter that measured it.
bool MeasureBeforeEncoding(const ConversionRequest& request, ConversionContext& context, uint32_t renderRate,
                           const SourceFacts& facts, const TargetFormat& format, LoudnessFigures& figures,
                           std::shared_ptr<LoudnessMeter>* meter = nullptr);

// The gain that normalises a file of `figures` by the settings' target loudness and true-peak
// ceiling (a stored value outside their ranges counts as the default); off for a silent file.
Gain NormalisingGain(const LoudnessFigures& figures, const Settings& settings);

// Keeps the loudness a completed conversion's meter found in `context` and, with the analysis on,
// writes the track's gain tags into the target (a warning when they cannot be written).
void KeepLoudness(const ConversionRequest& request, ConversionContext& context, std::shared_ptr<LoudnessMeter> meter);

// Keeps the per-file text and bar of the progress current, updating each only when it grows.
class ProgressTracker {
public:
    // Steps of the per-file bar over a file.
    static constexpr uint64_t kSteps = 1000;

    ProgressTracker(ProgressSink& progress, const std::string& sourcePath, uint64_t length);
    void Update(uint64_t position);
    // The end was reached: show 100 % and a full bar.
    void Complete();

private:
    void ShowPercent(uint32_t percent);

    ProgressSink& progress_;
    std::string fileName_;
    uint64_t bytesPerPercent_;
    uint64_t bytesPerStep_;
    uint32_t lastPercent_ = 0;
    uint64_t lastStep_ = 0;
};

// Called with each block ready to encode; returns 0 when encoding failed.
using BlockSink = std::function<int(void* left, void* right, uint32_t frames)>;
// The same for blocks of the wide read (interleaved, GetWideFormat().channels per frame).
using WideBlockSink = std::function<int(const double* interleaved, uint32_t frames)>;

// Reads `source` to its end through `sink`: progress, pump and Cancel after every block, and the
// stop rule of tracker modules and MIDI files (their position reaching their length). Returns 1
// when the end was reached, 0 on Cancel or when the sink failed.
int PumpSource(AudioSource& source, int sourceType, const std::string& sourcePath, ProgressSink& progress,
               const BlockSink& sink);
// The same through the source's wide read.
int PumpSourceWide(AudioSource& source, int sourceType, const std::string& sourcePath, ProgressSink& progress,
                   const WideBlockSink& sink);

// True when both paths name the same file (or, when neither exists, the same normalised path).
bool SameFile(const std::string& a, const std::string& b);

// Deletes a failed target unless it is the source file itself.
void DeleteFailedTarget(const std::string& targetPath, const std::string& sourcePath);

}  // namespace sonavert
