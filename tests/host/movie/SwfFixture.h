#pragma once
// Hand-assembled AVM1 movies for the movie host's tests: an uncompressed
// SWF 8 with one frame whose DoAction runs the script built here.
#include <cstdint>
#include <string>
#include <vector>

namespace testing_support {

// One value of an AVM1 Push.
struct AvmValue {
  enum Kind : uint8_t { String = 0, Null = 2, Undefined = 3, Boolean = 5, Integer = 7 };
  Kind kind;
  std::string text;
  int32_t number = 0;

  AvmValue(const char* s) : kind(String), text(s) {}
  AvmValue(std::string s) : kind(String), text(std::move(s)) {}
  AvmValue(int32_t n) : kind(Integer), number(n) {}
  AvmValue(bool b) : kind(Boolean), number(b ? 1 : 0) {}
  static AvmValue MakeNull() { return AvmValue(Null); }

 private:
  explicit AvmValue(Kind k) : kind(k) {}
};

class CAvm1Script {
 public:
  enum Op : uint8_t {
    kEnd = 0x00,
    kPop = 0x17,
    kGetVariable = 0x1C,
    kSetVariable = 0x1D,
    kTrace = 0x26,
    kNewObject = 0x40,
    kTypeOf = 0x44,
    kReturn = 0x3E,
    kInitArray = 0x42,
    kInitObject = 0x43,
    kAdd2 = 0x47,
    kGetMember = 0x4E,
    kSetMember = 0x4F,
    kCallMethod = 0x52,
    kGetUrl = 0x83,
    kPush = 0x96,
    kGetUrl2 = 0x9A,
    kDefineFunction = 0x9B,
  };

  CAvm1Script& Push(const std::vector<AvmValue>& values) {
    std::string data;
    for (const auto& v : values) {
      data += static_cast<char>(v.kind);
      if (v.kind == AvmValue::String) data += v.text + '\0';
      if (v.kind == AvmValue::Boolean) data += static_cast<char>(v.number);
      if (v.kind == AvmValue::Integer) AppendU32(data, static_cast<uint32_t>(v.number));
    }
    return Record(kPush, data);
  }
  CAvm1Script& Do(Op op) {
    m_code += static_cast<char>(op);
    return *this;
  }
  // flash.external.ExternalInterface onto the stack.
  CAvm1Script& ExternalInterface() {
    Push({"flash"}).Do(kGetVariable).Push({"external"}).Do(kGetMember);
    return Push({"ExternalInterface"}).Do(kGetMember);
  }
  // The arguments must already be on the stack, last one pushed first.
  CAvm1Script& CallExternalInterface(const std::string& method, int32_t argCount) {
    Push({argCount}).ExternalInterface().Push({method.c_str()});
    return Do(kCallMethod);
  }
  CAvm1Script& FSCommand(const std::string& command, const std::string& args) {
    return GetUrl("FSCommand:" + command, args);
  }
  // getURL(url, target)
  CAvm1Script& GetUrl(const std::string& url, const std::string& target) {
    return Record(kGetUrl, url + '\0' + target + '\0');
  }
  // getURL(url, target) with the URL and then the target pushed.
  CAvm1Script& GetUrlFromStack() { return Record(kGetUrl2, std::string(1, '\0')); }
  // loadVariablesNum(url, 0) with the URL on the stack.
  CAvm1Script& LoadVariablesNum() { return Push({"_level0"}).Record(kGetUrl2, std::string(1, '\x80')); }
  // An anonymous function with the given parameters, left on the stack.
  CAvm1Script& DefineFunction(const std::vector<std::string>& params, const CAvm1Script& body) {
    std::string data(1, '\0');
    AppendU16(data, static_cast<uint16_t>(params.size()));
    for (const auto& p : params) data += p + '\0';
    AppendU16(data, static_cast<uint16_t>(body.m_code.size()));
    Record(kDefineFunction, data);
    m_code += body.m_code;
    return *this;
  }
  const std::string& Code() const { return m_code; }

  static void AppendU16(std::string& out, uint16_t v) {
    out += static_cast<char>(v & 0xFF);
    out += static_cast<char>(v >> 8);
  }
  static void AppendU32(std::string& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
  }

 private:
  CAvm1Script& Record(Op op, const std::string& data) {
    m_code += static_cast<char>(op);
    AppendU16(m_code, static_cast<uint16_t>(data.size()));
    m_code += data;
    return *this;
  }
  std::string m_code;
};

// FWS, version 8, width x height pixels, one frame running script.
inline std::string BuildSwf(const CAvm1Script& script, int width = 400, int height = 300) {
  auto tag = [](int code, const std::string& body) {
    std::string out;
    if (body.size() < 0x3F) {
      CAvm1Script::AppendU16(out, static_cast<uint16_t>((code << 6) | body.size()));
    } else {
      CAvm1Script::AppendU16(out, static_cast<uint16_t>((code << 6) | 0x3F));
      CAvm1Script::AppendU32(out, static_cast<uint32_t>(body.size()));
    }
    return out + body;
  };
  // RECT: 5-bit field size, then xmin, xmax, ymin, ymax in twips.
  const int bits = 16;
  const uint32_t fields[4] = {0, static_cast<uint32_t>(width * 20), 0, static_cast<uint32_t>(height * 20)};
  std::vector<bool> stream;
  for (int i = 4; i >= 0; --i) stream.push_back((bits >> i) & 1);
  for (uint32_t f : fields)
    for (int i = bits - 1; i >= 0; --i) stream.push_back((f >> i) & 1);
  std::string rect((stream.size() + 7) / 8, '\0');
  for (std::size_t i = 0; i < stream.size(); ++i)
    if (stream[i]) rect[i / 8] = static_cast<char>(rect[i / 8] | (0x80 >> (i % 8)));

  std::string body = rect;
  CAvm1Script::AppendU16(body, 12 << 8);  // 12 frames per second, 8.8 fixed point
  CAvm1Script::AppendU16(body, 1);        // one frame
  std::string fileAttributes;
  CAvm1Script::AppendU32(fileAttributes, 1);  // network access
  body += tag(69, fileAttributes);
  body += tag(9, std::string("\xFF\xFF\xFF", 3));  // white background
  body += tag(12, script.Code() + '\0');
  body += tag(1, "");
  body += tag(0, "");

  std::string swf = "FWS";
  swf += static_cast<char>(8);
  CAvm1Script::AppendU32(swf, static_cast<uint32_t>(8 + body.size()));
  return swf + body;
}

}  // namespace testing_support
