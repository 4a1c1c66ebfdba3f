// The process's account filled into items without a user name, and the
// administrator's switch that turns the lookup off.
#include <string>

#include <gtest/gtest.h>

#include "item/CTAVDiagnosticLogItem.h"
#include "log/UserLookup.h"
#include "module/ModuleState.h"
#include "support/TestSupport.h"

namespace hv {
namespace {

using test::ComTest;
using test::Narrow;

class LogUserLookup : public ComTest {
 protected:
  void TearDown() override {
    test::DeleteMachineValue(kProductKey, L"DisableUserLookup");
    ComTest::TearDown();
  }
};

std::wstring ProcessUser() {
  wchar_t name[256] = {};
  DWORD chars = 256;
  EXPECT_TRUE(GetUserNameW(name, &chars));
  return name;
}

TEST_F(LogUserLookup, AccountIsLookedUpOnceAndServedFromTheCache) {
  test::DeleteMachineValue(kProductKey, L"DisableUserLookup");
  UserLookup lookup;
  EXPECT_TRUE(lookup.LookupEnabled());

  unique_bstr first;
  ASSERT_EQ(S_OK, lookup.Lookup(first.put()));
  ASSERT_TRUE(first);
  const std::wstring account = first.get();
  // "DOMAIN\name", or the name alone for an identity without a domain.
  const std::wstring user = ProcessUser();
  const size_t slash = account.rfind(L'\\');
  EXPECT_EQ(user, slash == std::wstring::npos ? account : account.substr(slash + 1)) << Narrow(account);
  if (slash != std::wstring::npos) EXPECT_GT(slash, 0u) << Narrow(account);
  EXPECT_EQ(1u, lookup.TokenQueries());
  EXPECT_EQ(1u, lookup.AccountQueries());

  unique_bstr second;
  ASSERT_EQ(S_OK, lookup.Lookup(second.put()));
  EXPECT_EQ(account, std::wstring(second.get()));
  // The process's user cannot change: the token is not asked again.
  EXPECT_EQ(1u, lookup.TokenQueries());
  EXPECT_EQ(1u, lookup.AccountQueries());

  EXPECT_EQ(E_POINTER, lookup.Lookup(nullptr));

  // An item without a user name gets the account; a given name stays and
  // costs no lookup.
  ComPtr<CTAVDiagnosticLogItem> item = MakeObject<CTAVDiagnosticLogItem>();
  lookup.FillUserName(*item);
  EXPECT_EQ(account, item->UserName());
  EXPECT_EQ(1u, lookup.TokenQueries());
  item->SetUserName(L"operator7");
  lookup.FillUserName(*item);
  EXPECT_EQ(L"operator7", item->UserName());
  EXPECT_EQ(1u, lookup.TokenQueries());
}

TEST_F(LogUserLookup, SwitchTurnsTheLookupOff) {
  ASSERT_TRUE(test::SetMachineDword(kProductKey, L"DisableUserLookup", 1));
  UserLookup off;
  EXPECT_FALSE(off.LookupEnabled());
  auto* sentinel = reinterpret_cast<BSTR>(0x10);
  BSTR name = sentinel;
  EXPECT_EQ(E_FAIL, off.Lookup(&name));
  EXPECT_EQ(nullptr, name);
  ComPtr<CTAVDiagnosticLogItem> item = MakeObject<CTAVDiagnosticLogItem>();
  off.FillUserName(*item);
  EXPECT_EQ(L"", item->UserName());
  // Not even the process token was opened.
  EXPECT_EQ(0u, off.TokenQueries());

  ASSERT_TRUE(test::SetMachineDword(kProductKey, L"DisableUserLookup", 0));
  EXPECT_TRUE(UserLookup().LookupEnabled());
  ASSERT_TRUE(test::SetMachineDword(kProductKey, L"DisableUserLookup", 0xFFFFFFFF));
  EXPECT_FALSE(UserLookup().LookupEnabled());

  // Only a number counts: a string value leaves the lookup on.
  test::DeleteMachineValue(kProductKey, L"DisableUserLookup");
  ASSERT_TRUE(test::SetMachineString(kProductKey, L"DisableUserLookup", L"1"));
  UserLookup text;
  EXPECT_TRUE(text.LookupEnabled());
  unique_bstr account;
  EXPECT_EQ(S_OK, text.Lookup(account.put()));
  EXPECT_TRUE(account && SysStringLen(account.get()) > 0);
}

TEST_F(LogUserLookup, ChildrenStoredInAnItemGetTheProcessUser) {
  unique_bstr expected;
  ASSERT_EQ(S_OK, UserLookup::Instance().Lookup(expected.put()));

  ComPtr<CTAVDiagnosticLogItem> parent = MakeObject<CTAVDiagnosticLogItem>();
  ComPtr<CTAVDiagnosticLogItem> child = MakeObject<CTAVDiagnosticLogItem>();
  ASSERT_EQ(S_OK, parent->SetChild(static_cast<ITAVDiagnosticLogItemEx*>(child.get())));
  EXPECT_EQ(std::wstring(expected.get()), child->UserName());
  ComPtr<IUnknown> stored;
  ASSERT_EQ(S_OK, parent->GetChild(stored.put()));
  ComPtr<CTAVDiagnosticLogItem> loaded = CTAVDiagnosticLogItem::FromInterface(stored.get());
  ASSERT_TRUE(loaded);
  EXPECT_EQ(std::wstring(expected.get()), loaded->UserName());
}

}  // namespace
}  // namespace hv
