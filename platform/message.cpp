#include "platform/message.h"

#include <chrono>
#include <cstring>
#include <type_traits>

namespace {

constexpr char kFlatMagic[4] = {'C', 'V', 'M', '1'};

void PutBig(std::vector<uint8_t>* out, uint64_t value, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) out->push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// Bounds-checked reader for Unflatten.
class FlatReader {
 public:
  FlatReader(const uint8_t* data, size_t size) : fData(data), fSize(size) {}
  bool Get(uint64_t* value, int bytes) {
    if (fSize - fPos < static_cast<size_t>(bytes)) return false;
    uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) v = (v << 8) | fData[fPos++];
    *value = v;
    return true;
  }
  bool GetBytes(std::string* out, size_t count) {
    if (fSize - fPos < count) return false;
    out->assign(reinterpret_cast<const char*>(fData + fPos), count);
    fPos += count;
    return true;
  }
  bool AtEnd() const { return fPos == fSize; }

 private:
  const uint8_t* fData;
  size_t fSize;
  size_t fPos = 0;
};

int IntegerWidth(FieldType type) {
  switch (type) {
    case FieldType::kInt8: case FieldType::kBool: return 1;
    case FieldType::kInt16: return 2;
    case FieldType::kInt32: return 4;
    case FieldType::kInt64: return 8;
    default: return 0;
  }
}

}  // namespace

BMessage::BMessage(uint32_t code) : what(code) {}

BMessage::~BMessage() {
  if (fReplySlot) fReplySlot->Deliver(BMessage(B_NO_REPLY));
}

BMessage::BMessage(const BMessage& other) : what(other.what), fFields(other.fFields) {}

BMessage& BMessage::operator=(const BMessage& other) {
  if (this != &other) {
    what = other.what;
    fFields = other.fFields;
  }
  return *this;
}

BMessage::BMessage(BMessage&& other) noexcept
    : what(other.what), fFields(std::move(other.fFields)), fReplySlot(std::move(other.fReplySlot)) {}

BMessage& BMessage::operator=(BMessage&& other) noexcept {
  if (this != &other) {
    if (fReplySlot) fReplySlot->Deliver(BMessage(B_NO_REPLY));
    what = other.what;
    fFields = std::move(other.fFields);
    fReplySlot = std::move(other.fReplySlot);
  }
  return *this;
}

status_t BMessage::Add(const char* name, FieldType type, Value value) {
  if (name == nullptr) return B_BAD_VALUE;
  fFields.push_back(Field{name, type, std::move(value)});
  return B_OK;
}

status_t BMessage::AddString(const char* name, std::string_view value) {
  return Add(name, FieldType::kString, std::string(value));
}
status_t BMessage::AddInt8(const char* name, int8_t value) { return Add(name, FieldType::kInt8, value); }
status_t BMessage::AddInt16(const char* name, int16_t value) { return Add(name, FieldType::kInt16, value); }
status_t BMessage::AddInt32(const char* name, int32_t value) { return Add(name, FieldType::kInt32, value); }
status_t BMessage::AddInt64(const char* name, int64_t value) { return Add(name, FieldType::kInt64, value); }
status_t BMessage::AddBool(const char* name, bool value) { return Add(name, FieldType::kBool, value); }
status_t BMessage::AddPointer(const char* name, const void* value) {
  return Add(name, FieldType::kPointer, value);
}

template <typename T>
status_t BMessage::Find(const char* name, FieldType type, int32_t index, T* value) const {
  if (name == nullptr || value == nullptr || index < 0) return B_BAD_VALUE;
  bool nameSeen = false;
  int32_t seen = 0;
  for (const Field& field : fFields) {
    if (field.name != name) continue;
    nameSeen = true;
    if (field.type != type) continue;
    if (seen++ == index) {
      *value = std::get<T>(field.value);
      return B_OK;
    }
  }
  return nameSeen && seen == 0 ? B_BAD_TYPE : B_NAME_NOT_FOUND;
}

status_t BMessage::FindString(const char* name, std::string* value, int32_t index) const {
  return Find(name, FieldType::kString, index, value);
}
status_t BMessage::FindInt8(const char* name, int8_t* value, int32_t index) const {
  return Find(name, FieldType::kInt8, index, value);
}
status_t BMessage::FindInt16(const char* name, int16_t* value, int32_t index) const {
  return Find(name, FieldType::kInt16, index, value);
}
status_t BMessage::FindInt32(const char* name, int32_t* value, int32_t index) const {
  return Find(name, FieldType::kInt32, index, value);
}
status_t BMessage::FindInt64(const char* name, int64_t* value, int32_t index) const {
  return Find(name, FieldType::kInt64, index, value);
}
status_t BMessage::FindBool(const char* name, bool* value, int32_t index) const {
  return Find(name, FieldType::kBool, index, value);
}
status_t BMessage::FindPointer(const char* name, void** value, int32_t index) const {
  const void* pointer = nullptr;
  const status_t status = Find(name, FieldType::kPointer, index, &pointer);
  if (status == B_OK) *value = const_cast<void*>(pointer);
  return status;
}

bool BMessage::IsSourceWaiting() const { return fReplySlot != nullptr; }

status_t BMessage::SendReply(uint32_t code) { return SendReply(BMessage(code)); }

status_t BMessage::SendReply(const BMessage& reply) {
  if (!fReplySlot) return B_BAD_PORT_ID;
  fReplySlot->Deliver(reply);
  fReplySlot.reset();
  return B_OK;
}

status_t BMessage::Flatten(std::vector<uint8_t>* out) const {
  out->assign(kFlatMagic, kFlatMagic + 4);
  PutBig(out, what, 4);
  PutBig(out, fFields.size(), 4);
  for (const Field& field : fFields) {
    if (field.type == FieldType::kPointer || field.name.size() > 255) return B_BAD_TYPE;
    out->push_back(static_cast<uint8_t>(field.type));
    out->push_back(static_cast<uint8_t>(field.name.size()));
    out->insert(out->end(), field.name.begin(), field.name.end());
    if (field.type == FieldType::kString) {
      const std::string& text = std::get<std::string>(field.value);
      PutBig(out, text.size(), 4);
      out->insert(out->end(), text.begin(), text.end());
      continue;
    }
    const uint64_t bits = std::visit(
        [](const auto& v) -> uint64_t {
          using V = std::decay_t<decltype(v)>;
          if constexpr (std::is_integral_v<V>) return static_cast<uint64_t>(v);
          return 0;
        },
        field.value);
    PutBig(out, bits, IntegerWidth(field.type));
  }
  return B_OK;
}

status_t BMessage::Unflatten(const uint8_t* data, size_t size) {
  if (data == nullptr || size < 4 || std::memcmp(data, kFlatMagic, 4) != 0) return B_BAD_DATA;
  FlatReader reader(data + 4, size - 4);
  uint64_t code = 0;
  uint64_t count = 0;
  if (!reader.Get(&code, 4) || !reader.Get(&count, 4)) return B_BAD_DATA;
  std::vector<Field> fields;
  for (uint64_t i = 0; i < count; ++i) {
    uint64_t type = 0;
    uint64_t nameLength = 0;
    std::string name;
    if (!reader.Get(&type, 1) || !reader.Get(&nameLength, 1) || !reader.GetBytes(&name, nameLength))
      return B_BAD_DATA;
    const auto fieldType = static_cast<FieldType>(type);
    if (fieldType == FieldType::kString) {
      uint64_t length = 0;
      std::string text;
      if (!reader.Get(&length, 4) || !reader.GetBytes(&text, length)) return B_BAD_DATA;
      fields.push_back(Field{std::move(name), fieldType, std::move(text)});
      continue;
    }
    const int width = IntegerWidth(fieldType);
    uint64_t bits = 0;
    if (width == 0 || !reader.Get(&bits, width)) return B_BAD_DATA;
    Value value;
    switch (fieldType) {
      case FieldType::kInt8: value = static_cast<int8_t>(bits); break;
      case FieldType::kInt16: value = static_cast<int16_t>(bits); break;
      case FieldType::kInt32: value = static_cast<int32_t>(bits); break;
      case FieldType::kInt64: value = static_cast<int64_t>(bits); break;
      default: value = bits != 0; break;
    }
    fields.push_back(Field{std::move(name), fieldType, std::move(value)});
  }
  if (!reader.AtEnd()) return B_BAD_DATA;
  what = static_cast<uint32_t>(code);
  fFields = std::move(fields);
  return B_OK;
}

void ReplySlot::Deliver(const BMessage& reply) {
  std::lock_guard<std::mutex> guard(fLock);
  if (fDone) return;
  fReply = reply;
  fDone = true;
  fDelivered.notify_all();
}

status_t ReplySlot::Wait(BMessage* reply, int64_t timeoutUs) {
  std::unique_lock<std::mutex> guard(fLock);
  if (timeoutUs < 0) {
    fDelivered.wait(guard, [this] { return fDone; });
  } else if (!fDelivered.wait_for(guard, std::chrono::microseconds(timeoutUs), [this] { return fDone; })) {
    return B_TIMED_OUT;
  }
  if (reply != nullptr) *reply = fReply;
  return B_OK;
}
