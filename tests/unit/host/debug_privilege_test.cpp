#include "host/debug_privilege.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <ios>
#include <ostream>
#include <streambuf>
#include <string>
#include <vector>

#include "fakes/fake_host.h"

namespace {

// Keeps what was written and how much of it had been flushed.
class RecordingBuf : public std::wstreambuf {
 public:
  std::wstring text;
  std::size_t flushedUpTo = 0;

 protected:
  int_type overflow(int_type ch) override {
    if (!traits_type::eq_int_type(ch, traits_type::eof())) text.push_back(traits_type::to_char_type(ch));
    return traits_type::not_eof(ch);
  }
  int sync() override {
    flushedUpTo = text.size();
    return 0;
  }
};

struct PrivilegeCase {
  const char* label;
  bool lookupSucceeds;
  bool enableSucceeds;
  std::uint32_t error;
  bool hexStream;  // the run log was left in hexadecimal mode
  const wchar_t* line;
  std::vector<TokenCall> calls;
};

const std::vector<PrivilegeCase> kPrivilegeCases = {
    {"Enabled", true, true, 0, false, L"",
     {TokenCall::Lookup, TokenCall::Enable, TokenCall::Close}},
    {"PrivilegeNotHeld", true, true, 1300, false, L"",
     {TokenCall::Lookup, TokenCall::Enable, TokenCall::Close}},
    {"LookupFails", false, true, 1313, false, L"",
     {TokenCall::Lookup, TokenCall::Close}},
    {"LookupAndAdjustmentFail", false, false, 5, false, L"",
     {TokenCall::Lookup, TokenCall::Close}},
    {"AccessDenied", true, false, 5, false, L"Could not Gain SEDebugPrivileges: 5\r\n",
     {TokenCall::Lookup, TokenCall::Enable, TokenCall::LastError, TokenCall::Close}},
    {"InvalidHandle", true, false, 6, false, L"Could not Gain SEDebugPrivileges: 6\r\n",
     {TokenCall::Lookup, TokenCall::Enable, TokenCall::LastError, TokenCall::Close}},
    {"ErrorZero", true, false, 0, false, L"Could not Gain SEDebugPrivileges: 0\r\n",
     {TokenCall::Lookup, TokenCall::Enable, TokenCall::LastError, TokenCall::Close}},
    {"LargestError", true, false, 0xFFFFFFFFu, false,
     L"Could not Gain SEDebugPrivileges: 4294967295\r\n",
     {TokenCall::Lookup, TokenCall::Enable, TokenCall::LastError, TokenCall::Close}},
    {"DecimalOnHexStream", true, false, 1300, true,
     L"Could not Gain SEDebugPrivileges: 1300\r\n",
     {TokenCall::Lookup, TokenCall::Enable, TokenCall::LastError, TokenCall::Close}},
};

void PrintTo(const PrivilegeCase& c, std::ostream* os) { *os << c.label; }

class PrivilegeStep : public ::testing::TestWithParam<PrivilegeCase> {};

TEST_P(PrivilegeStep, WritesOnlyAFailedAdjustmentAndClosesTheTokenOnce) {
  const PrivilegeCase& c = GetParam();
  FakeTokenService tokens;
  tokens.lookupSucceeds = c.lookupSucceeds;
  tokens.enableSucceeds = c.enableSucceeds;
  tokens.lastError = c.error;
  tokens.debugPrivilege = PrivilegeId{20, 0};
  RecordingBuf buf;
  std::wostream runLog(&buf);
  if (c.hexStream) runLog << std::hex << std::showbase;

  TokenHandle token = 0;
  ASSERT_TRUE(tokens.OpenOwnToken(token));
  tokens.calls.clear();
  EnableDebugPrivilege(runLog, tokens, token);

  EXPECT_EQ(buf.text, c.line);
  EXPECT_EQ(buf.flushedUpTo, buf.text.size()) << "the line must be flushed";
  EXPECT_EQ(tokens.calls, c.calls);
  EXPECT_EQ(tokens.ClosesOf(token), 1);
  EXPECT_EQ(tokens.TotalCloses(), 1);
  if (c.lookupSucceeds) {
    ASSERT_EQ(tokens.enabled.size(), 1u);
    EXPECT_EQ(tokens.enabled[0].first, token);
    EXPECT_EQ(tokens.enabled[0].second.lowPart, 20u);
    EXPECT_EQ(tokens.enabled[0].second.highPart, 0);
  } else {
    EXPECT_TRUE(tokens.enabled.empty());
  }
}

INSTANTIATE_TEST_SUITE_P(EveryPath, PrivilegeStep, ::testing::ValuesIn(kPrivilegeCases),
                         [](const ::testing::TestParamInfo<PrivilegeCase>& param) {
                           return std::string(param.param.label);
                         });

TEST(PrivilegeStep, PassesTheLookedUpIdentifierThrough) {
  FakeTokenService tokens;
  tokens.debugPrivilege = PrivilegeId{0x89ABCDEFu, -2};
  RecordingBuf buf;
  std::wostream runLog(&buf);

  EnableDebugPrivilege(runLog, tokens, 0x4711);

  ASSERT_EQ(tokens.enabled.size(), 1u);
  EXPECT_EQ(tokens.enabled[0].first, 0x4711u);
  EXPECT_EQ(tokens.enabled[0].second.lowPart, 0x89ABCDEFu);
  EXPECT_EQ(tokens.enabled[0].second.highPart, -2);
  EXPECT_EQ(tokens.ClosesOf(0x4711), 1);
}

}  // namespace
