#pragma once
// The conversion pipelines: one source file to one target file of an output format.
#include <cstdint>
#include <functional>
#include <string>

#include "engine/ConversionDriver.h"
#include "engine/OutputFormats.h"
#include "settings/Settings.h"
#include "sources/AudioSource.h"
#include "sources/SourceFactory.h"

namespace sonavert {

// One file to convert.
struct ConversionRequest {
    int sourceType = kSourceOther;
    std::string sourcePath;
    std::string targetPath;      // already reserved by the batch
    int sequenceNumber = 1;      // the row's number in the batch (a track number for tags)
};

// What a conversion borrows from its caller for its whole length.
struct ConversionContext {
    const Settings& settings;
    ConversionDriver& driver;
    SourceFactoryContext& sources;
};

// Rate at which tracker modules and MIDI files are rendered for an output format.
uint32_t RenderRateFor(int outputFormat, const Settings& settings);

// Converts to WAV. Returns 1 when the whole source was converted, 0 on failure or Cancel (the
// partial target is then deleted, never the source).
int ConvertToWav(const ConversionRequest& request, ConversionContext& context);

// Converts to MP3 (constant bit rate, ID3 tags by the MP3 tag policy). Returns 1 when the whole
// source was converted, 0 on failure or Cancel (the partial target is then deleted).
int ConvertToMp3(const ConversionRequest& request, ConversionContext& context);

// Runs the pipeline of `outputFormat`'s family; 0 for a format without one.
int ConvertFile(int outputFormat, const ConversionRequest& request, ConversionContext& context);

// ---- Building blocks shared by the pipelines ----

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

// Keeps the per-file text and bar of the driver current, updating each only when it grows.
class ProgressTracker {
public:
    ProgressTracker(ConversionDriver& driver, const std::string& sourcePath, uint64_t length);
    void Update(uint64_t position);
    // The end was reached: show 100 % and a full bar.
    void Complete();

private:
    void ShowPercent(uint32_t percent);

    ConversionDriver& driver_;
    std::string fileName_;
    uint64_t bytesPerPercent_;
    uint64_t bytesPerStep_;
    int width_;
    uint32_t lastPercent_ = 0;
    uint64_t lastStep_ = 0;
};

// Called with each block ready to encode; returns 0 when encoding failed.
using BlockSink = std::function<int(void* left, void* right, uint32_t frames)>;

// Reads `source` to its end through `sink`: progress, pump and Cancel after every block, and the
// stop rule of tracker modules and MIDI files (their position reaching their length). Returns 1
// when the end was reached, 0 on Cancel or when the sink failed.
int PumpSource(AudioSource& source, int sourceType, const std::string& sourcePath, ConversionDriver& driver,
               const BlockSink& sink);

// True when both paths name the same file (or, when neither exists, the same normalised path).
bool SameFile(const std::string& a, const std::string& b);

// Deletes a failed target unless it is the source file itself.
void DeleteFailedTarget(const std::string& targetPath, const std::string& sourcePath);

}  // namespace sonavert
