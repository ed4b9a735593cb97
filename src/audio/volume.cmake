# Input volume on the ALSA mixer and the level display drawn with cairo.
if(NOT TARGET PkgConfig::ALSA)
  pkg_check_modules(ALSA REQUIRED IMPORTED_TARGET GLOBAL alsa)
endif()
if(NOT TARGET PkgConfig::CAIRO)
  pkg_check_modules(CAIRO REQUIRED IMPORTED_TARGET GLOBAL cairo)
endif()

tessel_library(tessel_audio_volume
  ${CMAKE_CURRENT_LIST_DIR}/VolumeMixer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/VolumeSimMixer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/VolumeAlsaMixer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/VolumeEventWatch.cpp
  ${CMAKE_CURRENT_LIST_DIR}/VolumeIn.cpp
  ${CMAKE_CURRENT_LIST_DIR}/LevelDisplay.cpp)
target_link_libraries(tessel_audio_volume
  PUBLIC tessel_platform PkgConfig::CAIRO Threads::Threads
  PRIVATE PkgConfig::ALSA)
