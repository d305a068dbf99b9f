// The registrar by behaviour: scripts run against a registry in memory, and
// the keys and values they leave.
#include "host/registrar.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "diagnostics/format.h"
#include "host/registry_target.h"
#include "platform/text.h"

namespace wl {
namespace {

using Dump = std::map<std::wstring, std::wstring>;

std::wstring Hex(const std::vector<std::uint8_t>& bytes) {
  std::wstring text;
  for (std::uint8_t b : bytes) text += Format(L"{:02x}", b);
  return text;
}
// A value as MemoryRegistryTarget::Dump shows it.
std::wstring S(std::wstring_view text) { return L"1:" + Hex(platform::Utf16LeStringData(text)); }
std::wstring D(std::uint32_t number) {
  std::vector<std::uint8_t> bytes;
  platform::AppendLittleEndian(number, 4, bytes);
  return L"4:" + Hex(bytes);
}

const std::vector<RegistrarVariable> kVariables = {
    {L"MODULE", L"\"/opt/it''s/host\""}, {L"APPID", L"{1}"}, {std::wstring(31, L'V'), L"long"}};

HResult RunScript(MemoryRegistryTarget& target, std::wstring_view script, RegistrarMode mode = RegistrarMode::kRegister,
                  bool perUser = false, RegistrarFailure* failure = nullptr) {
  return RunRegistryScript(script, mode, kVariables, perUser, target, failure);
}

struct RegisterCase {
  const wchar_t* script;
  Dump after;
};

TEST(Registrar, RegisterModeWritesKeysAndValues) {
  const RegisterCase cases[] = {
      {L"HKCR { A = s 'x' { val V = d 7 } }", {{L"HKCR\\A", L""}, {L"HKCR\\A:", S(L"x")}, {L"HKCR\\A:V", D(7)}}},
      // Doubled quotes inside quotes, blanks in quoted names, any separators.
      {L"HKCU\r\n{\t'it''s a key' = s 'a''b'\n}", {{L"HKCU\\it's a key", L""}, {L"HKCU\\it's a key:", S(L"a'b")}}},
      // Root and keyword spellings in any case; long root names.
      {L"hkey_local_machine { noremove K { VAL 'n' = D 4294967295 } }",
       {{L"HKLM\\K", L""}, {L"HKLM\\K:n", D(0xFFFFFFFF)}}},
      {L"HKU { K { val m = m 'one\\0two' val b = B '00fF10' } }",
       {{L"HKU\\K", L""},
        {L"HKU\\K:m",
         L"7:" + Hex(platform::Utf16LeStringData(L"one")) + Hex(platform::Utf16LeStringData(L"two")) + L"0000"},
        {L"HKU\\K:b", L"3:00ff10"}}},
      // Variables in and out of quotes, any case; %% is one %.
      {L"HKCR { %AppId% = s '%module%' { val P = s '100%%' } }",
       {{L"HKCR\\{1}", L""}, {L"HKCR\\{1}:", S(L"\"/opt/it's/host\"")}, {L"HKCR\\{1}:P", S(L"100%")}}},
      // A name of exactly 31 characters is a variable.
      {L"HKCC { K = s '%VVVVVVVVVVVVVVVVVVVVVVVVVVVVVVV%' }", {{L"HKCC\\K", L""}, {L"HKCC\\K:", S(L"long")}}},
      // Braces inside quotes are text; a GUID in braces is a bare name.
      {L"HKCR { '{x}' = s '}' {A3F0} }", {{L"HKCR\\{x}", L""}, {L"HKCR\\{x}:", S(L"}")}, {L"HKCR\\{A3F0}", L""}}},
      // Several root blocks, by short and long names.
      {L"HKPD { A } HKEY_DYN_DATA { B } HKEY_CURRENT_CONFIG { C }",
       {{L"HKPD\\A", L""}, {L"HKDD\\B", L""}, {L"HKCC\\C", L""}}},
      {L"", {}},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(platform::Utf8FromWide(test.script));
    MemoryRegistryTarget target;
    RegistrarFailure failure;
    EXPECT_EQ(RunScript(target, test.script, RegistrarMode::kRegister, false, &failure), kSOk)
        << platform::Utf8FromWide(failure.reason);
    EXPECT_EQ(target.Dump(), test.after);
  }
}

TEST(Registrar, ForceRemoveAndDeleteClearKeysExceptProtectedOnes) {
  MemoryRegistryTarget target;
  ASSERT_EQ(RunScript(target, L"HKCR { A { Old { val v = d 1 } } B { Inner } CLSID { Other } }"), kSOk);
  ASSERT_EQ(RunScript(target, L"HKCR { ForceRemove A { New } Delete B = s 'x' { C } ForceRemove CLSID { Mine } }"),
            kSOk);
  EXPECT_EQ(target.Dump(), (Dump{{L"HKCR\\A", L""},
                                 {L"HKCR\\A\\New", L""},
                                 {L"HKCR\\CLSID", L""},
                                 {L"HKCR\\CLSID\\Mine", L""},
                                 {L"HKCR\\CLSID\\Other", L""}}));
  // Delete of a protected key leaves it; Delete of a value removes it.
  ASSERT_EQ(RunScript(target, L"HKCR { Delete CLSID A { Delete val gone = s '' } }"), kSOk);
  EXPECT_EQ(target.Dump().count(L"HKCR\\CLSID\\Other"), 1u);
}

TEST(Registrar, UnregisterModeRemovesWhatIsNotKept) {
  MemoryRegistryTarget target;
  ASSERT_EQ(RunScript(target,
                      L"HKCR { Keep { val v = d 1 } Gone { Sub = s 'x' } Software { Other } TypeLib { Lib } "
                      L"Interface { Own } NoVal { val a = d 1 val b = d 2 } }"),
            kSOk);
  // Missing keys and values are skipped; NoRemove keeps a key (its block is
  // still processed); a protected key stays only while it has sub-keys.
  ASSERT_EQ(RunScript(target,
                      L"HKCR { NoRemove Keep { val v = d 1 } Gone { Missing } Software { Absent } TypeLib { Lib } "
                      L"Interface { Own } NoVal { NoRemove val a = d 1 } Never { } }",
                      RegistrarMode::kUnregister),
            kSOk);
  EXPECT_EQ(target.Dump(), (Dump{{L"HKCR\\Keep", L""}, {L"HKCR\\Software", L""}, {L"HKCR\\Software\\Other", L""}}));
}

TEST(Registrar, RegisteringTwiceAndUnregisteringLeavesTheRegistryAsBefore) {
  const wchar_t* script =
      L"HKCR { NoRemove CLSID { ForceRemove {C} = s 'c' { LocalServer32 = s '%MODULE%' { val T = s 'Both' } "
      L"ForceRemove 'Programmable' } } P.1 = s 'p' { CLSID = s '{C}' } }";
  MemoryRegistryTarget target;
  ASSERT_EQ(RunScript(target, L"HKCR { CLSID { Other } Unrelated }"), kSOk);
  Dump before = target.Dump();
  ASSERT_EQ(RunScript(target, script), kSOk);
  Dump once = target.Dump();
  ASSERT_EQ(RunScript(target, script), kSOk);
  EXPECT_EQ(target.Dump(), once);
  ASSERT_EQ(RunScript(target, script, RegistrarMode::kUnregister), kSOk);
  EXPECT_EQ(target.Dump(), before);
}

TEST(Registrar, PerUserModeMovesTheClassesBlockUnderTheUser) {
  std::wstring text;
  ASSERT_EQ(PreprocessRegistryScript(L"HKCR\r\n{\r\n\tA\r\n}\r\nHKLM { B }", {}, true, &text), kSOk);
  EXPECT_EQ(text, L"HKCU\r\n{\tSoftware\r\n\t{\r\n\t\tClasses\r\n{\r\n\tA\r\n}\r\n\t}\r\n}\r\n\r\nHKLM { B }");
  MemoryRegistryTarget target;
  ASSERT_EQ(RunScript(target, L"HKCR { A = s 'x' } HKLM { B }", RegistrarMode::kRegister, true), kSOk);
  EXPECT_EQ(target.Dump(), (Dump{{L"HKCU\\Software", L""},
                                 {L"HKCU\\Software\\Classes", L""},
                                 {L"HKCU\\Software\\Classes\\A", L""},
                                 {L"HKCU\\Software\\Classes\\A:", S(L"x")},
                                 {L"HKLM\\B", L""}}));
  // The user's other classes survive unregistering.
  ASSERT_EQ(RunScript(target, L"HKCU { Software { Classes { Mine } } }"), kSOk);
  ASSERT_EQ(RunScript(target, L"HKCR { A = s 'x' }", RegistrarMode::kUnregister, true), kSOk);
  EXPECT_EQ(target.Dump().count(L"HKCU\\Software\\Classes\\Mine"), 1u);
  EXPECT_EQ(target.Dump().count(L"HKCU\\Software\\Classes\\A"), 0u);
}

TEST(Registrar, BadScriptsFailWithTheirCodeAndChangeNothingInTheirBlock) {
  constexpr HResult kDisp = kDispEException;
  const std::pair<const wchar_t*, HResult> cases[] = {
      {L"HKXX { A }", kDisp},                                            // unknown root
      {L"HKCR { A = x 'v' }", kDisp},                                    // unknown type letter
      {L"HKCR { A = ss 'v' }", kDisp},                                   // type of two letters
      {L"HKCR { A = d '12x' }", kDisp},                                  // not a number
      {L"HKCR { A = d 4294967296 }", kDisp},                             // over 32 bits
      {L"HKCR { A = b '0g' }", kDisp},                                   // not hexadecimal
      {L"HKCR { A = b '012' }", kDisp},                                  // odd digit count
      {L"HKCR { A = s '%MODULE }", kDisp},                               // missing closing %
      {L"HKCR { A = s '%NOSUCH%' }", kDisp},                             // unknown variable
      {L"HKCR { A = s '%VVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVV%' }", kEFail},  // 32 characters
      {L"HKCR { 'A\\B' }", kDisp},                                       // backslash in a key name
      {L"HKCR { A\\B }", kDisp},
      {L"HKCR { A { B }", kDisp},  // unbalanced braces
      {L"} HKCR { A }", kDisp},
      {L"HKCR A", kDisp},                      // root without a block
      {L"HKCR { val V }", kDisp},              // value without =
      {L"HKCR { val V = s 'x' { } }", kDisp},  // value with a block
      {L"HKCR { A = s 'unterminated }", kDisp},
      {L"HKCR { A = }", kDisp},
      {L"HKCR { = s 'x' }", kDisp},
  };
  for (const auto& [script, code] : cases) {
    SCOPED_TRACE(platform::Utf8FromWide(script));
    for (RegistrarMode mode : {RegistrarMode::kRegister, RegistrarMode::kUnregister}) {
      MemoryRegistryTarget target;
      RegistrarFailure failure;
      EXPECT_EQ(RunScript(target, script, mode, false, &failure), code);
      EXPECT_EQ(failure.code, code);
      EXPECT_FALSE(failure.reason.empty());
      EXPECT_TRUE(target.Dump().empty());
    }
  }
}

TEST(Registrar, AFailedRootBlockIsUndoneAndEarlierBlocksStay) {
  const wchar_t* script = L"HKLM { First } HKCR { A = s 'a' { B { val v = d 1 } } NoRemove C { D } }";
  // Count the changes of a whole run, then fail at each of the second
  // block's changes in turn.
  MemoryRegistryTarget counter;
  ASSERT_EQ(RunScript(counter, script), kSOk);
  for (long failAt = 1; failAt < counter.changes; ++failAt) {
    SCOPED_TRACE(failAt);
    MemoryRegistryTarget target;
    target.failAt = failAt;
    RegistrarFailure failure;
    EXPECT_EQ(RunScript(target, script, RegistrarMode::kRegister, false, &failure),
              HResultFromWin32(kErrorAccessDenied));
    // NoRemove C stays once created: the undo is the block's unregistration.
    Dump left = target.Dump();
    left.erase(L"HKCR\\C");
    EXPECT_EQ(left, (Dump{{L"HKLM\\First", L""}}));
  }
}

TEST(Registrar, ProtectedNamesIgnoreCase) {
  for (const wchar_t* name : {L"AppID", L"clsid", L"Component Categories", L"FILETYPE", L"Interface", L"Hardware",
                              L"Mime", L"SAM", L"security", L"SYSTEM", L"Software", L"TypeLib", L"Classes"}) {
    EXPECT_TRUE(IsProtectedKeyName(name)) << platform::Utf8FromWide(name);
  }
  EXPECT_FALSE(IsProtectedKeyName(L"CLSIDs"));
  EXPECT_FALSE(IsProtectedKeyName(L"App"));
}

}  // namespace
}  // namespace wl
