#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/xpath.h>
#include <png.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>

#include "DemoCourse.h"
#include "TempDir.h"
#include "tools/SwfReader.h"

namespace fs = std::filesystem;
using swftest::Bytes;

namespace {

Bytes ReadBytes(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

class DemoCourse : public ::testing::Test {
 protected:
  CTempDir m_tmp;
  fs::path m_root = fs::path(m_tmp.Path()) / "course";
};

// Strings pushed by the frame actions and by each button's release actions.
struct BootCode {
  std::vector<std::string> frame;
  std::vector<std::vector<std::string>> buttons;
};

BootCode ReadBootCode(const Bytes& file) {
  BootCode code;
  for (const auto& tag : swftest::ParseMovie(file).tags) {
    if (tag.code == 12) code.frame = swftest::AllPushedStrings(swftest::ParseActions(tag.body));
    if (tag.code == 34) {
      const size_t cond = 3 + swftest::U16(tag.body, 3);
      code.buttons.push_back(swftest::AllPushedStrings(swftest::ParseActions(tag.body, cond + 4)));
    }
  }
  return code;
}

bool Has(const std::vector<std::string>& v, const std::string& s) {
  return std::find(v.begin(), v.end(), s) != v.end();
}

}  // namespace

TEST_F(DemoCourse, WritesTheCourseAndTheBootMovieSendsEveryCommand) {
  const auto files = demo::WriteDemoCourse(m_root.string(), "v7");
  for (const char* f :
       {"qzboot.swf", "tovan.xml", "INDEX.HTML", "course/unit1/lesson1.swf", "course/unit1/picture.png"}) {
    EXPECT_TRUE(std::find(files.begin(), files.end(), f) != files.end()) << f;
    EXPECT_GT(fs::file_size(m_root / f), 0u) << f;
  }
  const auto code = ReadBootCode(ReadBytes(m_root / "qzboot.swf"));

  // Queries at start, the callback, and the module's files with the version query.
  for (const char* s : {"getWelcome", "getClient", "getOSVersion", "test_wave", "run_recognize", "UPOK", "addCallback",
                        "/course/unit1/lesson1.swf?v7", "/course/unit1/picture.png?v7", "/course/unit1/sound.mp3?v7",
                        "SharedObject", "getLocal", "progress", "visits", "flush"})
    EXPECT_TRUE(Has(code.frame, s)) << s;

  // One button per command; each sends exactly its own command through ExternalInterface.call.
  const std::vector<std::string> commands{"RecStart",   "RecStop",        "PlayLuYin",  "RecUpload",
                                          "getWinSize", "LocalFileClear", "CloseWinExe"};
  for (const auto& command : commands) {
    int buttons = 0;
    for (const auto& b : code.buttons) {
      if (!Has(b, command)) continue;
      ++buttons;
      EXPECT_TRUE(Has(b, "ExternalInterface") && Has(b, "call")) << command;
      for (const auto& other : commands) {
        if (other != command) {
          EXPECT_FALSE(Has(b, other)) << command << " button also sends " << other;
        }
      }
    }
    EXPECT_EQ(buttons, 1) << command;
  }
  // The upload passes the three input fields as one array.
  for (const auto& b : code.buttons) {
    if (!Has(b, "RecUpload")) continue;
    for (const char* field : {"uid", "tid", "english"}) EXPECT_TRUE(Has(b, field)) << field;
  }

  const auto lesson = swftest::ParseMovie(ReadBytes(m_root / "course/unit1/lesson1.swf"));
  EXPECT_EQ(lesson.version, 8);
  EXPECT_EQ(lesson.tags.front().code, 69);
}

TEST_F(DemoCourse, ManifestListsEveryModuleDirectoryWithTheVersion) {
  demo::WriteDemoCourse(m_root.string(), "v2");
  std::unique_ptr<xmlDoc, decltype(&xmlFreeDoc)> doc(
      xmlReadFile((m_root / "tovan.xml").c_str(), nullptr, XML_PARSE_NONET), xmlFreeDoc);
  ASSERT_TRUE(doc);
  std::unique_ptr<xmlXPathContext, decltype(&xmlXPathFreeContext)> ctx(xmlXPathNewContext(doc.get()),
                                                                       xmlXPathFreeContext);
  std::unique_ptr<xmlXPathObject, decltype(&xmlXPathFreeObject)> found(
      xmlXPathEvalExpression(BAD_CAST "//config/DelMod", ctx.get()), xmlXPathFreeObject);
  ASSERT_TRUE(found && found->nodesetval && found->nodesetval->nodeNr == 1);
  std::vector<std::string> modules;
  for (xmlNode* c = found->nodesetval->nodeTab[0]->children; c; c = c->next) {
    if (c->type != XML_ELEMENT_NODE) continue;
    modules.emplace_back(reinterpret_cast<const char*>(c->name));
    std::unique_ptr<xmlChar, decltype(xmlFree)> text(xmlNodeGetContent(c), xmlFree);
    EXPECT_STREQ(reinterpret_cast<const char*>(text.get()), "v2");
  }
  // Every top-level directory of the site is a module, and nothing else is.
  std::vector<std::string> dirs;
  for (const auto& e : fs::directory_iterator(m_root))
    if (e.is_directory()) dirs.push_back(e.path().filename().string());
  std::sort(dirs.begin(), dirs.end());
  std::sort(modules.begin(), modules.end());
  EXPECT_EQ(modules, dirs);
}

TEST_F(DemoCourse, PictureDecodesAsPng) {
  demo::WriteDemoCourse(m_root.string(), "v1");
  const Bytes png = ReadBytes(m_root / "course/unit1/picture.png");
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  ASSERT_TRUE(png_image_begin_read_from_memory(&image, png.data(), png.size())) << image.message;
  EXPECT_EQ(image.width, 160u);
  EXPECT_EQ(image.height, 120u);
  image.format = PNG_FORMAT_RGB;
  Bytes pixels(PNG_IMAGE_SIZE(image));
  ASSERT_TRUE(png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr)) << image.message;
  auto at = [&](int x, int y) {
    return Bytes(pixels.begin() + (y * 160 + x) * 3, pixels.begin() + (y * 160 + x) * 3 + 3);
  };
  EXPECT_EQ(at(0, 0), (Bytes{0xDD, 0xEE, 0xFF})) << "sky";
  EXPECT_EQ(at(30, 34), (Bytes{0xD0, 0x20, 0x20})) << "first red apple";
  EXPECT_EQ(at(22, 86), (Bytes{0x30, 0xA0, 0x30})) << "first green apple";
}

TEST_F(DemoCourse, RefusesAVersionThatCannotGoIntoAQuery) {
  for (const char* bad : {"", "v 1", "v1&x=2", "<v1>", "v1?"}) {
    EXPECT_THROW(demo::WriteDemoCourse(m_root.string(), bad), std::runtime_error) << bad;
  }
  EXPECT_FALSE(fs::exists(m_root / "qzboot.swf"));
}
