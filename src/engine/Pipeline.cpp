#include "engine/Pipeline.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>
#include <filesystem>
#include <system_error>
#include <cmath>
#include <fcntl.h>
#include <sys/stat.h>

#include "base/PathHelpers.h"
#include "base/VectorState.h"
#include "encoders/PcmConverter.h"
#include "engine/Gain.h"
#include "settings/SettingRanges.h"
#include "tags/TagReading.h"

namespace sonavert {

uint32_t RenderRateFor(int outputFormat, const Settings& s) {
    const FamilyInfo* family = FamilyOfFormat(outputFormat);
    return family ? family->renderRate(s, outputFormat) : 44100u;
}

FormatPlan PlanConversion(uint32_t sourceRate, uint32_t sourceBits, uint32_t sourceChannels, uint32_t targetRate,
                          uint32_t targetBits, uint32_t targetChannels, int monoType) {
    FormatPlan plan;
    const bool downmix = targetChannels < sourceChannels;
    if (downmix && (monoType == 1 || monoType == 2)) plan.pick = monoType;
    plan.convert = sourceRate != targetRate || sourceBits != targetBits || sourceChannels < targetChannels ||
                   (downmix && monoType == 0);
    plan.converterInputChannels = plan.pick ? 1 : static_cast<int>(sourceChannels);
    return plan;
}

Gain GainFor(int32_t amplifyFlag, int32_t coefficient) {
    Gain g;
    if (amplifyFlag && coefficient != 100) {
        g.on = true;
        // The percentage scaled in double and then rounded once, so 10 % is exactly 0.1f.
        g.factor = static_cast<float>(coefficient * 0.01);
    }
    return g;
}

ProgressTracker::ProgressTracker(ProgressSink& progress, const std::string& sourcePath, uint64_t length)
    : progress_(progress), fileName_(FileNamePart(sourcePath)) {
    bytesPerPercent_ = length / 100;
    if (length == 0) length = 1;
    if (bytesPerPercent_ == 0) bytesPerPercent_ = 1;
    progress_.SetFileProgress(0.0);
    bytesPerStep_ = length / kSteps;
    if (bytesPerStep_ == 0) bytesPerStep_ = 1;
}

void ProgressTracker::ShowPercent(uint32_t percent) {
    char text[64];
    std::snprintf(text, sizeof text, "...%u%%", percent);
    progress_.SetFileText("Converting " + fileName_ + text);
    lastPercent_ = percent;
}

void ProgressTracker::Update(uint64_t position) {
    uint64_t percent = position / bytesPerPercent_;
    if (percent > 100) percent = 100;
    if (percent > lastPercent_) ShowPercent(static_cast<uint32_t>(percent));
    uint64_t step = position / bytesPerStep_;
    if (step > kSteps) step = kSteps;
    if (step > lastStep_) {
        progress_.SetFileProgress(static_cast<double>(step) / kSteps);
        lastStep_ = step;
    }
}

void ProgressTracker::Complete() {
    if (lastPercent_ != 100) {
        ShowPercent(100);
        progress_.SetFileProgress(1.0);
    }
}

int PumpSourceWide(AudioSource& source, int sourceType, const std::string& sourcePath, ProgressSink& progress,
                   const WideBlockSink& sink) {
    const uint64_t length = source.GetLength();
    ProgressTracker tracker(progress, sourcePath, length);
    std::vector<double> block(size_t{kBlockFrames} * kMaxWideChannels);
    const bool stopAtLength = sourceType == kSourceModule || sourceType == kSourceMidi;

    // Clear before the first block, and again after each progress report: the driver's code is
    // the one foreign code a block passes besides the codecs.
    ClearUpperVectorState();
    for (;;) {
        uint32_t n = source.ReadWide(block.data());
        if (n < 1) break;
        if (n > kBlockFrames) return 0;  // a decoder overstepping its block size is broken
        const uint64_t p = source.GetPosition();
        tracker.Update(p);
        progress.Pump();
        if (progress.CancelRequested()) return 0;
        ClearUpperVectorState();
        if (!sink(block.data(), n)) return 0;
        if (stopAtLength && p >= length) break;
    }
    tracker.Complete();
    return 1;
}

int PumpSource(AudioSource& source, int sourceType, const std::string& sourcePath, ProgressSink& progress,
               const BlockSink& sink) {
    const uint64_t length = source.GetLength();
    ProgressTracker tracker(progress, sourcePath, length);
    // Planes for one block at the source's width; the right plane only for two channels.
    alignas(int16_t) uint8_t leftPlane[kBlockFrames * 2];
    alignas(int16_t) uint8_t rightPlane[kBlockFrames * 2];
    void* left = leftPlane;
    void* right = source.GetChannels() == 2 ? rightPlane : nullptr;
    const bool stopAtLength = sourceType == kSourceModule || sourceType == kSourceMidi;

    // Clear before the first block, and again after each progress report: the driver's code is
    // the one foreign code a block passes besides the codecs.
    ClearUpperVectorState();
    for (;;) {
        uint32_t n = source.Read(left, right);
        if (n < 1) break;
        if (n > kBlockFrames) return 0;  // a decoder overstepping its block size is broken
        const uint64_t p = source.GetPosition();
        tracker.Update(p);
        progress.Pump();
        if (progress.CancelRequested()) return 0;
        ClearUpperVectorState();
        if (!sink(left, right, n)) return 0;
        if (stopAtLength && p >= length) break;
    }
    tracker.Complete();
    return 1;
}

bool SameFile(const std::string& a, const std::string& b) {
    std::error_code ec;
    if (std::filesystem::equivalent(a, b, ec)) return true;
    // Neither exists (or cannot be examined): compare the normalised absolute paths.
    auto norm = [](const std::string& p) {
        std::error_code e;
        auto abs = std::filesystem::absolute(p, e);
        return (e ? std::filesystem::path(p) : abs).lexically_normal();
    };
    return norm(a) == norm(b);
}

void DeleteFailedTarget(const std::string& targetPath, const std::string& sourcePath) {
    if (targetPath.empty() || SameFile(targetPath, sourcePath)) return;
    std::error_code ec;
    std::filesystem::remove(targetPath, ec);
}

bool EndedShort(double decodedSeconds, double statedSeconds) {
    if (!(statedSeconds > 0)) return false;
    const double missing = statedSeconds - decodedSeconds;
    return missing > 1.0 && missing > 0.05 * statedSeconds;
}

std::string PlayingClock(double seconds) {
    const long long total = seconds > 0 && std::isfinite(seconds) ? static_cast<long long>(seconds) : 0;
    char text[48];
    if (total >= 3600)
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", total / 3600, total / 60 % 60, total % 60);
    else
        std::snprintf(text, sizeof text, "%lld:%02lld", total / 60, total % 60);
    return text;
}

int ConvertFile(int outputFormat, const ConversionRequest& request, ConversionContext& context) {
    const FamilyInfo* family = FamilyOfFormat(outputFormat);
    return family && family->convert ? family->convert(request, context) : 0;
}

namespace {

// The tags a family's target gets, by its tag policy; none for families without tags.
TagChoice ChooseFamilyTags(const FamilyInfo& family, const ConversionRequest& request, const Settings& s,
                           AudioSource& source) {
    if (!family.tagPolicy) return {};
    TagChoiceInputs in;
    in.policy = s.*family.tagPolicy;
    in.typed = s.*family.typedTags;
    in.sourcePath = request.sourcePath;
    in.sourceType = request.sourceType;
    in.sequenceNumber = static_cast<uint32_t>(std::max(request.sequenceNumber, 0));
    in.mp3Target = family.family == Family::Mp3;
    in.coverArt = s.CoverArt != 0;
    in.folderPicture = s.CoverArtFromFolder != 0;
    in.pictureMaxPixels = s.CoverArtMaxPixels;
    return ChooseTags(in, source);
}

// Dates an incomplete target before its source, so that an update run that compares the two
// converts it again.
void MarkOlderThanSource(const std::string& targetPath, const std::string& sourcePath) {
    struct stat st;
    if (stat(sourcePath.c_str(), &st) != 0) return;
    struct timespec times[2];
    times[0] = st.st_atim;
    times[1] = st.st_mtim;
    times[1].tv_sec -= 2;
    times[1].tv_nsec = 0;
    utimensat(AT_FDCWD, targetPath.c_str(), times, 0);
}

// The encoder on a thread of its own: the blocks ready to encode are copied into a small ring of
// reused buffers and encoded there, so that decoding, conversion, gain, metering and the target's
// record run beside the encoding on a second core. The thread calls nothing but EncodeBlock or
// EncodeWide; the adapter is started before it begins and ended after it is joined, so the
// encoder is used by one thread at a time. After the encoder fails, the thread stops and every
// further hand-over returns false; the adapter's reason is read after the join.
class EncoderThread {
public:
    // Blocks of at most `maxFrames` frames: interleaved doubles of `channels` values a frame
    // (`wide`), or one or two planes (`channels`) of `sampleBytes`-byte samples.
    EncoderThread(EncoderAdapter& adapter, bool wide, uint32_t channels, uint32_t sampleBytes, uint32_t maxFrames)
        : adapter_(adapter), wide_(wide), channels_(channels), sampleBytes_(wide ? sizeof(double) : sampleBytes) {
        const size_t blockBytes = size_t{std::max(maxFrames, 1u)} * channels_ * sampleBytes_;
        slots_.resize(std::clamp<size_t>(kQueueBytes / blockBytes, 2, kQueueBlocks));
        half_ = slots_.size() / 2;
    }
    EncoderThread(const EncoderThread&) = delete;
    EncoderThread& operator=(const EncoderThread&) = delete;
    ~EncoderThread() { Abandon(); }

    // Starts the thread; false when none could be made (the caller then encodes itself).
    bool Start() {
        try {
            thread_ = std::thread([this] { Run(); });
        } catch (const std::system_error&) {
            return false;
        }
        return true;
    }

    bool PushPlanar(const void* left, const void* right, uint32_t frames) {
        Slot* slot = Acquire();
        if (!slot) return false;
        const size_t planeBytes = size_t{frames} * sampleBytes_;
        const size_t planeWords = (planeBytes + sizeof(double) - 1) / sizeof(double);
        Reserve(*slot, right ? 2 * planeWords : planeWords);
        std::memcpy(slot->data.data(), left, planeBytes);
        slot->right = nullptr;
        if (right) {
            slot->right = slot->data.data() + planeWords;
            std::memcpy(slot->right, right, planeBytes);
        }
        slot->frames = frames;
        Commit();
        return true;
    }

    bool PushWide(const double* samples, uint32_t frames) {
        Slot* slot = Acquire();
        if (!slot) return false;
        const size_t count = size_t{frames} * channels_;
        Reserve(*slot, count);
        std::memcpy(slot->data.data(), samples, count * sizeof(double));
        slot->frames = frames;
        Commit();
        return true;
    }

    // Waits until every block handed over is encoded; false when the encoder failed. From here
    // on the encoder takes each block at once.
    bool Drain() {
        std::unique_lock<std::mutex> lock(mutex_);
        draining_ = true;
        toEncoder_.notify_one();
        toProducer_.wait(lock, [this] { return queued_ == 0 || failed_; });
        return !failed_;
    }

    // Encodes what is queued, then ends the thread; false when the encoder failed.
    bool Finish() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        toEncoder_.notify_one();
        if (thread_.joinable()) thread_.join();
        return !failed_;
    }

    // Drops what is not encoded yet and ends the thread (after the block it is encoding).
    void Abandon() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = drop_ = true;
        }
        toEncoder_.notify_one();
        if (thread_.joinable()) thread_.join();
    }

private:
    // At most this many blocks and (beyond two blocks) bytes wait for the encoder. The threads
    // hand over in halves of the ring, so a ring of many blocks wakes each of them seldom: with 16
    // blocks the reading thread woke some 700 times a second beside a FLAC encoder, was often
    // placed on the encoder's core, and a third thread (the decode of a verified target) then cost
    // the encoder a fifth of its core.
    static constexpr size_t kQueueBlocks = 64;
    static constexpr size_t kQueueBytes = size_t{16} << 20;

    struct Slot {
        std::vector<double> data;  // doubles, so that the planes of 16-bit samples are aligned too
        double* right = nullptr;   // the right plane inside data, or null
        uint32_t frames = 0;
    };

    // A buffer only grows, so once the blocks have their size nothing is allocated per block.
    static void Reserve(Slot& slot, size_t words) {
        if (slot.data.size() < words) slot.data.resize(words);
    }

    // The next free slot; null once the encoder failed. Only this thread writes a free slot; the
    // encoder reads only queued ones. A full ring is waited on until it is half empty, and an
    // idle encoder until half of it is queued, so that the threads wake each other once every
    // few blocks instead of at every block.
    Slot* Acquire() {
        std::unique_lock<std::mutex> lock(mutex_);
        if (queued_ == slots_.size()) toProducer_.wait(lock, [this] { return queued_ <= half_ || failed_; });
        if (failed_) return nullptr;
        return &slots_[(head_ + queued_) % slots_.size()];
    }

    void Commit() {
        bool wake;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            wake = ++queued_ == half_ || draining_;
        }
        if (wake) toEncoder_.notify_one();
    }

    void Run() {
        // The thread starts with its creator's vector state; only the adapter runs here after.
        ClearUpperVectorState();
        for (;;) {
            Slot* slot = nullptr;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                if (queued_ == 0)
                    toEncoder_.wait(lock, [this] { return queued_ >= half_ || stop_ || (draining_ && queued_ > 0); });
                if (drop_ || queued_ == 0) return;
                slot = &slots_[head_];
            }
            // The slot stays counted as queued while it is encoded, so it is not written meanwhile.
            const bool ok = wide_ ? adapter_.EncodeWide(slot->data.data(), slot->frames)
                                  : adapter_.EncodeBlock(slot->data.data(), slot->right, slot->frames);
            bool wake;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                head_ = (head_ + 1) % slots_.size();
                --queued_;
                if (!ok) failed_ = true;
                wake = !ok || queued_ == half_ || queued_ == 0;
            }
            if (wake) toProducer_.notify_one();
            if (!ok) return;
        }
    }

    EncoderAdapter& adapter_;
    const bool wide_;
    const uint32_t channels_;
    const size_t sampleBytes_;
    std::vector<Slot> slots_;
    std::mutex mutex_;
    std::condition_variable toEncoder_;   // a block was queued, or the thread is to stop
    std::condition_variable toProducer_;  // a slot came free, or the encoder failed
    size_t half_ = 1;
    size_t head_ = 0;    // the oldest queued slot
    size_t queued_ = 0;  // queued slots, the one being encoded included
    bool stop_ = false;  // end once the queue is empty
    bool drop_ = false;  // end without encoding what is queued
    bool draining_ = false;
    bool failed_ = false;
    std::thread thread_;
};

// Gain, then the loudness meter (when there is one) and the encoder, on planes in the target format.
// With an encoder thread the block is handed to it instead of to the adapter.
class EncodeStep {
public:
    EncodeStep(EncoderAdapter& adapter, const TargetFormat& format, Gain gain, LoudnessMeter* meter,
               EncodeRecord* record, EncoderThread* thread)
        : adapter_(adapter), format_(format), gain_(gain), meter_(meter), channels_(static_cast<int>(format.channels)),
          record_(record), thread_(thread) {}

    bool operator()(void* left, void* right, uint32_t n) {
        if (gain_.on) {
            if (format_.bits == 16)
                ApplyGain16(static_cast<int16_t*>(left), static_cast<int16_t*>(right), n, channels_, gain_.factor);
            else
                ApplyGain8(static_cast<uint8_t*>(left), static_cast<uint8_t*>(right), n, channels_, gain_.factor);
        }
        if (record_) record_->samples.AddPlanar(left, channels_ == 2 ? right : nullptr, n, format_.bits);
        if (meter_) {
            void* measuredRight = channels_ == 2 ? right : nullptr;
            if (format_.bits == 16)
                meter_->AddPlanar16(static_cast<const int16_t*>(left), static_cast<const int16_t*>(measuredRight), n);
            else
                meter_->AddPlanar8(static_cast<const uint8_t*>(left), static_cast<const uint8_t*>(measuredRight), n);
        }
        void* const encodedRight = channels_ == 2 ? right : nullptr;
        if (thread_) return thread_->PushPlanar(left, encodedRight, n);
        return adapter_.EncodeBlock(left, encodedRight, n);
    }

private:
    EncoderAdapter& adapter_;
    const TargetFormat& format_;
    Gain gain_;
    LoudnessMeter* meter_;
    int channels_;
    EncodeRecord* record_;
    EncoderThread* thread_;
};

// What the target's check compares its tags with: the texts chosen, or those of the ID3v2 block
// handed over as it is.
void RecordTags(const TagChoice& tags, EncodeRecord& record) {
    record.tagsWritten = false;
    record.tags = TagRecord{};
    if (tags.kind == TagChoice::kTexts) {
        record.tags = tags.texts;
        record.tagsWritten = true;
    } else if (tags.kind == TagChoice::kId3Blocks && !tags.id3v2.empty()) {
        record.tagsWritten = ReadId3Tags(tags.id3v2.data(), tags.id3v2.size(), record.tags);
    }
}

// Gain, then the loudness meter (when there is one), the target's check record and the encoder,
// on interleaved blocks of the wide read in the target format (or its encoder thread).
class WideEncodeStep {
public:
    WideEncodeStep(EncoderAdapter& adapter, uint32_t channels, Gain gain, LoudnessMeter* meter, EncodeRecord* record,
                   EncoderThread* thread)
        : adapter_(adapter), record_(record), channels_(channels), gain_(gain), meter_(meter), thread_(thread) {}

    bool operator()(const double* in, uint32_t n) {
        const double* samples = in;
        if (gain_.on) {
            const size_t count = size_t{n} * channels_;
            if (gained_.size() < count) gained_.resize(count);
            const double factor = gain_.factor;
            for (size_t i = 0; i < count; ++i) gained_[i] = in[i] * factor;
            samples = gained_.data();
        }
        if (meter_) meter_->AddInterleaved(samples, n);
        if (record_) record_->samples.AddWide(samples, n);
        adapter_.BeforeEncodeWide(samples, n);
        if (thread_) return thread_->PushWide(samples, n);
        return adapter_.EncodeWide(samples, n);
    }

private:
    EncoderAdapter& adapter_;
    EncodeRecord* record_;
    uint32_t channels_;
    Gain gain_;
    LoudnessMeter* meter_;
    EncoderThread* thread_;
    std::vector<double> gained_;
};

}  // namespace

int RunPipeline(const ConversionRequest& request, ConversionContext& context, Family familyId, EncoderAdapter& adapter) {
    const Settings& s = context.settings;
    const FamilyInfo* family = &FamilyOf(familyId);

    std::unique_ptr<AudioSource> source = CreateSource(request.sourcePath, request.sourceType,
                                                       family->renderRate(s, request.outputFormat), kPurposeConvert,
                                                       &context.sources);
    if (!source) {
        context.failureReason = context.sources.failureReason;
        return 0;
    }
    // What the source said of itself at open, to judge where its decode ended.
    uint64_t sizeAtOpen = 0;
    const bool sizedAtOpen = FileSizeOf(request.sourcePath, sizeAtOpen);
    const double statedSeconds = source->StatedSeconds();
    const double listedSeconds = source->GetDuration();

    // Ends the encoder and closes the source in the family's order; false when the encoder could
    // not complete its file.
    auto endAll = [&]() {
        bool ended = true;
        if (adapter.EndsBeforeSourceCloses()) ended = adapter.End();
        source->Close();
        source.reset();
        if (!adapter.EndsBeforeSourceCloses()) ended = adapter.End();
        return ended;
    };
    auto fail = [&](const std::string& reason) {
        if (context.failureReason.empty()) context.failureReason = reason;
    };
    // A conversion that failed before its loop: everything ended, a target the encoder made removed
    // (one it could not create is left alone: it may be someone else's file).
    auto abandon = [&](const std::string& reason) {
        fail(reason);
        const bool created = adapter.CreatedTarget();
        endAll();
        if (created) DeleteFailedTarget(request.targetPath, request.sourcePath);
        return 0;
    };

    PipelineCall call{request, s, *source, {}};
    call.record = context.record;
    call.facts.rate = source->GetSampleRate();
    call.facts.bits = source->GetBitsPerSample();
    call.facts.channels = source->GetChannels();
    call.facts.channelMode = source->GetChannelMode();
    call.facts.bitRate = source->GetBitRate();
    call.facts.wide = source->GetWideFormat();

    // Rates beyond what any decoder or encoder serves (a damaged header, a hand-edited setting)
    // end the conversion before a byte is written, instead of a runaway conversion.
    if (!UsableSampleRate(call.facts.rate))
        return abandon("the source's sample rate of " + std::to_string(call.facts.rate) + " Hz is out of range");
    if (!adapter.Open(call)) return abandon(adapter.FailureReason());
    const TargetFormat format = adapter.ChooseFormat(call);
    const auto within = [](const SettingRange& range, uint32_t value) {
        return value <= INT32_MAX && range.Accepts(static_cast<int32_t>(value));
    };
    if (!within(TargetSampleRates(), format.rate))
        return abandon("a target sample rate of " + std::to_string(format.rate) + " Hz is out of range (" +
                       TargetSampleRates().Describe() + " Hz)");
    // Which of the source's reads feeds the encoder: the family's, or the adapter's choice.
    const bool wide = family->takes == SampleLayout::Wide ||
                      (family->takes == SampleLayout::Either && format.wide.channels != 0);
    const WideFormat& sourceWide = call.facts.wide;
    if (wide) {
        if (sourceWide.channels < 1 || sourceWide.channels > kMaxWideChannels)
            return abandon("the source's " + std::to_string(sourceWide.channels) + " channels cannot be converted");
        if (format.wide.channels < 1 || format.wide.channels > kMaxWideTargetChannels ||
            !WideTargetBits(format.wide.bits, format.wide.isFloat))
            return abandon("the target format (" + std::to_string(format.wide.channels) + " channels, " +
                           std::to_string(format.wide.bits) + (format.wide.isFloat ? "-bit float" : " bits") +
                           ") cannot be written");
    } else if (!within(TargetChannels(), format.channels) || !within(TargetSampleBits(), format.bits)) {
        return abandon("the target format (" + std::to_string(format.channels) + " channels, " +
                       std::to_string(format.bits) + " bits) cannot be written");
    }
    // The measuring pass of album normalisation stops here: the album's gain is known only once
    // all its files are measured.
    if (context.measureOnly) {
        if (!family->amplify) return abandon("the loudness of this output format is not normalised");
        LoudnessFigures figures;
        std::shared_ptr<LoudnessMeter> measured;
        if (!MeasureBeforeEncoding(request, context, family->renderRate(s, request.outputFormat), call.facts, format,
                                   figures, &measured))
            return abandon(context.failureReason);
        endAll();
        context.loudness = figures;
        context.loudnessMeter = std::move(measured);
        return kConversionComplete;
    }
    const TagChoice tags = ChooseFamilyTags(*family, request, s, *source);
    if (!tags.warning.empty()) context.warning = tags.warning;
    if (context.record) {
        // Only a lossy target's check compares the levels of its blocks.
        const bool levels = !family->check.lossless;
        if (wide)
            context.record->samples.Begin(format.rate, format.wide.channels, format.wide.bits, format.wide.isFloat,
                                          levels);
        else
            context.record->samples.Begin(format.rate, format.channels, format.bits, false, levels);
        RecordTags(tags, *context.record);
        context.record->picture = adapter.WritesPicture(call) ? tags.picture : nullptr;
    }
    call.encoderThread = context.overlapEncoding && !format.encodeHere;
    if (!adapter.Start(call, format, tags)) return abandon(adapter.FailureReason());
    if (context.record) {
        context.record->storedRate = format.rate;
        context.record->storedChannels = wide ? format.wide.channels : format.channels;
        adapter.StoredFormat(context.record->storedRate, context.record->storedChannels);
    }

    Gain gain = family->amplify ? GainFor(s.*family->amplify, s.*family->amplifyCoeff) : Gain{};
    // Normalisation replaces the fixed percentage by the gain an analysis pass finds: the file's
    // own, or its album's, which the batch measured before converting any of the album.
    if (family->amplify && NormalisesLoudness(s)) {
        LoudnessFigures before;
        if (NormalisesAlbums(s) && context.albumLoudness)
            before = *context.albumLoudness;
        else if (!MeasureBeforeEncoding(request, context, family->renderRate(s, request.outputFormat), call.facts,
                                        format, before))
            return abandon(context.failureReason);
        else if (NormalisesAlbums(s) && context.warning.empty())
            context.warning = "normalised by itself: its album's loudness was not measured";
        gain = NormalisingGain(before, s);
    }
    std::shared_ptr<LoudnessMeter> meter;
    if (MeasuresLoudness(s))
        meter = wide ? std::make_shared<LoudnessMeter>(format.wide.channels, format.rate,
                                                       static_cast<uint32_t>(format.wide.channelMask))
                     : std::make_shared<LoudnessMeter>(format.channels, format.rate);
    const FormatPlan& plan = format.plan;
    PcmConverter converter;
    WidePcmConverter wideConverter;
    std::vector<int16_t> outLeft, outRight;  // 16-bit slots hold 8-bit samples too
    if (wide) {
        wideConverter.inputRate = call.facts.rate;
        wideConverter.inputChannels = sourceWide.channels;
        wideConverter.inputMask = sourceWide.channelMask;
        wideConverter.outputRate = format.rate;
        wideConverter.outputChannels = format.wide.channels;
        wideConverter.monoPick = s.MonoType == 1 || s.MonoType == 2 ? s.MonoType : 0;
        if (!wideConverter.Setup())
            return abandon("cannot convert " + std::to_string(sourceWide.channels) + " channels at " +
                           std::to_string(call.facts.rate) + " Hz to " + std::to_string(format.wide.channels) +
                           " channels at " + std::to_string(format.rate) + " Hz");
    } else if (plan.convert) {
        converter.inputRate = static_cast<int>(call.facts.rate);
        converter.inputChannels = plan.converterInputChannels;
        converter.inputBits = static_cast<int>(call.facts.bits);
        converter.outputRate = static_cast<int>(format.rate);
        converter.outputChannels = static_cast<int>(format.channels);
        converter.outputBits = static_cast<int>(format.bits);
        if (!converter.Setup())
            return abandon("cannot convert " + std::to_string(call.facts.rate) + " Hz to " +
                           std::to_string(format.rate) + " Hz");
        outLeft.resize(converter.OutputCapacity());
        if (format.channels == 2) outRight.resize(converter.OutputCapacity());
    }
    void* const convLeft = outLeft.data();
    void* const convRight = outRight.empty() ? nullptr : outRight.data();

    // The encoder on a second thread when the batch has a core to spare for it; without a thread
    // the blocks are encoded here, as they are when the context does not ask for one, when the
    // adapter keeps its encoder here, or when the decode of the target while it is written takes
    // that core.
    std::unique_ptr<EncoderThread> encoderThread;
    if (call.encoderThread && !(context.record && context.record->followerTakesSpareCore)) {
        const uint32_t maxFrames = wide ? wideConverter.OutputCapacity()
                                        : plan.convert ? converter.OutputCapacity() : kBlockFrames;
        encoderThread = std::make_unique<EncoderThread>(adapter, wide, wide ? format.wide.channels : format.channels,
                                                        format.bits == 8 ? 1 : 2, maxFrames);
        if (!encoderThread->Start()) encoderThread.reset();
    }

    EncodeStep encode(adapter, format, gain, meter.get(), context.record, encoderThread.get());
    uint64_t delivered = 0;  // frames the source delivered
    uint64_t encoded = 0;    // frames handed to the encoder
    auto encodeCounted = [&](void* left, void* right, uint32_t n) {
        encoded += n;
        return encode(left, right, n);
    };
    auto sink = [&](void* left, void* right, uint32_t n) -> int {
        delivered += n;
        // Under a mono pick only the chosen plane goes on, as the one channel.
        void* in = plan.pick == 2 ? right : left;
        void* inRight = plan.pick ? nullptr : right;
        if (!plan.convert) return encodeCounted(in, inRight, n);
        uint32_t out = 0;
        if (!converter.Convert(in, inRight, n, convLeft, convRight, &out)) return 0;
        return out ? encodeCounted(convLeft, convRight, out) : 1;
    };

    WideEncodeStep encodeWide(adapter, format.wide.channels, gain, meter.get(), context.record, encoderThread.get());
    auto encodeWideCounted = [&](const double* in, uint32_t n) {
        encoded += n;
        return encodeWide(in, n);
    };
    auto wideSink = [&](const double* in, uint32_t n) -> int {
        delivered += n;
        const double* out = nullptr;
        uint32_t produced = 0;
        if (!wideConverter.Convert(in, n, &out, &produced)) return 0;
        return produced ? encodeWideCounted(out, produced) : 1;
    };

    int result = wide ? PumpSourceWide(*source, request.sourceType, request.sourcePath, context.progress, wideSink)
                      : PumpSource(*source, request.sourceType, request.sourcePath, context.progress, sink);
    // An encoder thread settles the blocks it was handed before the end is judged, so a block
    // that failed to encode fails the conversion as it does when encoded here.
    if (result && encoderThread && !encoderThread->Drain()) result = 0;
    // A source that reached its end without a single sample, though it does not say it is empty,
    // was damaged or cut short (a header and nothing after it, garbage after a valid header): the
    // conversion fails, whatever the encoder made of the empty stream. A source that delivered
    // some samples before its decoder gave up keeps them.
    if (result && delivered == 0 && !source->StatesNoAudio()) {
        result = 0;
        context.failureReason = kNoAudioDecodedReason;
    }
    // A stream that ran to its end can still be no rendition of the file (notes rendered silent).
    if (result) {
        if (std::string failure = source->DecodeFailure(); !failure.empty()) {
            result = 0;
            context.failureReason = failure;
        }
    }
    // A decode that ends well short of the length the file states, or a source that shrank while
    // it was read, lost part of the file: the target keeps what was converted but is marked.
    std::string incomplete;
    if (result && call.facts.rate > 0) {
        const double decodedSeconds = static_cast<double>(delivered) / call.facts.rate;
        uint64_t sizeAtEnd = 0;
        const bool shrank = sizedAtOpen && FileSizeOf(request.sourcePath, sizeAtEnd) && sizeAtEnd < sizeAtOpen;
        if (shrank || EndedShort(decodedSeconds, statedSeconds))
            incomplete = "the source ended at " + PlayingClock(decodedSeconds) + " of " +
                         PlayingClock(statedSeconds > 0 ? statedSeconds : listedSeconds);
    }
    // The resampler holds the last few milliseconds back; encode them so nothing is lost.
    if (result && wide) {
        const double* out = nullptr;
        while (uint32_t n = wideConverter.Flush(&out)) {
            if (!encodeWideCounted(out, n)) {
                result = 0;
                break;
            }
        }
    }
    if (result && !wide && plan.convert) {
        while (uint32_t n = converter.Flush(convLeft, convRight)) {
            if (!encodeCounted(convLeft, convRight, n)) {
                result = 0;
                break;
            }
        }
    }
    // The encoder thread ends before anything else asks the adapter: after the last block when
    // everything went well, at once (dropping what waits) on a failure or Cancel.
    if (encoderThread) {
        if (result && !encoderThread->Finish()) result = 0;
        encoderThread.reset();
    }
    // A few source frames can come to less than one frame at a much lower target rate: the
    // target would hold no sample, so the conversion fails instead.
    if (result && delivered > 0 && encoded == 0) {
        result = 0;
        context.failureReason = "the source is too short to convert to " + std::to_string(format.rate) + " Hz";
    }
    const bool cancelled = !result && context.progress.CancelRequested();
    if (!result && !cancelled) fail(adapter.FailureReason());
    // An encoder that cannot complete its file (flush, trailing tag, close) fails the conversion.
    if (!endAll() && result) {
        result = 0;
        fail(adapter.FailureReason());
    }
    if (result && !adapter.FinishTarget(request.targetPath, tags)) {
        result = 0;
        fail(adapter.FailureReason());
    }
    if (!result) {
        DeleteFailedTarget(request.targetPath, request.sourcePath);
        return 0;
    }
    if (meter) KeepLoudness(request, context, std::move(meter));
    if (!incomplete.empty()) {
        context.failureReason = incomplete;
        MarkOlderThanSource(request.targetPath, request.sourcePath);
        return kConversionIncomplete;
    }
    return kConversionComplete;
}

}  // namespace sonavert
