#include "support/MainWindowTestUtil.h"

#include <QCoreApplication>
#include <QThread>

#include "sources/CodecHost.h"
#include "support/TestUtil.h"

namespace testutil {

sonavert::CodecHost& SharedCodecHost() {
    // Never destroyed: the decoding layer's own statics may be gone by the time a static host
    // would tear it down at exit.
    static sonavert::CodecHost* host = [] {
        auto* h = new sonavert::CodecHost;
        h->Start(BinDir() + "/");
        return h;
    }();
    return *host;
}

bool MakeWav(const std::string& path, double seconds, int channels) {
    return Run("sox -n -r 44100 -b 16 -c " + std::to_string(channels) + " " + Quote(path) + " synth " +
               std::to_string(seconds) + " sine 440") == 0;
}

bool MakeMp3(const std::string& path, double seconds) {
    const std::string wav = path + ".src.wav";
    const bool ok = MakeWav(wav, seconds) && Run("lame --quiet -b 128 -m j " + Quote(wav) + " " + Quote(path)) == 0;
    std::remove(wav.c_str());
    return ok;
}

bool MakeFlac(const std::string& path, double seconds, int channels) {
    return Run("ffmpeg -v quiet -y -f lavfi -i sine=frequency=330:sample_rate=48000:duration=" +
               std::to_string(seconds) + " -ac " + std::to_string(channels) + " " + Quote(path)) == 0;
}

bool PumpUntil(const std::function<bool()>& done, int maxRounds) {
    for (int i = 0; i < maxRounds && !done(); ++i) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        if (!done()) QThread::msleep(1);
    }
    return done();
}

}  // namespace testutil
