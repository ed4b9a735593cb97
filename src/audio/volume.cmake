# Input volume on the ALSA mixer. Its device ids, result codes and format
# record are the sound-device layer's (tessel_audio).

tessel_library(tessel_audio_volume
  ${CMAKE_CURRENT_LIST_DIR}/VolumeMixer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/VolumeSimMixer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/VolumeAlsaMixer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/VolumeEventWatch.cpp
  ${CMAKE_CURRENT_LIST_DIR}/VolumeIn.cpp)
target_link_libraries(tessel_audio_volume
  PUBLIC tessel_audio tessel_platform Threads::Threads
  PRIVATE PkgConfig::ALSA)
