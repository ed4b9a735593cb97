# Input volume on the ALSA mixer. Its device ids, result codes and format
# record are the sound-device layer's (quillby_audio).

quillby_library(quillby_audio_volume
  ${CMAKE_CURRENT_LIST_DIR}/VolumeMixer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/VolumeSimMixer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/VolumeAlsaMixer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/VolumeEventWatch.cpp
  ${CMAKE_CURRENT_LIST_DIR}/VolumeIn.cpp)
target_link_libraries(quillby_audio_volume
  PUBLIC quillby_audio quillby_platform Threads::Threads
  PRIVATE PkgConfig::ALSA)
