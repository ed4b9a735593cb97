#include "ActionBuilder.h"

#include <cstring>
#include <limits>
#include <stdexcept>

namespace swf {
namespace {

// Push value types of the file format.
enum PushType : uint8_t {
  kPushString = 0,
  kPushNull = 2,
  kPushUndefined = 3,
  kPushRegister = 4,
  kPushBoolean = 5,
  kPushDouble = 6,
  kPushInteger = 7,
};

void WriteValue(CByteWriter& out, const CActionValue& value) {
  std::visit(
      [&out](const auto& v) {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::string>) {
          out.U8(kPushString);
          out.String(v);
        } else if constexpr (std::is_same_v<T, int32_t>) {
          out.U8(kPushInteger);
          out.U32(static_cast<uint32_t>(v));
        } else if constexpr (std::is_same_v<T, double>) {
          // The two 32-bit halves are stored high half first.
          uint64_t bits;
          std::memcpy(&bits, &v, sizeof bits);
          out.U8(kPushDouble);
          out.U32(static_cast<uint32_t>(bits >> 32));
          out.U32(static_cast<uint32_t>(bits));
        } else if constexpr (std::is_same_v<T, bool>) {
          out.U8(kPushBoolean);
          out.U8(v ? 1 : 0);
        } else if constexpr (std::is_same_v<T, std::nullptr_t>) {
          out.U8(kPushNull);
        } else if constexpr (std::is_same_v<T, Undefined>) {
          out.U8(kPushUndefined);
        } else {
          out.U8(kPushRegister);
          out.U8(v.index);
        }
      },
      value);
}

// An action of code 0x80 or above carries a 16-bit payload length.
void WriteRecord(CByteWriter& out, uint8_t code, const swf::Bytes& payload) {
  if (payload.size() > std::numeric_limits<uint16_t>::max()) throw std::length_error("action payload too long");
  out.U8(code);
  out.U16(static_cast<uint16_t>(payload.size()));
  out.Append(payload);
}

std::vector<std::string> SplitPath(const std::string& path) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t dot = path.find('.', start);
    parts.push_back(path.substr(start, dot - start));
    if (dot == std::string::npos) return parts;
    start = dot + 1;
  }
}

}  // namespace

CActionBuilder& CActionBuilder::Op(Code code) {
  if (code >= 0x80) throw std::invalid_argument("action with payload needs its own method");
  m_code.U8(code);
  return *this;
}

CActionBuilder& CActionBuilder::Push(std::initializer_list<CActionValue> values) {
  return Push(std::vector<CActionValue>(values));
}

CActionBuilder& CActionBuilder::Push(const std::vector<CActionValue>& values) {
  CByteWriter payload;
  for (const auto& v : values) WriteValue(payload, v);
  WriteRecord(m_code, kPush, payload.Data());
  return *this;
}

CActionBuilder& CActionBuilder::Branch(Code code, const std::string& label) {
  m_code.U8(code);
  m_code.U16(2);
  m_fixups.push_back({m_code.Size(), m_code.Size() + 2, label});
  m_code.U16(0);
  return *this;
}

CActionBuilder& CActionBuilder::If(const std::string& label) { return Branch(kIf, label); }
CActionBuilder& CActionBuilder::Jump(const std::string& label) { return Branch(kJump, label); }

CActionBuilder& CActionBuilder::Label(const std::string& label) {
  if (!m_labels.emplace(label, m_code.Size()).second) throw std::invalid_argument("label placed twice: " + label);
  return *this;
}

CActionBuilder& CActionBuilder::GetUrl2(uint8_t flags) {
  WriteRecord(m_code, kGetUrl2, {flags});
  return *this;
}

CActionBuilder& CActionBuilder::DefineFunction(const std::string& name, const std::vector<std::string>& params,
                                               const CActionBuilder& body) {
  const swf::Bytes code = body.Assemble();
  if (code.size() > std::numeric_limits<uint16_t>::max()) throw std::length_error("function body too long");
  CByteWriter payload;
  payload.String(name);
  payload.U16(static_cast<uint16_t>(params.size()));
  for (const auto& p : params) payload.String(p);
  payload.U16(static_cast<uint16_t>(code.size()));
  WriteRecord(m_code, kDefineFunction, payload.Data());
  m_code.Append(code);
  return *this;
}

CActionBuilder& CActionBuilder::Append(const CActionBuilder& other) {
  m_code.Append(other.Assemble());
  return *this;
}

CActionBuilder& CActionBuilder::PushPath(const std::string& path) {
  const auto parts = SplitPath(path);
  Push({parts[0]}).GetVariable();
  for (size_t i = 1; i < parts.size(); ++i) Push({parts[i]}).GetMember();
  return *this;
}

CActionBuilder& CActionBuilder::CallMethodOn(const std::string& objectPath, const std::string& method,
                                             const std::vector<CActionValue>& args) {
  // Arguments go on the stack last one first.
  if (!args.empty()) Push(std::vector<CActionValue>(args.rbegin(), args.rend()));
  return CallPushed(objectPath, method, static_cast<int32_t>(args.size()));
}

CActionBuilder& CActionBuilder::CallPushed(const std::string& objectPath, const std::string& method, int32_t argCount) {
  Push({argCount});
  PushPath(objectPath);
  return Push({method}).CallMethod();
}

CActionBuilder& CActionBuilder::ExternalCall(const std::string& name, const std::vector<CActionValue>& args) {
  std::vector<CActionValue> all{name};
  all.insert(all.end(), args.begin(), args.end());
  return CallMethodOn("flash.external.ExternalInterface", "call", all);
}

CActionBuilder& CActionBuilder::SetMemberTo(const std::string& objectPath, const std::string& member,
                                            const CActionValue& value) {
  PushPath(objectPath);
  return Push({member, value}).SetMember();
}

swf::Bytes CActionBuilder::Assemble() const {
  swf::Bytes code = m_code.Data();
  for (const auto& f : m_fixups) {
    auto it = m_labels.find(f.label);
    if (it == m_labels.end()) throw std::invalid_argument("branch to unknown label: " + f.label);
    const long offset = static_cast<long>(it->second) - static_cast<long>(f.nextPos);
    if (offset < std::numeric_limits<int16_t>::min() || offset > std::numeric_limits<int16_t>::max())
      throw std::length_error("branch too far: " + f.label);
    const auto v = static_cast<uint16_t>(static_cast<int16_t>(offset));
    code[f.offsetPos] = static_cast<uint8_t>(v);
    code[f.offsetPos + 1] = static_cast<uint8_t>(v >> 8);
  }
  return code;
}

}  // namespace swf
