#include "engine/Pipeline.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

#include "base/PathHelpers.h"

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

ProgressTracker::ProgressTracker(ConversionDriver& driver, const std::string& sourcePath, uint64_t length)
    : driver_(driver), fileName_(FileNamePart(sourcePath)) {
    bytesPerPercent_ = length / 100;
    if (length == 0) length = 1;
    if (bytesPerPercent_ == 0) bytesPerPercent_ = 1;
    width_ = driver_.FileBarWidth();
    if (width_ < 1) width_ = 1;
    driver_.SetFileBarRange(width_);
    driver_.SetFileBarPosition(0);
    bytesPerStep_ = length / static_cast<uint64_t>(width_);
    if (bytesPerStep_ == 0) bytesPerStep_ = 1;
}

void ProgressTracker::ShowPercent(uint32_t percent) {
    char text[64];
    std::snprintf(text, sizeof text, "...%u%%", percent);
    driver_.SetFileText("Converting " + fileName_ + text);
    lastPercent_ = percent;
}

void ProgressTracker::Update(uint64_t position) {
    uint64_t percent = position / bytesPerPercent_;
    if (percent > 100) percent = 100;
    if (percent > lastPercent_) ShowPercent(static_cast<uint32_t>(percent));
    uint64_t step = position / bytesPerStep_;
    if (step > static_cast<uint64_t>(width_)) step = static_cast<uint64_t>(width_);
    if (step > lastStep_) {
        driver_.SetFileBarPosition(static_cast<int>(step));
        lastStep_ = step;
    }
}

void ProgressTracker::Complete() {
    if (lastPercent_ != 100) {
        ShowPercent(100);
        driver_.SetFileBarPosition(width_);
    }
}

int PumpSource(AudioSource& source, int sourceType, const std::string& sourcePath, ConversionDriver& driver,
               const BlockSink& sink) {
    const uint64_t length = source.GetLength();
    ProgressTracker progress(driver, sourcePath, length);
    // Planes for one block at the source's width; the right plane only for two channels.
    alignas(int16_t) uint8_t leftPlane[kBlockFrames * 2];
    alignas(int16_t) uint8_t rightPlane[kBlockFrames * 2];
    void* left = leftPlane;
    void* right = source.GetChannels() == 2 ? rightPlane : nullptr;
    const bool stopAtLength = sourceType == kSourceModule || sourceType == kSourceMidi;

    for (;;) {
        uint32_t n = source.Read(left, right);
        if (n < 1) break;
        if (n > kBlockFrames) return 0;  // a decoder overstepping its block size is broken
        const uint64_t p = source.GetPosition();
        progress.Update(p);
        driver.Pump();
        if (driver.CancelRequested()) return 0;
        if (!sink(left, right, n)) return 0;
        if (stopAtLength && p >= length) break;
    }
    progress.Complete();
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

int ConvertFile(int outputFormat, const ConversionRequest& request, ConversionContext& context) {
    const FamilyInfo* family = FamilyOfFormat(outputFormat);
    return family && family->convert ? family->convert(request, context) : 0;
}

}  // namespace sonavert
