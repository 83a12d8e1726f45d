// Messages: a 32-bit code and typed, named fields. Messages travel between
// loopers inside the process and, flattened, between processes through an
// application's signature socket.
#pragma once

#include <cstdint>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/status.h"

// A message code written as four characters, the first one most significant.
constexpr uint32_t FourCC(const char (&code)[5]) {
  return (static_cast<uint32_t>(static_cast<unsigned char>(code[0])) << 24) |
         (static_cast<uint32_t>(static_cast<unsigned char>(code[1])) << 16) |
         (static_cast<uint32_t>(static_cast<unsigned char>(code[2])) << 8) |
         static_cast<uint32_t>(static_cast<unsigned char>(code[3]));
}

// Codes the platform itself uses.
inline constexpr uint32_t B_QUIT_REQUESTED = FourCC("_QRQ");
inline constexpr uint32_t B_NO_REPLY = FourCC("_NRP");
inline constexpr uint32_t B_MESSAGE_NOT_UNDERSTOOD = FourCC("_NUN");

enum class FieldType : uint8_t { kString = 1, kInt8, kInt16, kInt32, kInt64, kBool, kPointer };

class ReplySlot;

class BMessage {
 public:
  explicit BMessage(uint32_t what = 0);
  ~BMessage();
  // Copies carry the fields but not the sender's wait for a reply.
  BMessage(const BMessage& other);
  BMessage& operator=(const BMessage& other);
  BMessage(BMessage&& other) noexcept;
  BMessage& operator=(BMessage&& other) noexcept;

  uint32_t what;

  status_t AddString(const char* name, std::string_view value);
  status_t AddInt8(const char* name, int8_t value);
  status_t AddInt16(const char* name, int16_t value);
  status_t AddInt32(const char* name, int32_t value);
  status_t AddInt64(const char* name, int64_t value);
  status_t AddBool(const char* name, bool value);
  // In-process only: pointer fields are not flattened.
  status_t AddPointer(const char* name, const void* value);

  // Find the index-th field of that name and type. B_NAME_NOT_FOUND when
  // there is none, B_BAD_TYPE when the name exists only with another type.
  status_t FindString(const char* name, std::string* value, int32_t index = 0) const;
  status_t FindInt8(const char* name, int8_t* value, int32_t index = 0) const;
  status_t FindInt16(const char* name, int16_t* value, int32_t index = 0) const;
  status_t FindInt32(const char* name, int32_t* value, int32_t index = 0) const;
  status_t FindInt64(const char* name, int64_t* value, int32_t index = 0) const;
  status_t FindBool(const char* name, bool* value, int32_t index = 0) const;
  status_t FindPointer(const char* name, void** value, int32_t index = 0) const;

  int32_t CountFields() const { return static_cast<int32_t>(fFields.size()); }
  void MakeEmpty() { fFields.clear(); }

  // Replies. A message whose sender waits and that is destroyed without a
  // reply answers the sender with B_NO_REPLY.
  bool IsSourceWaiting() const;
  status_t SendReply(uint32_t what);
  status_t SendReply(const BMessage& reply);

  // Flattened form: "CVM1", code, field count, then per field its type,
  // name and value; integers big-endian. Pointer fields make Flatten fail.
  status_t Flatten(std::vector<uint8_t>* out) const;
  status_t Unflatten(const uint8_t* data, size_t size);

 private:
  friend class MessagePort;

  using Value = std::variant<std::string, int8_t, int16_t, int32_t, int64_t, bool, const void*>;
  struct Field {
    std::string name;
    FieldType type;
    Value value;
  };

  template <typename T>
  status_t Find(const char* name, FieldType type, int32_t index, T* value) const;
  status_t Add(const char* name, FieldType type, Value value);

  std::vector<Field> fFields;
  std::shared_ptr<ReplySlot> fReplySlot;  // set while a sender waits for a reply
};

// Where a waiting sender receives its reply; the first reply delivered wins.
class ReplySlot {
 public:
  void Deliver(const BMessage& reply);
  // Waits up to timeoutUs (negative: no limit). B_TIMED_OUT on time-out.
  status_t Wait(BMessage* reply, int64_t timeoutUs);

 private:
  std::mutex fLock;
  std::condition_variable fDelivered;
  bool fDone = false;
  BMessage fReply;
};
