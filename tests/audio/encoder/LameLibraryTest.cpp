// The loader against the real library and against stand-ins built by the tests.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "audio/encoder/LameLibrary.h"
#include "platform/Paths.h"

namespace {

// Whether the file is still mapped into this process.
bool IsMapped(const std::string& path) {
  void* h = ::dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (h) ::dlclose(h);
  return h != nullptr;
}

struct PipeCloser {
  void operator()(std::FILE* f) const { ::pclose(f); }
};

// Runs the probe with the given environment prefix; its output and status.
std::pair<std::string, int> RunProbe(const std::string& envPrefix) {
  const std::string command = envPrefix + " " LAME_LOAD_PROBE " 2>&1";
  std::FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return {"popen failed", -1};
  std::string output;
  std::array<char, 512> buf{};
  while (std::fgets(buf.data(), buf.size(), pipe)) output += buf.data();
  const int status = ::pclose(pipe);
  if (!output.empty() && output.back() == '\n') output.pop_back();
  return {output, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

TEST(LameLibraryTest, FindsTheLibraryNextToTheExecutable) {
  CLameLibrary lib;
  ASSERT_TRUE(lib.Load()) << lib.Error();
  EXPECT_EQ(lib.Path(), platform::GetExeDir() + "/lame_enc.so");
  EXPECT_TRUE(lib.HasRequiredEntryPoints());
  EXPECT_TRUE(lib.MissingEntryPoints().empty());
  const LameEntryPoints& p = lib.EntryPoints();
  for (const void* proc :
       {reinterpret_cast<const void*>(p.beInitStream), reinterpret_cast<const void*>(p.beEncodeChunk),
        reinterpret_cast<const void*>(p.beDeinitStream), reinterpret_cast<const void*>(p.beCloseStream),
        reinterpret_cast<const void*>(p.beVersion), reinterpret_cast<const void*>(p.beWriteVBRHeader),
        reinterpret_cast<const void*>(p.beWriteInfoTag)})
    EXPECT_NE(proc, nullptr);
}

TEST(LameLibraryTest, FallsBackToTheSystemSearchPath) {
  // The probe's own directory has no library: found only through the search path.
  const std::string binDir = std::filesystem::path(LAME_ENC_PATH).parent_path().string();
  auto [found, status] = RunProbe("LD_LIBRARY_PATH=" + binDir);
  EXPECT_EQ(status, 0) << found;
  EXPECT_EQ(std::filesystem::canonical(found), std::filesystem::canonical(LAME_ENC_PATH));

  auto [error, failed] = RunProbe("LD_LIBRARY_PATH=");
  EXPECT_EQ(failed, 1);
  EXPECT_NE(error.find("lame_enc.so"), std::string::npos) << error;
}

TEST(LameLibraryTest, ReportsMissingEntryPoints) {
  {
    CLameLibrary lib;
    ASSERT_TRUE(lib.LoadFrom(STUB_WITHOUT_INFOTAG)) << lib.Error();
    // beWriteInfoTag is optional: the library is usable through beWriteVBRHeader.
    EXPECT_TRUE(lib.HasRequiredEntryPoints());
    EXPECT_EQ(lib.MissingEntryPoints(), std::vector<std::string>{"beWriteInfoTag"});
    EXPECT_EQ(lib.EntryPoints().beWriteInfoTag, nullptr);
    EXPECT_NE(lib.EntryPoints().beWriteVBRHeader, nullptr);
  }
  CLameLibrary lib;
  ASSERT_TRUE(lib.LoadFrom(STUB_WITHOUT_ENCODE)) << lib.Error();
  EXPECT_FALSE(lib.HasRequiredEntryPoints());
  EXPECT_EQ(lib.MissingEntryPoints(), std::vector<std::string>{"beEncodeChunk"});
  EXPECT_EQ(lib.EntryPoints().beEncodeChunk, nullptr);
  EXPECT_NE(lib.EntryPoints().beInitStream, nullptr);
}

TEST(LameLibraryTest, FreesTheLibraryWhenUnloadedOrDestroyed) {
  ASSERT_FALSE(IsMapped(STUB_WITHOUT_INFOTAG));
  {
    CLameLibrary lib;
    ASSERT_TRUE(lib.LoadFrom(STUB_WITHOUT_INFOTAG));
    EXPECT_TRUE(IsMapped(STUB_WITHOUT_INFOTAG));
    lib.Unload();
    EXPECT_FALSE(lib.IsLoaded());
    EXPECT_EQ(lib.EntryPoints().beInitStream, nullptr);
    EXPECT_TRUE(lib.Path().empty());
    EXPECT_FALSE(IsMapped(STUB_WITHOUT_INFOTAG));
    ASSERT_TRUE(lib.LoadFrom(STUB_WITHOUT_INFOTAG));
  }
  EXPECT_FALSE(IsMapped(STUB_WITHOUT_INFOTAG));

  // Moving hands the one handle over; it is freed once, by the last owner.
  auto first = std::make_unique<CLameLibrary>();
  ASSERT_TRUE(first->LoadFrom(STUB_WITHOUT_INFOTAG));
  CLameLibrary second(std::move(*first));
  EXPECT_FALSE(first->IsLoaded());
  EXPECT_TRUE(second.IsLoaded());
  first.reset();
  EXPECT_TRUE(IsMapped(STUB_WITHOUT_INFOTAG));
  EXPECT_NE(second.EntryPoints().beInitStream, nullptr);
  second = CLameLibrary();
  EXPECT_FALSE(IsMapped(STUB_WITHOUT_INFOTAG));

  // The real library goes as well, so no state of one recording's load
  // survives into the next.
  {
    CLameLibrary real;
    ASSERT_TRUE(real.LoadFrom(LAME_ENC_PATH));
  }
  EXPECT_FALSE(IsMapped(LAME_ENC_PATH));
}

TEST(LameLibraryTest, AFileThatIsNoLibraryIsReported) {
  CLameLibrary lib;
  EXPECT_FALSE(lib.LoadFrom("/nonexistent/lame_enc.so"));
  EXPECT_FALSE(lib.IsLoaded());
  EXPECT_NE(lib.Error().find("/nonexistent/lame_enc.so"), std::string::npos) << lib.Error();
  EXPECT_TRUE(lib.MissingEntryPoints().empty());

  // A partial download is a file of the right name but no library.
  const auto junk = std::filesystem::temp_directory_path() / ("lame_enc_junk_" + std::to_string(::getpid()) + ".so");
  {
    std::FILE* f = std::fopen(junk.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputs("<html>404</html>", f);
    std::fclose(f);
  }
  EXPECT_FALSE(lib.LoadFrom(junk.string()));
  EXPECT_FALSE(lib.Error().empty());
  std::filesystem::remove(junk);

  // A failed load leaves nothing of an earlier one behind.
  ASSERT_TRUE(lib.LoadFrom(LAME_ENC_PATH));
  EXPECT_FALSE(lib.LoadFrom("/nonexistent/lame_enc.so"));
  EXPECT_FALSE(lib.IsLoaded());
  EXPECT_EQ(lib.EntryPoints().beEncodeChunk, nullptr);
}

}  // namespace
