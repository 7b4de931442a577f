#pragma once

namespace sonavert {

// Marks the upper halves of the 256-bit vector registers as unused.
//
// Some libraries we load return with those halves still in use (Qt's command-line parser does, on
// processors with AVX), and a thread created meanwhile inherits the state. Code built for
// SSE only, as LAME and much of FFmpeg are, then runs up to a tenth slower on such processors:
// every SSE instruction waits to merge the upper halves it does not use. The conversion loops call
// this before their first block and after each call into the driver, the encoder thread when it
// starts, the decode of a target back once per packet.
inline void ClearUpperVectorState() {
#if defined(__x86_64__) || defined(__i386__)
    // The clobbers keep the compiler from holding a vector value across the instruction, should
    // this file ever be built for AVX.
    if (__builtin_cpu_supports("avx"))
        __asm__ volatile("vzeroupper" ::: "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7"
#if defined(__x86_64__)
                         ,
                         "xmm8", "xmm9", "xmm10", "xmm11", "xmm12", "xmm13", "xmm14", "xmm15"
#endif
        );
#endif
}

}  // namespace sonavert
