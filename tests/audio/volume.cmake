# Input volume on the simulated mixer.
tessel_test(audio_volume_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/VolumeTest.cpp
  LIBS tessel_audio_volume)

# The real ALSA mixer functions on this machine, and the thread that watches
# a mixer's descriptors (also under TSan).
tessel_test(audio_volume_alsa_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/VolumeAlsaTest.cpp
  LIBS tessel_sound_fixture
  LABELS threaded)
