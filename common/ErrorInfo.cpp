#include "common/ErrorInfo.h"

#include <oaidl.h>
#include <oleauto.h>

#include "common/ComPtr.h"

namespace hv {

void ReportError(const wchar_t* description) {
  ComPtr<ICreateErrorInfo> create;
  if (FAILED(CreateErrorInfo(create.put()))) return;
  create->SetDescription(const_cast<LPOLESTR>(description));
  create->SetSource(const_cast<LPOLESTR>(kErrorSource));
  ComPtr<IErrorInfo> info = create.query<IErrorInfo>();
  if (info) SetErrorInfo(0, info.get());
}

}  // namespace hv
