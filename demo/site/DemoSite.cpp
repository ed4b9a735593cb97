#include "DemoSite.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <stdexcept>

#include "support/Text.h"

namespace demosite {
namespace fs = std::filesystem;
namespace {

// The shell's upload paths; the second one is for English recordings.
constexpr char kUploadPath[] = "/Upfile.ashx";
constexpr char kUploadPathEnglish[] = "/Upfile_en.ashx";
// The form fields the shell sends.
constexpr char kUidField[] = "uid";
constexpr char kTidField[] = "tid";
constexpr char kBindAddress[] = "127.0.0.1";
// A recording at 64 kbit/s is far below this.
constexpr size_t kMaxUploadBytes = 64u << 20;
constexpr char kReplacement[] = "\xEF\xBF\xBD";

// Length of the UTF-8 sequence starting at s[i], or 0 when it is not valid.
size_t Utf8Length(const std::string& s, size_t i) {
  const auto c = static_cast<unsigned char>(s[i]);
  size_t n;
  uint32_t cp;
  if (c < 0x80) return 1;
  if ((c & 0xE0) == 0xC0)
    n = 2, cp = c & 0x1F;
  else if ((c & 0xF0) == 0xE0)
    n = 3, cp = c & 0x0F;
  else if ((c & 0xF8) == 0xF0)
    n = 4, cp = c & 0x07;
  else
    return 0;
  if (i + n > s.size()) return 0;
  for (size_t k = 1; k < n; ++k) {
    const auto t = static_cast<unsigned char>(s[i + k]);
    if ((t & 0xC0) != 0x80) return 0;
    cp = cp << 6 | (t & 0x3F);
  }
  // Overlong forms, surrogates and values beyond Unicode are not text.
  static constexpr uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kMin[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return n;
}

template <typename Escape>
std::string Transcribe(const std::string& bytes, Escape escape) {
  std::string out;
  for (size_t i = 0; i < bytes.size();) {
    const size_t n = Utf8Length(bytes, i);
    if (n == 0) {
      out += kReplacement;
      ++i;
    } else if (n == 1) {
      escape(out, bytes[i]);
      ++i;
    } else {
      out.append(bytes, i, n);
      i += n;
    }
  }
  return out;
}

std::optional<std::string> ReadFile(const fs::path& path) { return support::ReadWholeFile(path.string()); }

void PlainReply(httplib::Response& res, int status, const std::string& text) {
  res.status = status;
  res.set_content(text + "\n", "text/plain; charset=utf-8");
}

}  // namespace

std::string JsonString(const std::string& bytes) {
  return "\"" +
         Transcribe(bytes,
                    [](std::string& out, char c) {
                      switch (c) {
                        case '"':
                          out += "\\\"";
                          break;
                        case '\\':
                          out += "\\\\";
                          break;
                        case '\n':
                          out += "\\n";
                          break;
                        case '\r':
                          out += "\\r";
                          break;
                        case '\t':
                          out += "\\t";
                          break;
                        default:
                          if (static_cast<unsigned char>(c) < 0x20) {
                            char hex[8];
                            std::snprintf(hex, sizeof hex, "\\u%04x", c);
                            out += hex;
                          } else {
                            out += c;
                          }
                      }
                    }) +
         "\"";
}

std::string HtmlText(const std::string& bytes) {
  return Transcribe(bytes, [](std::string& out, char c) {
    switch (c) {
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '&':
        out += "&amp;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  });
}

CDemoSite::CDemoSite(const CDemoSiteOptions& options) : m_options(options), m_store(options.strStore) {
  if (!fs::is_directory(m_options.strRoot)) throw std::runtime_error("not a directory: " + m_options.strRoot);
  // The course files, manifest included; the query ("?v1") only tells the
  // shell's cache which version it holds.
  if (!m_server.set_mount_point("/", m_options.strRoot)) throw std::runtime_error("cannot serve " + m_options.strRoot);
  m_server.set_payload_max_length(kMaxUploadBytes);
  m_server.Get("/lame_enc.dll", [this](const httplib::Request&, httplib::Response& res) { HandleEncoder(res); });
  m_server.Get("/lame_enc.so", [this](const httplib::Request&, httplib::Response& res) { HandleEncoder(res); });
  m_server.Post(kUploadPath,
                [this](const httplib::Request& req, httplib::Response& res) { HandleUpload(req, res, false); });
  m_server.Post(kUploadPathEnglish,
                [this](const httplib::Request& req, httplib::Response& res) { HandleUpload(req, res, true); });
  m_server.Get("/uploads", [this](const httplib::Request&, httplib::Response& res) { HandleList(res); });
  m_server.Get("/uploads.json", [this](const httplib::Request&, httplib::Response& res) { HandleListJson(res); });
  m_server.Get(R"(/uploads/(\d{1,9})/file)",
               [this](const httplib::Request& req, httplib::Response& res) { HandleRecording(req, res); });
}

int CDemoSite::Bind(int port) {
  if (port == 0) return m_server.bind_to_any_port(kBindAddress);
  return m_server.bind_to_port(kBindAddress, port) ? port : -1;
}

bool CDemoSite::Listen() { return m_server.listen_after_bind(); }

void CDemoSite::Stop() { m_server.stop(); }

void CDemoSite::HandleEncoder(httplib::Response& res) const {
  const auto bytes = m_options.strEncoder.empty() ? std::nullopt : ReadFile(m_options.strEncoder);
  if (!bytes) return PlainReply(res, 404, "the encoder library has not been built");
  res.set_content(*bytes, "application/octet-stream");
}

void CDemoSite::HandleUpload(const httplib::Request& req, httplib::Response& res, bool english) {
  if (!req.is_multipart_form_data()) return PlainReply(res, 400, "expected multipart/form-data");
  auto field = [&req](const char* name) { return req.has_file(name) ? req.get_file_value(name).content : ""; };
  const std::string uid = field(kUidField), tid = field(kTidField);
  // The recording is the part that names a file.
  const httplib::MultipartFormData* file = nullptr;
  for (const auto& [name, part] : req.files)
    if (!part.filename.empty()) file = &part;
  try {
    const CUploadRecord r =
        m_store.Add(req.path, english, uid, tid, file ? file->filename : "", file ? file->content : "");
    std::cout << "demosite: upload " << r.nId << " on " << r.strEndpoint << " uid=" << JsonString(uid)
              << " tid=" << JsonString(tid) << " file=" << JsonString(r.strFileName) << " (" << r.nFileBytes
              << " bytes)" << std::endl;
    PlainReply(res, 200, "OK");
  } catch (const std::exception& e) {
    std::cerr << "demosite: cannot store upload: " << e.what() << std::endl;
    PlainReply(res, 500, "cannot store the upload");
  }
}

void CDemoSite::HandleListJson(httplib::Response& res) const {
  std::ostringstream out;
  out << "[";
  bool first = true;
  for (const auto& r : m_store.List()) {
    out << (first ? "\n" : ",\n") << "  {\"id\": " << r.nId << ", \"endpoint\": " << JsonString(r.strEndpoint)
        << ", \"english\": " << (r.bEnglish ? "true" : "false") << ", \"uid\": " << JsonString(r.strUid)
        << ", \"tid\": " << JsonString(r.strTid) << ", \"file\": " << JsonString(r.strFileName)
        << ", \"bytes\": " << r.nFileBytes << ", \"received\": " << JsonString(r.strReceived)
        << ", \"url\": " << (r.strFileName.empty() ? "null" : JsonString("/uploads/" + std::to_string(r.nId) + "/file"))
        << "}";
    first = false;
  }
  out << (first ? "]\n" : "\n]\n");
  res.set_content(out.str(), "application/json");
}

void CDemoSite::HandleList(httplib::Response& res) const {
  std::ostringstream out;
  const auto records = m_store.List();
  out << "<!DOCTYPE html>\n<html lang=\"zh-CN\"><head><meta charset=\"utf-8\"><title>收到的录音</title></head><body>\n"
      << "<h1>收到的录音（" << records.size() << "）</h1>\n"
      << "<table border=\"1\" cellpadding=\"4\">\n"
      << "<tr><th>#</th><th>时间 (UTC)</th><th>路径</th><th>uid</th><th>tid</th><th>文件</th><th>字节</th></tr>\n";
  for (const auto& r : records) {
    out << "<tr><td>" << r.nId << "</td><td>" << HtmlText(r.strReceived) << "</td><td>" << HtmlText(r.strEndpoint)
        << "</td><td>" << HtmlText(r.strUid) << "</td><td>" << HtmlText(r.strTid) << "</td><td>";
    if (r.strFileName.empty())
      out << "（无）";
    else
      out << "<a href=\"/uploads/" << r.nId << "/file\">" << HtmlText(r.strFileName) << "</a>";
    out << "</td><td>" << r.nFileBytes << "</td></tr>\n";
  }
  out << "</table>\n<p><a href=\"/uploads.json\">uploads.json</a></p>\n</body></html>\n";
  res.set_content(out.str(), "text/html; charset=utf-8");
}

void CDemoSite::HandleRecording(const httplib::Request& req, httplib::Response& res) const {
  const auto path = m_store.FilePath(std::stoi(req.matches[1].str()));
  const auto bytes = path ? ReadFile(*path) : std::nullopt;
  if (!bytes) return PlainReply(res, 404, "no such recording");
  res.set_content(*bytes, "audio/mpeg");
}

}  // namespace demosite
