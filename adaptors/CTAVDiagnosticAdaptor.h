// One installed adaptor as the Mux described it when the adaptor list was
// fetched: class id, name, the audiences and severities it handles, the
// severities enabled per audience, and the adaptor itself. Reading never talks
// to the Mux; changing the enabled severities sends the new flags and records
// the change as an audit message.
#pragma once
#include <windows.h>
#include <oaidl.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "HVMux.h"
#include "TAVDiagnostics.h"
#include "adaptors/AdaptorInfoRecord.h"
#include "common/ComObject.h"
#include "common/Dispatch.h"

namespace hv {

class CTAVDiagnosticAdaptor final : public DispatchImpl<ITAVDiagnosticAdaptor>, public ComObject {
 public:
  HV_COM_OBJECT(CTAVDiagnosticAdaptor)
  static const QIEntry kInterfaces[];

  CTAVDiagnosticAdaptor();

  // Filled once by the adaptor list, before the object is handed out. With
  // `flagsReply` a flag change waits for the Mux's result and returns it.
  void Fill(IMuxService* muxService, IMuxConnection* muxConnection, REFCLSID clsid,
            const AdaptorInfoRecord& record, IUnknown* adaptorInterface, bool flagsReply = false);

  // ITAVDiagnosticAdaptor
  STDMETHODIMP GetAdaptorInterface(IUnknown** ppUnk) override;
  STDMETHODIMP GetAdaptorSpecifics(TAVDiagAudience* peAudience, TAVDiagSeverity* peSeverity, BSTR* pclsid,
                                   BSTR* pbstrName, VARIANT_BOOL* bSupportReading) override;
  STDMETHODIMP GetMsgCategoryEnableFlags(TAVDiagAudience eAudience, TAVDiagSeverity* peSeverity) override;
  STDMETHODIMP SetMsgCategoryEnableFlags(TAVDiagAudience eAudience, TAVDiagSeverity eSeverity) override;

 private:
  ~CTAVDiagnosticAdaptor() override;

  // The text that tells what changed for one audience: the heading, then one
  // line per severity whose state changed.
  std::wstring ChangeText(uint32_t audience, uint8_t before, uint8_t after) const;

  // Enabled severities per audience: byte 0 VELTRA, 1 Dev, 2 Eng, 3 Op.
  // Callers may read them on one thread while another changes them.
  std::atomic<uint8_t> enableFlags_[4] = {};
  bool flagsReply_ = false;
  uint32_t audienceMask_ = 0;
  uint32_t severityMask_ = 0;
  CLSID adaptorClsid_ = {};
  std::wstring adaptorName_;
  // Released in the reverse order: the service first, the adaptor last.
  ComPtr<IUnknown> adaptorInterface_;
  ComPtr<IMuxConnection> muxConnection_;
  ComPtr<IMuxService> muxService_;  // held only, never called
};

}  // namespace hv
