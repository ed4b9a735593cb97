#pragma once
// Owner of an open ALSA PCM, for the wave devices and the mixer's probe.
#include <alsa/asoundlib.h>

#include <memory>

namespace audio {

struct CPcmClose {
  void operator()(snd_pcm_t* pcm) const { snd_pcm_close(pcm); }
};
using PcmPtr = std::unique_ptr<snd_pcm_t, CPcmClose>;

}  // namespace audio
