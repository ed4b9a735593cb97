# Input volume on the simulated mixer.
quillby_test(audio_volume_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/VolumeTest.cpp
  LIBS quillby_audio_volume)

# The real ALSA mixer functions on this machine, and the thread that watches
# a mixer's descriptors (also under TSan).
quillby_test(audio_volume_alsa_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/VolumeAlsaTest.cpp
  LIBS quillby_sound_fixture
  LABELS threaded)
