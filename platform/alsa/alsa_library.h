// libasound, loaded when a device is first opened rather than when the
// program starts: a program that never plays (vantoro render, or a host that
// only asks for progress ranges) does not pay for loading it.
#pragma once

#include <alsa/asoundlib.h>

namespace vantoro::alsa {

#define VANTORO_ALSA_FUNCTIONS(X)                                                                  \
    X(snd_pcm_open)                                                                                \
    X(snd_pcm_close)                                                                               \
    X(snd_pcm_drain)                                                                               \
    X(snd_pcm_drop)                                                                                \
    X(snd_pcm_prepare)                                                                             \
    X(snd_pcm_recover)                                                                             \
    X(snd_pcm_nonblock)                                                                            \
    X(snd_pcm_writei)                                                                              \
    X(snd_pcm_get_params)                                                                          \
    X(snd_pcm_poll_descriptors)                                                                    \
    X(snd_pcm_poll_descriptors_count)                                                              \
    X(snd_pcm_poll_descriptors_revents)                                                            \
    X(snd_pcm_hw_params)                                                                           \
    X(snd_pcm_hw_params_any)                                                                       \
    X(snd_pcm_hw_params_malloc)                                                                    \
    X(snd_pcm_hw_params_free)                                                                      \
    X(snd_pcm_hw_params_set_access)                                                                \
    X(snd_pcm_hw_params_set_buffer_time_near)                                                      \
    X(snd_pcm_hw_params_set_channels)                                                              \
    X(snd_pcm_hw_params_set_format)                                                                \
    X(snd_pcm_hw_params_set_period_time_near)                                                      \
    X(snd_pcm_hw_params_set_rate)                                                                  \
    X(snd_pcm_hw_params_set_rate_resample)                                                         \
    X(snd_pcm_sw_params)                                                                           \
    X(snd_pcm_sw_params_current)                                                                   \
    X(snd_pcm_sw_params_malloc)                                                                    \
    X(snd_pcm_sw_params_free)                                                                      \
    X(snd_pcm_sw_params_set_avail_min)                                                             \
    X(snd_pcm_sw_params_set_start_threshold)

// The libasound functions the backend calls.
struct AlsaLibrary {
#define VANTORO_ALSA_POINTER(name) decltype(&::name) name;
    VANTORO_ALSA_FUNCTIONS(VANTORO_ALSA_POINTER)
#undef VANTORO_ALSA_POINTER
};

// Loads libasound once (thread-safe); null when it or one of the functions
// is missing.
const AlsaLibrary* LoadAlsa();

} // namespace vantoro::alsa
