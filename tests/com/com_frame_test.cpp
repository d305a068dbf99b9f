#include "com/com_frame.h"

#include <gtest/gtest.h>

#include "tests/com/sample_interface.h"

namespace wl::platform::comframe {
namespace {

std::span<const std::uint8_t> Bytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::string Raw(std::initializer_list<int> bytes) {
  std::string text;
  for (int byte : bytes) text.push_back(static_cast<char>(byte));
  return text;
}

const MethodDescription& Method(int slot) { return *FindMethodBySlot(test::kSampleInterface, slot); }

TEST(ComFrame, CallsAndRepliesComeBackAsSent) {
  OwnedBstr text(std::wstring(L"a") + L'\0' + L"\u20ac\U0001F600");
  CallValue values[4];
  values[0].number = 0x10002;
  values[1].number = 4;
  values[2].text = text.Get();
  values[3].number = 0xFFFF;  // SHORT -1
  // A call made from a method's plan is the same bytes as one made from the
  // method.
  for (const MethodDescription& method : test::kSampleInterface.methods) {
    FrameBuffer direct, planned;
    AppendCall(direct, 3, method, values);
    AppendCall(planned, 3, PlanCall(method), values);
    EXPECT_EQ(planned.View(), direct.View()) << method.name;
  }
  FrameBuffer out;
  AppendCall(out, 3, Method(8), values);
  values[2].text = nullptr;
  AppendCall(out, 3, Method(8), values);
  Frame frame;
  std::size_t size = 0;
  std::wstring error;
  ASSERT_EQ(ReadFrame(Bytes(out.View()), &frame, &size, &error), ReadStatus::kComplete) << error;
  EXPECT_EQ(frame.kind, FrameKind::kCall);
  EXPECT_EQ(frame.face, 3);
  EXPECT_EQ(frame.method, 8);
  ASSERT_EQ(frame.count, 4);
  EXPECT_EQ(frame.values[0].number, 0x10002u);
  EXPECT_EQ(frame.values[2].textLength, 5u);  // a, nul, euro, two surrogates
  EXPECT_EQ(static_cast<std::int32_t>(frame.values[3].number), -1);
  std::wstring problem;
  EXPECT_TRUE(CheckCallValues(frame, Method(8), &problem));
  EXPECT_FALSE(CheckCallValues(frame, Method(11), &problem));
  EXPECT_EQ(problem, L"argument 1 of Note of type 19");  // VT_UI4 where VT_UI2 belongs
  ASSERT_EQ(ReadFrame(Bytes(out.View()).subspan(size), &frame, &size, &error), ReadStatus::kComplete);
  EXPECT_TRUE(frame.values[2].nullText);

  out.clear();
  values[1].number = 6;
  AppendReply(out, E_INVALIDARG, &Method(10), values);
  ASSERT_EQ(ReadFrame(Bytes(out.View()), &frame, &size, &error), ReadStatus::kComplete);
  ASSERT_EQ(frame.count, 2);
  EXPECT_EQ(static_cast<HRESULT>(frame.values[0].number), E_INVALIDARG);
  EXPECT_EQ(frame.values[1].number, 6u);
  // Every prefix of a whole frame asks for more.
  for (std::size_t cut = 0; cut < out.size(); ++cut) {
    EXPECT_EQ(ReadFrame(Bytes(out.View().substr(0, cut)), &frame, &size, &error), ReadStatus::kIncomplete) << cut;
  }

  // A reply with an [out] value is read in full; one with only its HRESULT
  // is read on its own, and only when it is whole.
  HRESULT result = S_OK;
  EXPECT_FALSE(ReadPlainReply(Bytes(out.View()), &result));
  out.clear();
  AppendReply(out, E_INVALIDARG, &Method(11), values);
  ASSERT_EQ(out.size(), kPlainReplyBytes);
  ASSERT_TRUE(ReadPlainReply(Bytes(out.View()), &result));
  EXPECT_EQ(result, E_INVALIDARG);
  EXPECT_FALSE(ReadPlainReply(Bytes(out.View().substr(0, kPlainReplyBytes - 1)), &result));
}

TEST(ComFrame, EachRuleRefusesItsFrame) {
  struct Row {
    const char* name;
    std::string bytes;
  };
  const Row rows[] = {
      {"length below a header", Raw({7, 0, 0, 0, 3, 0, 0, 0, 7, 0, 0})},
      {"length past the maximum", Raw({0xFD, 0xFF, 0x3F, 0, 3, 0, 0, 0, 7, 0, 0, 0})},
      {"unknown kind", Raw({8, 0, 0, 0, 9, 0, 0, 0, 7, 0, 0, 0})},
      {"reserved byte set", Raw({8, 0, 0, 0, 3, 1, 0, 0, 7, 0, 0, 0})},
      {"too many values", Raw({8, 0, 0, 0, 3, 0, 0, 0, 7, 0, 10, 0})},
      {"value past the end", Raw({9, 0, 0, 0, 3, 0, 0, 0, 7, 0, 2, 0, 19})},
      {"number cut short", Raw({11, 0, 0, 0, 3, 0, 0, 0, 7, 0, 1, 0, 19, 1, 2})},
      {"text past the frame", Raw({15, 0, 0, 0, 3, 0, 0, 0, 7, 0, 1, 0, 8, 2, 0, 0, 0, 65, 0})},
      {"unknown value type", Raw({11, 0, 0, 0, 3, 0, 0, 0, 7, 0, 1, 0, 5, 0, 0})},
      {"bytes after the values", Raw({10, 0, 0, 0, 3, 0, 0, 0, 7, 0, 1, 0, 18, 1, 0})},
  };
  for (const Row& row : rows) {
    Frame frame;
    std::size_t size = 0;
    std::wstring error;
    EXPECT_EQ(ReadFrame(Bytes(row.bytes), &frame, &size, &error), ReadStatus::kInvalid) << row.name;
    EXPECT_FALSE(error.empty()) << row.name;
  }
  // The largest frame allowed is taken.
  std::size_t units = (kMaxFrameBytes - kHeaderBytes - 5) / 2;
  std::string big = Raw({0, 0, 0, 0, 3, 0, 0, 0, 7, 0, 1, 0, 8});
  for (int shift = 0; shift < 32; shift += 8) big.push_back(static_cast<char>((units >> shift) & 0xFF));
  big.append(units * 2, 'a');
  for (int i = 0; i < 4; ++i) big[i] = static_cast<char>(((big.size() - 4) >> (8 * i)) & 0xFF);
  ASSERT_LE(big.size(), kMaxFrameBytes);
  Frame frame;
  std::size_t size = 0;
  std::wstring error;
  EXPECT_EQ(ReadFrame(Bytes(big), &frame, &size, &error), ReadStatus::kComplete) << error;
}

}  // namespace
}  // namespace wl::platform::comframe
