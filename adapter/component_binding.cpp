// The binding to the signing component: its creation through COM and the conversions of its
// answers into the adapter's result text.
#include <charconv>
#include <cstdio>
#include <cstdlib>

#include "adapter/adapter.h"
#include "common/codec.h"
#include "common/log.h"
#include "common/text.h"

ISigningComponent* componentInterface = nullptr;

HRESULT createComponent() {
    if (componentInterface != nullptr) {
        componentInterface->Release();
        componentInterface = nullptr;
    }
    IUnknown* unknown = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_SigningComponent, nullptr, CLSCTX_ALL, IID_IUnknown,
                                  reinterpret_cast<void**>(&unknown));
    if (FAILED(hr) || unknown == nullptr) return FAILED(hr) ? hr : E_POINTER;
    hr = OleRun(unknown);
    if (SUCCEEDED(hr)) {
        void* found = nullptr;
        hr = unknown->QueryInterface(IID_ISigningComponent, &found);
        if (SUCCEEDED(hr)) componentInterface = static_cast<ISigningComponent*>(found);
    }
    unknown->Release();
    if (FAILED(hr)) componentInterface = nullptr;
    return hr;
}

char* intToText(int number) {
    char* text = static_cast<char*>(allocZeroed(64));
    if (text == nullptr) {
        reportAllocFail("Tool", 206);
        return nullptr;
    }
    std::snprintf(text, 64, "%d", number);
    return text;
}

char* numberToText(int number) {
    char digits[16];
    auto [end, ec] = std::to_chars(digits, digits + sizeof digits, number);
    if (ec != std::errc()) return nullptr;
    *end = '\0';
    char* text = copyString(digits);
    if (text == nullptr) reportAllocFail("Tool", 240);
    return text;
}

char* bstrHolderToUtf8(_bstr_t& holder) {
    char* text = holder.length() == 0 ? nullptr : bstrToUtf8(holder);
    holder = _bstr_t();
    return text;
}
