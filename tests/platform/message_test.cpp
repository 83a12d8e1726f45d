// BMessage: typed named fields, the flattened form shared between processes,
// and the reply contract between a waiting sender and the message it sent.
#include "platform/message.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/message_port.h"

namespace {

constexpr uint32_t kCode = FourCC("test");
constexpr int64_t kGenerousUs = 30'000'000;

// A message holding every flattenable type, with extreme values and repeated
// names, so a round trip exercises widths, signs and field order.
BMessage EveryTypeMessage() {
  BMessage message(kCode);
  message.AddString("text", "volume one");
  message.AddString("text", std::string("with\0nul", 8));
  message.AddString("empty", "");
  message.AddInt8("i8", std::numeric_limits<int8_t>::min());
  message.AddInt8("i8", std::numeric_limits<int8_t>::max());
  message.AddInt16("i16", std::numeric_limits<int16_t>::min());
  message.AddInt16("i16", -2);
  message.AddInt32("i32", std::numeric_limits<int32_t>::min());
  message.AddInt32("i32", std::numeric_limits<int32_t>::max());
  message.AddInt64("i64", std::numeric_limits<int64_t>::min());
  message.AddInt64("i64", -1);
  message.AddBool("flag", true);
  message.AddBool("flag", false);
  message.AddInt32("", 42);  // an empty name is still a name
  message.AddString(std::string(255, 'n').c_str(), "longest name");
  return message;
}

TEST(MessageFields, FindsEveryTypeByNameAndIndex) {
  const BMessage message = EveryTypeMessage();
  EXPECT_EQ(message.CountFields(), 15);

  std::string text;
  ASSERT_EQ(message.FindString("text", &text), B_OK);
  EXPECT_EQ(text, "volume one");
  ASSERT_EQ(message.FindString("text", &text, 1), B_OK);
  EXPECT_EQ(text, std::string("with\0nul", 8));
  ASSERT_EQ(message.FindString("empty", &text), B_OK);
  EXPECT_EQ(text, "");

  int8_t i8 = 0;
  ASSERT_EQ(message.FindInt8("i8", &i8, 1), B_OK);
  EXPECT_EQ(i8, 127);
  int16_t i16 = 0;
  ASSERT_EQ(message.FindInt16("i16", &i16), B_OK);
  EXPECT_EQ(i16, -32768);
  int32_t i32 = 0;
  ASSERT_EQ(message.FindInt32("i32", &i32, 1), B_OK);
  EXPECT_EQ(i32, std::numeric_limits<int32_t>::max());
  ASSERT_EQ(message.FindInt32("", &i32), B_OK);
  EXPECT_EQ(i32, 42);
  int64_t i64 = 0;
  ASSERT_EQ(message.FindInt64("i64", &i64), B_OK);
  EXPECT_EQ(i64, std::numeric_limits<int64_t>::min());
  bool flag = false;
  ASSERT_EQ(message.FindBool("flag", &flag, 0), B_OK);
  EXPECT_TRUE(flag);
  ASSERT_EQ(message.FindBool("flag", &flag, 1), B_OK);
  EXPECT_FALSE(flag);

  int marker = 0;
  BMessage withPointer;
  ASSERT_EQ(withPointer.AddPointer("where", &marker), B_OK);
  void* pointer = nullptr;
  ASSERT_EQ(withPointer.FindPointer("where", &pointer), B_OK);
  EXPECT_EQ(pointer, &marker);
}

TEST(MessageFields, WrongTypeIsBadTypeAndMissingFieldIsNotFound) {
  BMessage message;
  message.AddInt32("count", 7);
  std::string text;
  int64_t wide = 0;
  int32_t value = 0;
  void* pointer = nullptr;
  EXPECT_EQ(message.FindString("count", &text), B_BAD_TYPE);
  EXPECT_EQ(message.FindInt64("count", &wide), B_BAD_TYPE);  // no widening
  EXPECT_EQ(message.FindPointer("count", &pointer), B_BAD_TYPE);
  EXPECT_EQ(message.FindInt64("count", &wide, 3), B_BAD_TYPE);
  EXPECT_EQ(message.FindInt32("other", &value), B_NAME_NOT_FOUND);
  EXPECT_EQ(message.FindInt32("Count", &value), B_NAME_NOT_FOUND);
  EXPECT_EQ(message.FindInt32("count", &value, 1), B_NAME_NOT_FOUND);
  EXPECT_EQ(message.FindInt32("count", &value, -1), B_BAD_VALUE);
  EXPECT_EQ(message.FindInt32(nullptr, &value), B_BAD_VALUE);
  EXPECT_EQ(message.AddInt32(nullptr, 1), B_BAD_VALUE);
  EXPECT_EQ(message.CountFields(), 1);
}

TEST(MessageFields, OneNameMayHoldSeveralTypes) {
  BMessage message;
  message.AddInt32("x", 1);
  message.AddString("x", "one");
  message.AddInt32("x", 2);

  int32_t value = 0;
  ASSERT_EQ(message.FindInt32("x", &value, 1), B_OK);  // index counts this type only
  EXPECT_EQ(value, 2);
  std::string text;
  ASSERT_EQ(message.FindString("x", &text), B_OK);
  EXPECT_EQ(text, "one");
  EXPECT_EQ(message.FindString("x", &text, 1), B_NAME_NOT_FOUND);
  bool flag = false;
  EXPECT_EQ(message.FindBool("x", &flag), B_BAD_TYPE);

  message.MakeEmpty();
  EXPECT_EQ(message.CountFields(), 0);
  EXPECT_EQ(message.FindInt32("x", &value), B_NAME_NOT_FOUND);
}

// The flattened form is read by other processes (the admin tool), so its
// layout is pinned: magic, code, count, then type, name length, name, value,
// integers big-endian.
TEST(MessageFlatten, LayoutIsFixed) {
  BMessage message(FourCC("abcd"));
  message.AddInt16("n", -2);
  message.AddString("s", "hi");
  message.AddBool("b", true);
  std::vector<uint8_t> flat;
  ASSERT_EQ(message.Flatten(&flat), B_OK);
  const std::vector<uint8_t> expected = {
      'C', 'V', 'M', '1', 'a', 'b', 'c', 'd', 0, 0, 0, 3,
      3, 1, 'n', 0xFF, 0xFE,
      1, 1, 's', 0, 0, 0, 2, 'h', 'i',
      6, 1, 'b', 1};
  EXPECT_EQ(flat, expected);
}

TEST(MessageFlatten, RoundTripKeepsEveryTypeAndReplacesOldFields) {
  const BMessage original = EveryTypeMessage();
  std::vector<uint8_t> flat;
  ASSERT_EQ(original.Flatten(&flat), B_OK);

  BMessage copy(FourCC("old!"));
  copy.AddString("stale", "must go");
  ASSERT_EQ(copy.Unflatten(flat.data(), flat.size()), B_OK);
  EXPECT_EQ(copy.what, kCode);
  EXPECT_EQ(copy.CountFields(), original.CountFields());
  std::string text;
  EXPECT_EQ(copy.FindString("stale", &text), B_NAME_NOT_FOUND);

  // Same bytes again means same types, names, values and order.
  std::vector<uint8_t> again;
  ASSERT_EQ(copy.Flatten(&again), B_OK);
  EXPECT_EQ(again, flat);

  // Spot checks that values, not just bytes, survived.
  ASSERT_EQ(copy.FindString("text", &text, 1), B_OK);
  EXPECT_EQ(text, std::string("with\0nul", 8));
  int8_t i8 = 0;
  ASSERT_EQ(copy.FindInt8("i8", &i8), B_OK);
  EXPECT_EQ(i8, -128);
  int16_t i16 = 0;
  ASSERT_EQ(copy.FindInt16("i16", &i16, 1), B_OK);
  EXPECT_EQ(i16, -2);
  int32_t i32 = 0;
  ASSERT_EQ(copy.FindInt32("i32", &i32), B_OK);
  EXPECT_EQ(i32, std::numeric_limits<int32_t>::min());
  int64_t i64 = 0;
  ASSERT_EQ(copy.FindInt64("i64", &i64, 1), B_OK);
  EXPECT_EQ(i64, -1);
  bool flag = true;
  ASSERT_EQ(copy.FindBool("flag", &flag, 1), B_OK);
  EXPECT_FALSE(flag);
  ASSERT_EQ(copy.FindString(std::string(255, 'n').c_str(), &text), B_OK);
  EXPECT_EQ(text, "longest name");
}

TEST(MessageFlatten, RefusesWhatCannotTravel) {
  int marker = 0;
  BMessage withPointer;
  withPointer.AddInt32("before", 1);
  withPointer.AddPointer("where", &marker);
  std::vector<uint8_t> flat;
  EXPECT_NE(withPointer.Flatten(&flat), B_OK);

  BMessage longName;
  longName.AddInt32(std::string(256, 'n').c_str(), 1);  // the length is one byte
  EXPECT_NE(longName.Flatten(&flat), B_OK);
}

std::vector<uint8_t> Header(uint32_t count) {
  return {'C', 'V', 'M', '1', 't', 'e', 's', 't', static_cast<uint8_t>(count >> 24),
          static_cast<uint8_t>(count >> 16), static_cast<uint8_t>(count >> 8),
          static_cast<uint8_t>(count)};
}

std::vector<uint8_t> operator+(std::vector<uint8_t> head, const std::vector<uint8_t>& tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

TEST(MessageFlatten, UnflattenRejectsMalformedInputAndKeepsTheMessage) {
  const std::vector<uint8_t> int8Field = {2, 1, 'a', 5};
  struct Corrupt {
    const char* what;
    std::vector<uint8_t> bytes;
  };
  const Corrupt cases[] = {
      {"empty", {}},
      {"short magic", {'C', 'V', 'M'}},
      {"magic only", {'C', 'V', 'M', '1'}},
      {"wrong magic", std::vector<uint8_t>{'C', 'V', 'M', '2', 0, 0, 0, 0, 0, 0, 0, 0}},
      {"code cut", {'C', 'V', 'M', '1', 0, 0}},
      {"count cut", {'C', 'V', 'M', '1', 0, 0, 0, 0, 0, 0, 0}},
      {"count larger than fields", Header(1)},
      {"huge count", Header(0xFFFFFFFF) + int8Field},
      {"second field missing", Header(2) + int8Field},
      {"type without name length", Header(1) + std::vector<uint8_t>{2}},
      {"name past end", Header(1) + std::vector<uint8_t>{2, 5, 'a', 'b'}},
      {"type zero", Header(1) + std::vector<uint8_t>{0, 1, 'a', 5}},
      {"pointer type", Header(1) + std::vector<uint8_t>{7, 1, 'a', 0, 0, 0, 0, 0, 0, 0, 0}},
      {"unknown type", Header(1) + std::vector<uint8_t>{8, 1, 'a', 5}},
      {"type 255", Header(1) + std::vector<uint8_t>{255, 1, 'a', 5}},
      {"string length cut", Header(1) + std::vector<uint8_t>{1, 1, 's', 0, 0}},
      {"string past end", Header(1) + std::vector<uint8_t>{1, 1, 's', 0, 0, 0, 5, 'h', 'i'}},
      {"huge string length", Header(1) + std::vector<uint8_t>{1, 1, 's', 0xFF, 0xFF, 0xFF, 0xFF, 'h'}},
      {"int16 cut", Header(1) + std::vector<uint8_t>{3, 1, 'n', 0}},
      {"int32 cut", Header(1) + std::vector<uint8_t>{4, 1, 'n', 0, 0, 0}},
      {"int64 cut", Header(1) + std::vector<uint8_t>{5, 1, 'n', 0, 0, 0, 0, 0, 0, 0}},
      {"bool missing", Header(1) + std::vector<uint8_t>{6, 1, 'b'}},
      {"trailing byte", Header(0) + std::vector<uint8_t>{0}},
      {"trailing field", Header(1) + int8Field + int8Field},
  };
  for (const Corrupt& corrupt : cases) {
    SCOPED_TRACE(corrupt.what);
    // An exact-size heap copy lets the address sanitizer see any over-read.
    const std::vector<uint8_t> bytes = corrupt.bytes;
    BMessage message(FourCC("keep"));
    message.AddInt32("kept", 1);
    EXPECT_EQ(message.Unflatten(bytes.data(), bytes.size()), B_BAD_DATA);
    EXPECT_EQ(message.what, FourCC("keep"));
    EXPECT_EQ(message.CountFields(), 1);
  }
  BMessage message;
  EXPECT_EQ(message.Unflatten(nullptr, 12), B_BAD_DATA);
}

TEST(MessageFlatten, EveryTruncationIsRejected) {
  std::vector<uint8_t> flat;
  ASSERT_EQ(EveryTypeMessage().Flatten(&flat), B_OK);
  for (size_t length = 0; length < flat.size(); ++length) {
    SCOPED_TRACE(length);
    const std::vector<uint8_t> cut(flat.begin(), flat.begin() + static_cast<std::ptrdiff_t>(length));
    BMessage message;
    EXPECT_EQ(message.Unflatten(cut.data(), cut.size()), B_BAD_DATA);
  }
}

// Sends a message through a port on its own thread and keeps the outcome;
// Join() waits for the reply. The generous time-out turns a reply that never
// comes into a failure (B_TIMED_OUT) rather than a hung test.
class WaitingSender {
 public:
  WaitingSender(MessagePort* port, BMessage message)
      : fPort(port), fThread([this, message = std::move(message)]() mutable {
          status = fPort->SendAndWait(std::move(message), &reply, kGenerousUs);
        }) {}
  ~WaitingSender() {
    if (fThread.joinable()) {
      fPort->Close();
      fThread.join();
    }
  }
  void Join() { fThread.join(); }

  status_t status = B_ERROR;
  BMessage reply;

 private:
  MessagePort* fPort;
  std::thread fThread;
};

class MessageReply : public ::testing::Test {
 protected:
  // The message as the receiving side sees it, still tied to its sender.
  BMessage Receive() {
    std::optional<BMessage> message = fPort.Pop();
    EXPECT_TRUE(message.has_value());
    return message ? std::move(*message) : BMessage();
  }

  MessagePort fPort{8};
};

TEST_F(MessageReply, DestroyedUnansweredMessageAnswersNoReply) {
  WaitingSender sender(&fPort, BMessage(kCode));
  {
    BMessage received = Receive();
    EXPECT_TRUE(received.IsSourceWaiting());
  }
  sender.Join();
  EXPECT_EQ(sender.status, B_OK);
  EXPECT_EQ(sender.reply.what, B_NO_REPLY);
}

TEST_F(MessageReply, FirstReplyWinsAndCarriesFields) {
  WaitingSender sender(&fPort, BMessage(kCode));
  {
    BMessage received = Receive();
    BMessage answer(FourCC("answ"));
    answer.AddString("volume", "Projects");
    answer.AddInt32("id", 2);
    ASSERT_EQ(received.SendReply(answer), B_OK);
    EXPECT_FALSE(received.IsSourceWaiting());
    EXPECT_NE(received.SendReply(FourCC("late")), B_OK);
  }  // destroying the answered message must not overwrite the reply
  sender.Join();
  EXPECT_EQ(sender.status, B_OK);
  EXPECT_EQ(sender.reply.what, FourCC("answ"));
  std::string volume;
  int32_t id = 0;
  EXPECT_EQ(sender.reply.FindString("volume", &volume), B_OK);
  EXPECT_EQ(volume, "Projects");
  EXPECT_EQ(sender.reply.FindInt32("id", &id), B_OK);
  EXPECT_EQ(id, 2);
}

TEST_F(MessageReply, CopiesDoNotCarryTheWaitButMovesDo) {
  BMessage request(kCode);
  request.AddInt32("n", 1);
  WaitingSender sender(&fPort, request);
  BMessage received = Receive();
  {
    BMessage copy(received);
    BMessage assigned;
    assigned = received;
    EXPECT_FALSE(copy.IsSourceWaiting());
    EXPECT_FALSE(assigned.IsSourceWaiting());
    EXPECT_NE(copy.SendReply(FourCC("copy")), B_OK);
    int32_t n = 0;
    EXPECT_EQ(copy.FindInt32("n", &n), B_OK);
  }  // destroying the copies answers nobody
  BMessage moved(std::move(received));
  EXPECT_TRUE(moved.IsSourceWaiting());
  { BMessage gone = std::move(received); }  // the moved-from shell answers nobody either
  ASSERT_EQ(moved.SendReply(FourCC("real")), B_OK);
  sender.Join();
  EXPECT_EQ(sender.reply.what, FourCC("real"));
}

TEST_F(MessageReply, MoveAssigningOverAWaitingMessageAnswersItsSender) {
  WaitingSender first(&fPort, BMessage(FourCC("one ")));
  BMessage held = Receive();
  WaitingSender second(&fPort, BMessage(FourCC("two ")));
  BMessage other = Receive();
  ASSERT_EQ(held.what, FourCC("one "));

  held = std::move(other);  // the first sender's message is gone unanswered
  first.Join();
  EXPECT_EQ(first.reply.what, B_NO_REPLY);
  ASSERT_EQ(held.SendReply(FourCC("ok  ")), B_OK);
  second.Join();
  EXPECT_EQ(second.reply.what, FourCC("ok  "));
}

TEST_F(MessageReply, ReplyWithoutWaitingSenderFails) {
  BMessage message(kCode);
  EXPECT_FALSE(message.IsSourceWaiting());
  EXPECT_NE(message.SendReply(FourCC("none")), B_OK);
}

}  // namespace
