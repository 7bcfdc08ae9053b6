// COM and OLE Automation as the system uses them: identifiers, HRESULTs, IUnknown / IDispatch,
// class creation, error information, VARIANTs, and the COM support classes (the BSTR holder and
// the COM error exception). Every COM method is declared STDMETHODCALLTYPE, which is __stdcall on
// 32-bit Windows.
//
// The Windows build takes COM from the system (ole32, oleaut32); the Linux build from the POSIX
// emulation in platform/posix/. The COM support classes are this project's own in both builds
// (platform/com_support.cpp): mingw-w64 ships the compiler's headers for them but not their
// library, and the system relies on the holder's own members.
#pragma once

#ifdef _WIN32
#include "platform/win_base.h"
#include <objbase.h>
#include <oleauto.h>
// One OLE library serves every module of the process, so a server hands nothing over.
#define KVLB_COM_SERVER_ERRORINFO_EXPORT
#else
#include "platform/posix/win_com.h"
#endif

#include "platform/bstr.h"

// The exception a failed COM call is turned into: the HRESULT and, where the object gave it,
// its error information (held with one reference).
class _com_error {
  public:
    explicit _com_error(HRESULT hr, IErrorInfo* info = nullptr, bool addRef = false);
    _com_error(const _com_error& other);
    _com_error& operator=(const _com_error& other);
    ~_com_error();
    HRESULT Error() const { return hr_; }
    // With one new reference, or NULL.
    IErrorInfo* ErrorInfo() const;
    _bstr_t Description() const;
    _bstr_t Source() const;

  private:
    HRESULT hr_;
    IErrorInfo* info_;
};

// Throws _com_error(hr) without error information.
[[noreturn]] void _com_issue_error(HRESULT hr);
// Throws _com_error(hr) with the thread's error information when unknown says through
// ISupportErrorInfo that it gives error information for riid.
[[noreturn]] void _com_issue_errorex(HRESULT hr, IUnknown* unknown, REFIID riid);
