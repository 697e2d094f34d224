#pragma once
// The effects' hooks as the export calls them. Empty until the effects are written.

#include <cstdint>

#include "engine.h"

namespace chime {

struct EffectFormat {
    int Bits = 0;
    int Rate = 0;
    int Channels = 0;
};

// The effect controls, taken whole at one moment.
struct EffectSettings {
    bool gainOn = false;
    double gainDb = 0;
    bool highPassOn = false;
    int highCut = 5000;
    bool lowPassOn = false;
    int lowCut = 5000;
    bool fadeInOn = true;
    double fadeInSeconds = 5;
    bool fadeOutOn = false;
    double fadeOutSeconds = 5;
};

class EffectChain {
  public:
    void SetFormat(const EffectFormat&) {}
    void SetSettings(const EffectSettings&) {}
    void SetEndPosition(int64_t) {}
};

inline void AttachExportFade(EffectChain&, HSTREAM, bool) {}
inline void AttachExportEffects(EffectChain&, HSTREAM) {}

}  // namespace chime
