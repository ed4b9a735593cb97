// The input-volume class and the recording-device choice on a simulated
// machine: devices, mixers and their controls as the tests describe them.
#include <gtest/gtest.h>

#include <vector>

#include "audio/sim/VolumeSimMixer.h"
#include "audio/volume/VolumeIn.h"
#include "platform/MessageLoop.h"

using namespace audio;
using namespace audio::mixer;

namespace {

constexpr DWORD kVolumeId = 11;
constexpr DWORD kLaterVolumeId = 12;
constexpr DWORD kSelectorId = 21;
constexpr DWORD kSwitchId = 22;
constexpr DWORD kDestVolumeId = 23;
constexpr DWORD kMinimum = 5;
constexpr DWORD kMaximum = 31;
constexpr DWORD kSteps = 26;

MIXERCONTROL VolumeControl(DWORD id, DWORD flags = 0) {
  MIXERCONTROL c;
  c.dwControlID = id;
  c.dwControlType = MIXERCONTROL_CONTROLTYPE_VOLUME;
  c.fdwControl = flags;
  c.dwMinimum = kMinimum;
  c.dwMaximum = kMaximum;
  c.cSteps = kSteps;
  return c;
}

MIXERCONTROL Selector(DWORD items, DWORD flags) {
  MIXERCONTROL c;
  c.dwControlID = kSelectorId;
  c.dwControlType = MIXERCONTROL_CONTROLTYPE_MUX;
  c.fdwControl = MIXERCONTROL_CONTROLF_MULTIPLE | flags;
  c.cMultipleItems = items;
  c.dwMaximum = items - 1;
  return c;
}

MIXERCONTROL OnOff(DWORD flags) {
  MIXERCONTROL c;
  c.dwControlID = kSwitchId;
  c.dwControlType = MIXERCONTROL_CONTROLTYPE_ONOFF;
  c.fdwControl = flags;
  c.dwMaximum = 1;
  return c;
}

MixerLineEntry Source(DWORD index, std::vector<MIXERCONTROL> controls, DWORD channels = 2) {
  MixerLineEntry e;
  e.line.dwSource = index;
  e.line.dwLineID = CMixerModel::SourceLineId(index);
  e.line.cChannels = channels;
  e.line.cControls = static_cast<DWORD>(controls.size());
  e.controls = std::move(controls);
  return e;
}

// A recording destination with the given sources and destination controls.
MixerTopology Recording(std::vector<MixerLineEntry> sources, std::vector<MIXERCONTROL> controls = {}) {
  MixerTopology t;
  MixerLineEntry dst;
  dst.line.dwLineID = CMixerModel::kDestinationLineId;
  dst.line.dwComponentType = MIXERLINE_COMPONENTTYPE_DST_WAVEIN;
  dst.line.cChannels = 2;
  dst.line.cConnections = static_cast<DWORD>(sources.size());
  dst.line.cControls = static_cast<DWORD>(controls.size());
  dst.controls = std::move(controls);
  t.destination = std::move(dst);
  t.sources = std::move(sources);
  return t;
}

MixerTopology WithVolume(DWORD flags = 0) { return Recording({Source(0, {VolumeControl(kVolumeId, flags)})}); }

struct CallbackLog {
  int calls = 0;
  DWORD value = 0;
  DWORD data = 0;
};
CallbackLog g_log;

void RecordChange(DWORD dwValue, DWORD dwUserData) {
  ++g_log.calls;
  g_log.value = dwValue;
  g_log.data = dwUserData;
}

class VolumeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_log = {};
    g_pVolumeIn = nullptr;
  }
  void TearDown() override { platform::CMessageLoop::Get().RunUntilIdle(); }

  void ExpectAbsent(CVolumeInXXX& volume) {
    EXPECT_FALSE(volume.IsAvailable());
    EXPECT_EQ(volume.GetSteps(), kVolumeAbsent);
    EXPECT_EQ(volume.GetMinimum(), kVolumeAbsent);
    EXPECT_EQ(volume.GetMaximum(), kVolumeAbsent);
    EXPECT_EQ(volume.GetVolume(), kVolumeAbsent);
  }

  CSimMixerSystem sim;
};

TEST_F(VolumeTest, NoMixerOrNoInputDeviceGivesWaveMapper) {
  sim.AddWaveIn(std::nullopt);
  sim.AddWaveIn(std::nullopt);
  EXPECT_EQ(FindRecordingDevice(sim), WAVE_MAPPER);  // input devices, no mixer

  CSimMixerSystem mixersOnly;
  mixersOnly.AddMixer(WithVolume());
  EXPECT_EQ(FindRecordingDevice(mixersOnly), WAVE_MAPPER);  // a mixer, no input device

  CVolumeInXXX volume(0, sim);
  ExpectAbsent(volume);
  EXPECT_EQ(g_pVolumeIn, nullptr);
}

TEST_F(VolumeTest, FindRecordingDeviceSkipsDevicesWithoutAVolumeOnTheFirstSource) {
  UINT noSources = sim.AddMixer(Recording({}));
  UINT laterOnly = sim.AddMixer(Recording({Source(0, {}), Source(1, {VolumeControl(kLaterVolumeId)})}));
  UINT disabled = sim.AddMixer(WithVolume(MIXERCONTROL_CONTROLF_DISABLED));
  UINT good = sim.AddMixer(WithVolume());
  UINT noDestination = sim.AddMixer(MixerTopology{});
  sim.AddWaveIn(std::nullopt);   // 0: no mixer
  sim.AddWaveIn(good, false);    // 1: does not open
  sim.AddWaveIn(noDestination);  // 2
  sim.AddWaveIn(noSources);      // 3
  sim.AddWaveIn(laterOnly);      // 4
  sim.AddWaveIn(disabled);       // 5
  sim.AddWaveIn(good);           // 6
  sim.AddWaveIn(good);           // 7

  EXPECT_EQ(FindRecordingDevice(sim), 6u);
  // Every probe closed its mixer again and left no receiver behind.
  for (UINT id : {noSources, laterOnly, disabled, good, noDestination}) EXPECT_EQ(sim.GetOpenCount(id), 0);
  EXPECT_EQ(g_pVolumeIn, nullptr);

  CVolumeInXXX later(4, sim);
  EXPECT_FALSE(later.IsAvailable());
}

TEST_F(VolumeTest, DisabledControlLooksAbsentAndIsLeftAlone) {
  UINT id = sim.AddMixer(WithVolume(MIXERCONTROL_CONTROLF_DISABLED));
  sim.AddWaveIn(id);
  CVolumeInXXX volume(0, sim);
  ExpectAbsent(volume);
  volume.SetVolume(kMinimum + 1);
  volume.SelectInput();
  EXPECT_EQ(sim.GetWriteCount(id, kVolumeId), 0);
  // The control was found, so this instance still holds the mixer.
  EXPECT_EQ(g_pVolumeIn, &volume);
  EXPECT_EQ(sim.GetOpenCount(id), 1);
}

TEST_F(VolumeTest, RangeAndValueOfTheFirstChannel) {
  UINT id = sim.AddMixer(WithVolume());
  sim.AddWaveIn(id);
  sim.SetValues(id, kVolumeId, {17, 9});
  CVolumeInXXX volume(0, sim);
  ASSERT_TRUE(volume.IsAvailable());
  EXPECT_EQ(volume.GetSteps(), kSteps);
  EXPECT_EQ(volume.GetMinimum(), kMinimum);
  EXPECT_EQ(volume.GetMaximum(), kMaximum);
  EXPECT_EQ(volume.GetVolume(), 17u);
}

TEST_F(VolumeTest, SetVolumeRefusesValuesOutsideTheRange) {
  UINT id = sim.AddMixer(WithVolume());
  sim.AddWaveIn(id);
  sim.SetValues(id, kVolumeId, {20, 20});
  CVolumeInXXX volume(0, sim);

  volume.SetVolume(kMaximum + 1);
  volume.SetVolume(kMinimum - 1);
  volume.SetVolume(static_cast<DWORD>(-2));
  EXPECT_EQ(sim.GetWriteCount(id, kVolumeId), 0);
  EXPECT_EQ(volume.GetVolume(), 20u);

  volume.SetVolume(kMaximum);
  EXPECT_EQ(sim.GetValues(id, kVolumeId), (std::vector<DWORD>{kMaximum, kMaximum}));
  volume.SetVolume(kMinimum);
  EXPECT_EQ(sim.GetValues(id, kVolumeId), (std::vector<DWORD>{kMinimum, kMinimum}));
}

TEST_F(VolumeTest, DestroyingAnyInstanceClearsTheReceiver) {
  UINT id = sim.AddMixer(WithVolume());
  UINT empty = sim.AddMixer(Recording({}));
  sim.AddWaveIn(id);
  sim.AddWaveIn(std::nullopt);
  sim.AddWaveIn(empty);

  CVolumeInXXX first(0, sim);
  EXPECT_EQ(g_pVolumeIn, &first);
  {
    CVolumeInXXX second(0, sim);
    EXPECT_EQ(g_pVolumeIn, &second);
    {
      CVolumeInXXX failed(1, sim);  // never opened: does not take the receiver
      EXPECT_EQ(g_pVolumeIn, &second);
    }
    EXPECT_EQ(g_pVolumeIn, nullptr);
  }
  EXPECT_EQ(g_pVolumeIn, nullptr);

  CVolumeInXXX third(0, sim);
  EXPECT_EQ(g_pVolumeIn, &third);
  // A mixer without sources: the failure path clears it and closes the mixer.
  CVolumeInXXX noSources(2, sim);
  EXPECT_EQ(g_pVolumeIn, nullptr);
  EXPECT_EQ(sim.GetOpenCount(empty), 0);
}

TEST_F(VolumeTest, ChangeElsewhereReachesTheCallbackOnce) {
  auto& loop = platform::CMessageLoop::Get();
  UINT id = sim.AddMixer(Recording({Source(0, {VolumeControl(kVolumeId)})}, {OnOff(0)}));
  sim.AddWaveIn(id);
  {
    CVolumeInXXX volume(0, sim);
    volume.SetChangeCallback(&RecordChange, 0x1234);

    sim.ChangeElsewhere(id, kVolumeId, {23, 21});
    EXPECT_EQ(g_log.calls, 0);  // arrives through the loop, not inside the change
    loop.RunUntilIdle();
    EXPECT_EQ(g_log.calls, 1);
    EXPECT_EQ(g_log.value, 23u);
    EXPECT_EQ(g_log.data, 0x1234u);

    // Another control of the mixer is not the volume.
    sim.ChangeElsewhere(id, kSwitchId, {1, 1});
    loop.RunUntilIdle();
    EXPECT_EQ(g_log.calls, 1);

    volume.SetChangeCallback(nullptr, 0);
    sim.ChangeElsewhere(id, kVolumeId, {24, 24});
    loop.RunUntilIdle();
    EXPECT_EQ(g_log.calls, 1);

    volume.SetChangeCallback(&RecordChange, 7);
  }
  // Destroyed: the notification finds no window.
  sim.ChangeElsewhere(id, kVolumeId, {25, 25});
  loop.RunUntilIdle();
  EXPECT_EQ(g_log.calls, 1);
}

TEST_F(VolumeTest, NotificationGoesToTheCurrentReceiverOnly) {
  auto& loop = platform::CMessageLoop::Get();
  UINT id = sim.AddMixer(WithVolume());
  sim.AddWaveIn(id);
  CVolumeInXXX first(0, sim);
  first.SetChangeCallback(&RecordChange, 1);
  {
    CVolumeInXXX second(0, sim);
    second.SetChangeCallback(&RecordChange, 2);
    // Both windows hear of it; each hands it to the receiver, the second instance.
    sim.ChangeElsewhere(id, kVolumeId, {30, 30});
    loop.RunUntilIdle();
    EXPECT_EQ(g_log.calls, 2);
    EXPECT_EQ(g_log.data, 2u);
  }
  // The receiver was cleared with the second instance: nobody is told.
  sim.ChangeElsewhere(id, kVolumeId, {6, 6});
  loop.RunUntilIdle();
  EXPECT_EQ(g_log.calls, 2);
}

TEST_F(VolumeTest, SelectInputSwitchesOnTheFirstItemAndEverySwitch) {
  MIXERCONTROL destVolume = VolumeControl(kDestVolumeId);
  UINT id = sim.AddMixer(Recording({Source(0, {VolumeControl(kVolumeId)})},
                                   {Selector(3, MIXERCONTROL_CONTROLF_UNIFORM), OnOff(0), destVolume}));
  sim.AddWaveIn(id);
  sim.SetValues(id, kSelectorId, {0, 0, 1, 0, 0, 1});
  CVolumeInXXX volume(0, sim);
  volume.SelectInput();
  // Uniform: one channel's worth given, every channel takes it.
  EXPECT_EQ(sim.GetValues(id, kSelectorId), (std::vector<DWORD>{1, 0, 0, 1, 0, 0}));
  EXPECT_EQ(sim.GetValues(id, kSwitchId), (std::vector<DWORD>{1, 1}));
  EXPECT_EQ(sim.GetWriteCount(id, kDestVolumeId), 0);
  EXPECT_EQ(sim.GetWriteCount(id, kVolumeId), 0);
}

TEST_F(VolumeTest, SelectInputOnPerChannelSelectorAndNothingWithoutAControl) {
  UINT id = sim.AddMixer(Recording({Source(0, {VolumeControl(kVolumeId)})}, {Selector(2, 0)}));
  UINT noVolume = sim.AddMixer(Recording({Source(0, {})}, {Selector(2, 0)}));
  sim.AddWaveIn(id);
  sim.AddWaveIn(noVolume);
  sim.SetValues(id, kSelectorId, {0, 1, 0, 1});
  sim.SetValues(noVolume, kSelectorId, {0, 1, 0, 1});

  CVolumeInXXX volume(0, sim);
  volume.SelectInput();
  EXPECT_EQ(sim.GetValues(id, kSelectorId), (std::vector<DWORD>{1, 0, 1, 0}));

  CVolumeInXXX without(1, sim);
  without.SelectInput();
  EXPECT_EQ(sim.GetWriteCount(noVolume, kSelectorId), 0);
}

TEST_F(VolumeTest, ZeroChannelLineGivesNoValueInsteadOfReadingPastIt) {
  UINT id = sim.AddMixer(Recording({Source(0, {VolumeControl(kVolumeId)}, 0)}));
  sim.AddWaveIn(id);
  CVolumeInXXX volume(0, sim);
  ASSERT_TRUE(volume.IsAvailable());
  EXPECT_EQ(volume.GetVolume(), kVolumeAbsent);
  volume.SetVolume(kMinimum);
  EXPECT_EQ(sim.GetWriteCount(id, kVolumeId), 0);
}

}  // namespace
