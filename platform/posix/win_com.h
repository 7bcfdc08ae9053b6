// COM and OLE Automation emulated on POSIX: identifiers, HRESULTs, the IUnknown / IDispatch slot
// layout, class creation through the machine's class registry, error information and VARIANTs.
// The system includes platform/win_com.h, never this file.
//
// Interfaces are C++ abstract classes whose virtual functions sit in slot order, with no virtual
// destructor, so the method table matches the COM one. In-process servers are shared libraries
// named in <root>/com/classes.ini ("{CLSID}=<Windows path of the library>" lines).
#pragma once

#include <cstring>
#include <string>
#include "platform/win_base.h"

// Interface slots and server exports carry the COM calling convention; here it is the
// compiler's only one. A server's exports leave its library (its other symbols stay hidden).
#ifndef STDMETHODCALLTYPE
#define STDMETHODCALLTYPE
#endif
#define STDAPICALLTYPE
#define STDAPI extern "C" __attribute__((visibility("default"))) HRESULT

// ---- identifiers ---------------------------------------------------------------------------
typedef struct GUID {
    DWORD Data1;
    WORD Data2;
    WORD Data3;
    BYTE Data4[8];
} GUID;
typedef GUID IID;
typedef GUID CLSID;
typedef const GUID& REFGUID;
typedef const IID& REFIID;
typedef const CLSID& REFCLSID;

inline bool IsEqualGUID(REFGUID a, REFGUID b) {
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}
#define IsEqualIID(a, b) IsEqualGUID(a, b)
#define IsEqualCLSID(a, b) IsEqualGUID(a, b)

typedef DWORD LCID;
typedef LONG DISPID;
typedef WORD VARTYPE;
typedef short VARIANT_BOOL;
typedef OLECHAR* LPOLESTR;
#define OLESTR(text) u##text
#define VARIANT_TRUE ((VARIANT_BOOL)-1)
#define VARIANT_FALSE ((VARIANT_BOOL)0)

// Text form "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" (upper-case hex, 38 characters + NUL).
void guidToText(REFGUID guid, char out[39]);
// Parses that form (braces required, either case). False for anything else.
bool textToGuid(const char* text, GUID* out);

// ---- HRESULTs ------------------------------------------------------------------------------
#define E_NOTIMPL ((HRESULT)0x80004001)
#define E_NOINTERFACE ((HRESULT)0x80004002)
#define E_POINTER ((HRESULT)0x80004003)
#define E_ABORT ((HRESULT)0x80004004)
#define E_UNEXPECTED ((HRESULT)0x8000FFFF)
#define CLASS_E_NOAGGREGATION ((HRESULT)0x80040110)
#define CLASS_E_CLASSNOTAVAILABLE ((HRESULT)0x80040111)
#define REGDB_E_CLASSNOTREG ((HRESULT)0x80040154)
#define CO_E_NOTINITIALIZED ((HRESULT)0x800401F0)
#define CO_E_ERRORINDLL ((HRESULT)0x800401F9)
#define DISP_E_UNKNOWNNAME ((HRESULT)0x80020006)
#define DISP_E_BADVARTYPE ((HRESULT)0x80020008)
#define FACILITY_WIN32 7
inline HRESULT HRESULT_FROM_WIN32(DWORD code) {
    return code == 0 ? (HRESULT)0 : (HRESULT)((code & 0x0000FFFFu) | (FACILITY_WIN32 << 16) | 0x80000000u);
}

// ---- class contexts ------------------------------------------------------------------------
#define CLSCTX_INPROC_SERVER 0x1u
#define CLSCTX_INPROC_HANDLER 0x2u
#define CLSCTX_LOCAL_SERVER 0x4u
#define CLSCTX_REMOTE_SERVER 0x10u
#define CLSCTX_ALL (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER)

// ---- VARIANT -------------------------------------------------------------------------------
#define VT_EMPTY 0
#define VT_NULL 1
#define VT_I4 3
#define VT_BSTR 8
#define VT_BOOL 11
typedef struct VARIANT {
    VARTYPE vt;
    WORD wReserved1, wReserved2, wReserved3;
    union {
        LONG lVal;
        VARIANT_BOOL boolVal;
        BSTR bstrVal;
        struct {
            void* pvRecord;
            void* pRecInfo;
        } brecVal;  // keeps the union two pointers wide
    };
} VARIANT;
typedef VARIANT VARIANTARG;
void VariantInit(VARIANT* v);
// Frees what the VARIANT owns (its BSTR) and leaves it VT_EMPTY.
HRESULT VariantClear(VARIANT* v);

// ---- interfaces ----------------------------------------------------------------------------
extern const IID IID_IUnknown;
extern const IID IID_IDispatch;
extern const IID IID_IClassFactory;
extern const IID IID_ISupportErrorInfo;
extern const IID IID_IErrorInfo;
extern const IID IID_ICreateErrorInfo;

class IUnknown {
  public:
    virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) = 0;
    virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
    virtual ULONG STDMETHODCALLTYPE Release() = 0;
};

struct ITypeInfo;  // never handed out here
typedef struct DISPPARAMS {
    VARIANTARG* rgvarg;
    DISPID* rgdispidNamedArgs;
    UINT cArgs;
    UINT cNamedArgs;
} DISPPARAMS;
typedef struct EXCEPINFO {
    WORD wCode, wReserved;
    BSTR bstrSource, bstrDescription, bstrHelpFile;
    DWORD dwHelpContext;
    void* pvReserved;
    void* pfnDeferredFillIn;
    HRESULT scode;
} EXCEPINFO;

class IDispatch : public IUnknown {
  public:
    virtual HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                                                    DISPID* ids) = 0;
    virtual HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags,
                                             DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception,
                                             UINT* argError) = 0;
};

class IClassFactory : public IUnknown {
  public:
    virtual HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** object) = 0;
    virtual HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) = 0;
};

class ISupportErrorInfo : public IUnknown {
  public:
    virtual HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID riid) = 0;
};

class IErrorInfo : public IUnknown {
  public:
    virtual HRESULT STDMETHODCALLTYPE GetGUID(GUID* guid) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetSource(BSTR* source) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetDescription(BSTR* description) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetHelpFile(BSTR* helpFile) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetHelpContext(DWORD* helpContext) = 0;
};

class ICreateErrorInfo : public IUnknown {
  public:
    virtual HRESULT STDMETHODCALLTYPE SetGUID(REFGUID guid) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetSource(LPOLESTR source) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetDescription(LPOLESTR description) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetHelpFile(LPOLESTR helpFile) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetHelpContext(DWORD helpContext) = 0;
};

// ---- the COM library -----------------------------------------------------------------------
// Per thread, counted: S_OK the first time on a thread, S_FALSE after.
HRESULT CoInitialize(LPVOID reserved);
void CoUninitialize(void);
// Only in-process servers exist here: a context without CLSCTX_INPROC_SERVER finds no class.
// Aggregation is not offered (CLASS_E_NOAGGREGATION). The thread must have called CoInitialize.
HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD clsContext, REFIID riid, LPVOID* object);
HRESULT CoGetClassObject(REFCLSID clsid, DWORD clsContext, LPVOID reserved, REFIID riid, LPVOID* object);
// In-process objects are running once created; checks the pointer only.
HRESULT OleRun(IUnknown* unknown);

// Error information, one object per thread. GetErrorInfo hands the object over (S_FALSE and NULL
// when there is none) and clears the slot; it also collects what the in-process servers this
// copy of the layer loaded have set on this thread.
HRESULT SetErrorInfo(ULONG reserved, IErrorInfo* info);
HRESULT GetErrorInfo(ULONG reserved, IErrorInfo** info);
HRESULT CreateErrorInfo(ICreateErrorInfo** info);

// An in-process server's exports, looked up by name in the library:
//   STDAPI DllGetClassObject(REFCLSID, REFIID, LPVOID*)        (required)
//   STDAPI DllCanUnloadNow(void)                                 (optional)
//   IErrorInfo* DllTakeThreadErrorInfo(void)                     (optional)
// Every copy of this layer keeps its own error slot, so a server built with it exports
// DllTakeThreadErrorInfo (KVLB_COM_SERVER_ERRORINFO_EXPORT) and the caller's GetErrorInfo
// takes the server's error object from there, as one shared OLE library would.
typedef HRESULT(STDAPICALLTYPE* DllGetClassObjectFunc)(REFCLSID, REFIID, LPVOID*);
typedef IErrorInfo* (*DllTakeThreadErrorInfoFunc)(void);
namespace platform {
IErrorInfo* takeThreadErrorInfo();
}
#define KVLB_COM_SERVER_ERRORINFO_EXPORT                                                         \
    extern "C" __attribute__((visibility("default"))) IErrorInfo* DllTakeThreadErrorInfo(void) { \
        return platform::takeThreadErrorInfo();                                                  \
    }

// ---- the class registry of the machine -----------------------------------------------------
namespace platform {
// Writes "{CLSID}=<library>" into <root>/com/classes.ini, replacing an entry of the same class.
// library is a Windows path (Z:\ reaches the host's /); a host path beginning with "/" is taken
// as Z: + that path. False when the file cannot be written.
bool registerComServer(REFCLSID clsid, const char* library);
bool unregisterComServer(REFCLSID clsid);
// The registered library's Windows path, or "" when the class is not registered.
std::string registeredComServer(REFCLSID clsid);
}  // namespace platform
