#pragma once
// Decodes an MP3 file whole with libmpg123, for checking what the encoder wrote.
#include <gtest/gtest.h>
#include <mpg123.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct Mpg123Closer {
  void operator()(mpg123_handle* mh) const {
    mpg123_close(mh);
    mpg123_delete(mh);
  }
};

struct Decoded {
  long rate = 0;
  int channels = 0;
  mpg123_frameinfo2 frame{};
  std::vector<std::int16_t> samples;
};

inline Decoded Decode(const std::string& path) {
  Decoded out;
  int err = MPG123_OK;
  std::unique_ptr<mpg123_handle, Mpg123Closer> mh(mpg123_new(nullptr, &err));
  if (!mh) {
    ADD_FAILURE() << mpg123_plain_strerror(err);
    return out;
  }
  mpg123_param2(mh.get(), MPG123_ADD_FLAGS, MPG123_QUIET, 0.0);
  EXPECT_EQ(mpg123_open(mh.get(), path.c_str()), MPG123_OK) << mpg123_strerror(mh.get());
  int encoding = 0;
  EXPECT_EQ(mpg123_getformat(mh.get(), &out.rate, &out.channels, &encoding), MPG123_OK);
  EXPECT_EQ(encoding, MPG123_ENC_SIGNED_16);
  EXPECT_EQ(mpg123_info2(mh.get(), &out.frame), MPG123_OK);
  std::vector<unsigned char> buf(16384);
  for (;;) {
    size_t done = 0;
    err = mpg123_read(mh.get(), buf.data(), buf.size(), &done);
    const auto* s = reinterpret_cast<const std::int16_t*>(buf.data());
    out.samples.insert(out.samples.end(), s, s + done / 2);
    if (err == MPG123_DONE) break;
    if (err != MPG123_OK && err != MPG123_NEW_FORMAT) {
      ADD_FAILURE() << "decode: " << mpg123_strerror(mh.get());
      break;
    }
  }
  return out;
}
