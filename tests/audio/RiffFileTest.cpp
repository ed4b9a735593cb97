// RIFF chunk access on real files: sizes fixed on ascend, odd chunks padded,
// chunk search bounded by the parent.
#include "audio/AudioTestSupport.h"
#include "audio/RiffFile.h"

using namespace audio;
using namespace audiotest;

namespace {

TEST(RiffFileTest, AnOddChunkIsPaddedAndSizesAreFixedOnAscend) {
  CScratchDir dir;
  CRiffFile file;
  ASSERT_TRUE(file.Open("odd.riff", CRiffFile::Mode::Create));
  MMCKINFO riff{}, sub{};
  riff.fccType = mmioFOURCC('T', 'E', 'S', 'T');
  ASSERT_TRUE(file.CreateChunk(riff, MMIO_CREATERIFF));
  sub.ckid = mmioFOURCC('a', 'b', 'c', 'd');
  ASSERT_TRUE(file.CreateChunk(sub, 0));
  ASSERT_EQ(file.Write("xyz", 3), 3);
  ASSERT_TRUE(file.Ascend(sub));
  ASSERT_TRUE(file.Ascend(riff));
  file.Close();

  Bytes b = ReadAll("odd.riff");
  ASSERT_EQ(b.size(), 12u + 8 + 3 + 1);
  EXPECT_EQ(Le32(b, 4), 4u + 8 + 3 + 1);
  EXPECT_EQ(Le32(b, 16), 3u);
  EXPECT_EQ(b.back(), 0);

  // Reading it back: ascending skips the pad, and the search stops at the parent's end.
  ASSERT_TRUE(file.Open("odd.riff", CRiffFile::Mode::Read));
  MMCKINFO rd{}, ck{};
  rd.fccType = mmioFOURCC('T', 'E', 'S', 'T');
  ASSERT_TRUE(file.Descend(rd, nullptr, MMIO_FINDRIFF));
  ck.ckid = mmioFOURCC('a', 'b', 'c', 'd');
  ASSERT_TRUE(file.Descend(ck, &rd, MMIO_FINDCHUNK));
  EXPECT_EQ(ck.cksize, 3u);
  ASSERT_TRUE(file.Ascend(ck));
  MMCKINFO none{};
  none.ckid = mmioFOURCC('d', 'a', 't', 'a');
  EXPECT_FALSE(file.Descend(none, &rd, MMIO_FINDCHUNK));
}

TEST(RiffFileTest, AChunkSizeBeyondTheFileEndsTheSearchInsteadOfLooping) {
  CScratchDir dir;
  Bytes b = CWavBuilder().Chunk("junk", Pattern(10)).Build();
  b[16] = 0xff, b[17] = 0xff, b[18] = 0xff, b[19] = 0x7f;  // junk claims ~2 GB
  b[4] = 0xff, b[5] = 0xff, b[6] = 0xff, b[7] = 0xff;
  WriteAll("big.wav", b);
  CRiffFile file;
  ASSERT_TRUE(file.Open("big.wav", CRiffFile::Mode::Read));
  MMCKINFO riff{}, ck{};
  riff.fccType = mmioFOURCC('W', 'A', 'V', 'E');
  ASSERT_TRUE(file.Descend(riff, nullptr, MMIO_FINDRIFF));
  ck.ckid = mmioFOURCC('f', 'm', 't', ' ');
  EXPECT_FALSE(file.Descend(ck, &riff, MMIO_FINDCHUNK));
}

}  // namespace
