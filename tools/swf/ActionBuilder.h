#pragma once
// AVM1 action assembler: one method per action, labels for If/Jump, nested
// builders for function bodies, and a few helpers for the calls the course
// movies make (ExternalInterface, MovieClip and Sound methods).
#include <cstdint>
#include <map>
#include <string>
#include <variant>
#include <vector>

#include "ByteWriter.h"

namespace swf {

struct Undefined {};
struct Register {
  uint8_t index;
};
// One value of a Push: string, number (integer or double), boolean, null,
// undefined or register.
using CActionValue = std::variant<std::string, int32_t, double, bool, std::nullptr_t, Undefined, Register>;

class CActionBuilder {
 public:
  // Action codes used by the course movies.
  enum Code : uint8_t {
    kEnd = 0x00,
    kStop = 0x07,
    kNot = 0x12,
    kPop = 0x17,
    kGetVariable = 0x1C,
    kSetVariable = 0x1D,
    kTrace = 0x26,
    kCallFunction = 0x3D,
    kReturn = 0x3E,
    kNewObject = 0x40,
    kDefineLocal = 0x3C,
    kInitArray = 0x42,
    kInitObject = 0x43,
    kTypeOf = 0x44,
    kAdd2 = 0x47,
    kEquals2 = 0x49,
    kGetMember = 0x4E,
    kSetMember = 0x4F,
    kCallMethod = 0x52,
    kPush = 0x96,
    kJump = 0x99,
    kGetUrl2 = 0x9A,
    kDefineFunction = 0x9B,
    kIf = 0x9D,
  };

  // Single-byte actions.
  CActionBuilder& Op(Code code);
  CActionBuilder& Push(std::initializer_list<CActionValue> values);
  CActionBuilder& Push(const std::vector<CActionValue>& values);
  CActionBuilder& GetVariable() { return Op(kGetVariable); }
  CActionBuilder& SetVariable() { return Op(kSetVariable); }
  CActionBuilder& GetMember() { return Op(kGetMember); }
  CActionBuilder& SetMember() { return Op(kSetMember); }
  CActionBuilder& CallMethod() { return Op(kCallMethod); }
  CActionBuilder& CallFunction() { return Op(kCallFunction); }
  CActionBuilder& NewObject() { return Op(kNewObject); }
  CActionBuilder& InitArray() { return Op(kInitArray); }
  CActionBuilder& InitObject() { return Op(kInitObject); }
  CActionBuilder& Add2() { return Op(kAdd2); }
  CActionBuilder& Equals2() { return Op(kEquals2); }
  CActionBuilder& Not() { return Op(kNot); }
  CActionBuilder& Pop() { return Op(kPop); }
  CActionBuilder& Return() { return Op(kReturn); }
  CActionBuilder& Stop() { return Op(kStop); }

  // Branches to a label placed before or after; offsets are resolved by Assemble().
  CActionBuilder& If(const std::string& label);
  CActionBuilder& Jump(const std::string& label);
  CActionBuilder& Label(const std::string& label);

  // GetURL2: pops target and URL. Flags as in the file format
  // (0x40: the target is a movie clip path, as loadMovie compiles to).
  CActionBuilder& GetUrl2(uint8_t flags);

  // DefineFunction: an empty name leaves the function on the stack.
  CActionBuilder& DefineFunction(const std::string& name, const std::vector<std::string>& params,
                                 const CActionBuilder& body);

  // Appends another builder's code (its labels must be resolved there).
  CActionBuilder& Append(const CActionBuilder& other);

  // --- Helpers for common statement shapes --------------------------------
  // Leaves the value at a dotted path ("flash.external.ExternalInterface",
  // "_root.snd") on the stack.
  CActionBuilder& PushPath(const std::string& path);
  // obj.method(...) whose argCount arguments are already on the stack, last
  // one first; leaves the result.
  CActionBuilder& CallPushed(const std::string& objectPath, const std::string& method, int32_t argCount);
  // obj.method(args...) with obj given as a dotted path; leaves the result.
  CActionBuilder& CallMethodOn(const std::string& objectPath, const std::string& method,
                               const std::vector<CActionValue>& args);
  // ExternalInterface.call(name, args...); leaves the result on the stack.
  CActionBuilder& ExternalCall(const std::string& name, const std::vector<CActionValue>& args);
  // _root-relative assignment of a constant: objectPath.member = value.
  CActionBuilder& SetMemberTo(const std::string& objectPath, const std::string& member, const CActionValue& value);

  // The assembled actions without the terminating End action (DoAction and
  // button conditions add it).
  swf::Bytes Assemble() const;

 private:
  struct Fixup {
    size_t offsetPos;  // where the S16 offset goes
    size_t nextPos;    // offset is relative to the action after the branch
    std::string label;
  };
  CActionBuilder& Branch(Code code, const std::string& label);

  CByteWriter m_code;
  std::map<std::string, size_t> m_labels;
  std::vector<Fixup> m_fixups;
};

}  // namespace swf
