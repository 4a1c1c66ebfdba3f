// Items travel by value: the marshal data is the item stream, and the
// receiver is a new item made by COM from the registered library.
#include <windows.h>

#include <string>
#include <thread>
#include <vector>

#include "common/ComObject.h"
#include "item/CTAVDiagnosticLogItem.h"
#include "support/ItemParams.h"
#include "support/TestSupport.h"

namespace hv {
namespace {

using test::ComTest;
using test::GetValue;
using test::Held;
using test::Put;
using test::PutLong;
using test::PutText;
using test::Narrow;
using test::Hex;
using test::StreamBytes;

class ItemMarshalTest : public ComTest {};

// The fallback description of a resource message whose provider has no DLL,
// when the library's resources hold no text for it (as in this program).
const std::wstring kNoDllText =
    L"Halvern Diagnostics failed to load the message for NoSuchProvider.  The provider's resource file could not "
    L"be found.  The resource id was 1001.";

ComPtr<CTAVDiagnosticLogItem> NewItem() { return MakeObject<CTAVDiagnosticLogItem>(); }


// A resource message of a provider without resource DLL, with an argument.
ComPtr<CTAVDiagnosticLogItem> ResourceItem() {
  ComPtr<CTAVDiagnosticLogItem> item = NewItem();
  PutText(item->Inner(), L"provider", L"NoSuchProvider");
  PutText(item->Inner(), L"location", L"Hall 3");
  PutLong(item->Inner(), L"msgtext", 1001);
  unique_variant list;
  list->vt = VT_ARRAY | VT_VARIANT;
  list->parray = SafeArrayCreateVector(VT_VARIANT, 0, 1);
  VARIANT arg;
  arg.vt = VT_I4;
  arg.lVal = 3;
  LONG index = 0;
  SafeArrayPutElement(list->parray, &index, &arg);
  Put(item->Inner(), L"arglist", *list.get());
  return item;
}

std::vector<uint8_t> Saved(CTAVDiagnosticLogItem* item) {
  ComPtr<IStream> stream;
  CreateStreamOnHGlobal(nullptr, TRUE, stream.put());
  EXPECT_EQ(S_OK, item->Save(stream.get(), FALSE));
  return StreamBytes(stream.get());
}

// Marshals through COM and returns the receiver and the whole marshal data.
ComPtr<ITAVDiagnosticLogItemEx> RoundTrip(CTAVDiagnosticLogItem* item, DWORD context, std::vector<uint8_t>* data) {
  ComPtr<IStream> stream;
  CreateStreamOnHGlobal(nullptr, TRUE, stream.put());
  EXPECT_EQ(S_OK, CoMarshalInterface(stream.get(), IID_ITAVDiagnosticLogItemEx, item->Inner(), context, nullptr,
                                     MSHLFLAGS_NORMAL));
  if (data) *data = StreamBytes(stream.get());
  LARGE_INTEGER zero = {};
  stream->Seek(zero, STREAM_SEEK_SET, nullptr);
  ComPtr<ITAVDiagnosticLogItemEx> received;
  EXPECT_EQ(S_OK, CoUnmarshalInterface(stream.get(), IID_ITAVDiagnosticLogItemEx, received.put_void()));
  return received;
}

bool EndsWith(const std::vector<uint8_t>& data, const std::vector<uint8_t>& tail) {
  return data.size() >= tail.size() && std::equal(tail.begin(), tail.end(), data.end() - tail.size());
}

TEST_F(ItemMarshalTest, SameMachineKeepsTheResourceId) {
  ComPtr<CTAVDiagnosticLogItem> sender = ResourceItem();
  std::vector<uint8_t> data;
  ComPtr<ITAVDiagnosticLogItemEx> received = RoundTrip(sender.get(), MSHCTX_LOCAL, &data);
  ASSERT_TRUE(received);
  // A new object of the registered library, not the sender.
  EXPECT_NE(static_cast<IUnknown*>(sender->Inner()), static_cast<IUnknown*>(received.get()));
  EXPECT_FALSE(CTAVDiagnosticLogItem::FromInterface(received.get()));
  Held message = GetValue(received.get(), L"msgtext");
  EXPECT_EQ(VT_I4, message->vt);
  EXPECT_EQ(1001, message->lVal);
  // The marshal data carries the item stream as it is.
  EXPECT_TRUE(EndsWith(data, Saved(sender.get()))) << Hex(data);
  ComPtr<IErrorInfo> info;
  received->QueryInterface(IID_IErrorInfo, info.put_void());
  unique_bstr description;
  ASSERT_EQ(S_OK, info->GetDescription(description.put()));
  EXPECT_FALSE(std::wstring(description.get()).empty());
}

TEST_F(ItemMarshalTest, DifferentMachineGetsTheFormattedText) {
  ComPtr<CTAVDiagnosticLogItem> sender = ResourceItem();
  const std::vector<uint8_t> before = Saved(sender.get());

  DWORD measured = 0;
  ASSERT_EQ(S_OK, sender->GetMarshalSizeMax(IID_IUnknown, nullptr, MSHCTX_DIFFERENTMACHINE, nullptr,
                                            MSHLFLAGS_NORMAL, &measured));
  ComPtr<IStream> direct;
  CreateStreamOnHGlobal(nullptr, TRUE, direct.put());
  ASSERT_EQ(S_OK, sender->MarshalInterface(direct.get(), IID_IUnknown, nullptr, MSHCTX_DIFFERENTMACHINE, nullptr,
                                           MSHLFLAGS_NORMAL));
  EXPECT_EQ(StreamBytes(direct.get()).size(), measured);
  EXPECT_EQ(before.size() + 2 * kNoDllText.size(), measured);

  std::vector<uint8_t> data;
  ComPtr<ITAVDiagnosticLogItemEx> received = RoundTrip(sender.get(), MSHCTX_DIFFERENTMACHINE, &data);
  ASSERT_TRUE(received);
  Held message = GetValue(received.get(), L"msgtext");
  ASSERT_EQ(VT_BSTR, message->vt);
  EXPECT_EQ(kNoDllText, std::wstring(message->bstrVal));
  EXPECT_TRUE(EndsWith(data, StreamBytes(direct.get())));
  // The arguments travel as well.
  Held args = GetValue(received.get(), L"arglist");
  ASSERT_EQ(VT_ARRAY | VT_VARIANT, args->vt);
  LONG upper = -1;
  SafeArrayGetUBound(args->parray, 1, &upper);
  EXPECT_EQ(0, upper);

  // The sender is as it was.
  message = GetValue(sender->Inner(), L"msgtext");
  EXPECT_EQ(VT_I4, message->vt);
  EXPECT_EQ(1001, message->lVal);
  EXPECT_EQ(L"", sender->MessageText());
  EXPECT_EQ(Hex(before), Hex(Saved(sender.get())));
}

TEST_F(ItemMarshalTest, TextMessageMarshalsTheSameForEveryContext) {
  ComPtr<CTAVDiagnosticLogItem> item = NewItem();
  PutText(item->Inner(), L"msgtext", L"Started");
  PutText(item->Inner(), L"provider", L"NoSuchProvider");
  const std::vector<uint8_t> saved = Saved(item.get());
  for (DWORD context : {MSHCTX_LOCAL, MSHCTX_NOSHAREDMEM, MSHCTX_DIFFERENTMACHINE, MSHCTX_INPROC}) {
    CLSID unmarshalClass = CLSID_NULL;
    EXPECT_EQ(S_OK, item->GetUnmarshalClass(IID_IUnknown, nullptr, context, nullptr, MSHLFLAGS_NORMAL,
                                            &unmarshalClass));
    EXPECT_TRUE(IsEqualCLSID(CLSID_TAVDiagnosticLogItem, unmarshalClass)) << "context " << context;
    DWORD size = 0;
    EXPECT_EQ(S_OK, item->GetMarshalSizeMax(IID_IErrorInfo, nullptr, context, nullptr, MSHLFLAGS_TABLESTRONG, &size));
    EXPECT_EQ(saved.size(), size) << "context " << context;
    ComPtr<IStream> stream;
    CreateStreamOnHGlobal(nullptr, TRUE, stream.put());
    EXPECT_EQ(S_OK, item->MarshalInterface(stream.get(), IID_IErrorInfo, nullptr, context, nullptr,
                                           MSHLFLAGS_TABLEWEAK));
    EXPECT_EQ(Hex(saved), Hex(StreamBytes(stream.get()))) << "context " << context;
  }
  EXPECT_EQ(E_POINTER, item->GetUnmarshalClass(IID_IUnknown, nullptr, 0, nullptr, 0, nullptr));
  EXPECT_EQ(E_POINTER, item->GetMarshalSizeMax(IID_IUnknown, nullptr, 0, nullptr, 0, nullptr));
  EXPECT_EQ(S_OK, item->ReleaseMarshalData(nullptr));
  EXPECT_EQ(S_OK, item->DisconnectObject(0));
}

TEST_F(ItemMarshalTest, FailedMarshalRestoresTheMessageAndReleasesTheItem) {
  ComPtr<CTAVDiagnosticLogItem> sender = ResourceItem();
  VARIANT null;
  null.vt = VT_NULL;
  unique_variant list;
  list->vt = VT_ARRAY | VT_VARIANT;
  list->parray = SafeArrayCreateVector(VT_VARIANT, 0, 1);
  LONG index = 0;
  SafeArrayPutElement(list->parray, &index, &null);
  Put(sender->Inner(), L"arglist", *list.get());

  ComPtr<IStream> stream;
  CreateStreamOnHGlobal(nullptr, TRUE, stream.put());
  EXPECT_EQ(DISP_E_TYPEMISMATCH, sender->MarshalInterface(stream.get(), IID_IUnknown, nullptr,
                                                          MSHCTX_DIFFERENTMACHINE, nullptr, MSHLFLAGS_NORMAL));
  DWORD size = 0;
  EXPECT_EQ(DISP_E_TYPEMISMATCH, sender->GetMarshalSizeMax(IID_IUnknown, nullptr, MSHCTX_DIFFERENTMACHINE, nullptr,
                                                           MSHLFLAGS_NORMAL, &size));
  ComPtr<IStream> viaCom;
  CreateStreamOnHGlobal(nullptr, TRUE, viaCom.put());
  EXPECT_TRUE(FAILED(CoMarshalInterface(viaCom.get(), IID_IUnknown, sender->Inner(), MSHCTX_DIFFERENTMACHINE,
                                        nullptr, MSHLFLAGS_NORMAL)));
  EXPECT_EQ(1001, sender->MessageId());
  EXPECT_EQ(L"", sender->MessageText());
  // Another thread can take the item's lock again.
  long seen = 0;
  std::thread other([&] { seen = sender->MessageId(); });
  other.join();
  EXPECT_EQ(1001, seen);
}

TEST_F(ItemMarshalTest, UnmarshalFailsWithTheLoadOrInterfaceError) {
  ComPtr<CTAVDiagnosticLogItem> receiver = NewItem();
  void* out = reinterpret_cast<void*>(1);
  ComPtr<IStream> empty;
  CreateStreamOnHGlobal(nullptr, TRUE, empty.put());
  EXPECT_EQ(E_FAIL, receiver->UnmarshalInterface(empty.get(), IID_IUnknown, &out));
  EXPECT_EQ(nullptr, out);

  ComPtr<CTAVDiagnosticLogItem> sender = NewItem();
  ComPtr<IStream> data;
  CreateStreamOnHGlobal(nullptr, TRUE, data.put());
  sender->Save(data.get(), FALSE);
  LARGE_INTEGER zero = {};
  data->Seek(zero, STREAM_SEEK_SET, nullptr);
  out = reinterpret_cast<void*>(1);
  EXPECT_EQ(E_NOINTERFACE, receiver->UnmarshalInterface(data.get(), IID_IStream, &out));
  EXPECT_EQ(nullptr, out);
  data->Seek(zero, STREAM_SEEK_SET, nullptr);
  EXPECT_EQ(S_OK, receiver->UnmarshalInterface(data.get(), IID_IErrorInfo, &out));
  ASSERT_NE(nullptr, out);
  static_cast<IUnknown*>(out)->Release();
}

}  // namespace
}  // namespace hv
