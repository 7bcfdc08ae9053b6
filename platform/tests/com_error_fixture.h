// Error information for the COM tests of both builds: an object that says which interface gives
// it, and a thread error set the way a server sets it.
#pragma once
#include <gtest/gtest.h>

#include "platform/win_com.h"

namespace com_fixture {

inline const IID kSomeInterface = {
    0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};

// An object that gives error information for kSomeInterface only, when told to.
class ErrorSource final : public ISupportErrorInfo {
  public:
    explicit ErrorSource(bool supports) : supports_(supports) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        if (IsEqualIID(riid, IID_IUnknown) || (supports_ && IsEqualIID(riid, IID_ISupportErrorInfo))) {
            *object = static_cast<ISupportErrorInfo*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs; }
    HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID riid) override {
        return IsEqualIID(riid, kSomeInterface) ? S_OK : S_FALSE;
    }
    ULONG refs = 1;

  private:
    bool supports_;
};

inline void setThreadError(const OLECHAR* description) {
    ICreateErrorInfo* create = nullptr;
    ASSERT_EQ(CreateErrorInfo(&create), S_OK);
    create->SetDescription(const_cast<LPOLESTR>(description));
    create->SetSource(const_cast<LPOLESTR>(OLESTR("Tests")));
    create->SetGUID(kSomeInterface);
    IErrorInfo* info = nullptr;
    ASSERT_EQ(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)), S_OK);
    SetErrorInfo(0, info);
    info->Release();
    create->Release();
}

}  // namespace com_fixture
