// The stand-in signing component: an in-process COM server offering ISigningComponent's 68
// methods. It journals every call, answers in the fixed way README.md describes and fails a
// chosen method when the machine's settings say so.
#include "component/signing_component.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <new>
#include <string>

#include "component/component_journal.h"
#include "platform/root.h"

namespace {

std::atomic<long> g_objects{0};
std::atomic<long> g_locks{0};
std::mutex g_journalLock;

const char* const kMethodNames[] = {
#define KVLB_METHOD_NAME(name, params, args) #name,
    KVLB_SIGNING_COMPONENT_METHODS(KVLB_METHOD_NAME)
#undef KVLB_METHOD_NAME
};
static_assert(sizeof kMethodNames / sizeof kMethodNames[0] == kSigningComponentMethodCount);

int methodIndex(const char* name) {
    for (int i = 0; i < kSigningComponentMethodCount; ++i)
        if (std::strcmp(kMethodNames[i], name) == 0) return i;
    return -1;
}

// Settings are read at every call, so a test can change them while the adapter runs; one call
// reads them once.
const char kUnset[] = "\x01";
std::string settingOf(const platform::SettingEntries* settings, const char* key) {
    return platform::settingIn(settings, key, kUnset);
}
bool isSet(const std::string& value) {
    return value != kUnset;
}

std::string bstrToJournalText(BSTR text) {
    UINT length = SysStringLen(text);
    if (length == 0) return "";
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text, (int)length, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return "";
    std::string out((size_t)bytes, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, (int)length, out.data(), bytes, nullptr, nullptr);
    return out;
}

BSTR utf8ToNewBstr(const std::string& text) {
    if (text.empty()) return SysAllocStringLen(nullptr, 0);
    int units = MultiByteToWideChar(CP_UTF8, 0, text.data(), (int)text.size(), (OLECHAR*)nullptr, 0);
    if (units <= 0) return nullptr;
    BSTR out = SysAllocStringLen(nullptr, (UINT)units);
    if (out) MultiByteToWideChar(CP_UTF8, 0, text.data(), (int)text.size(), out, units);
    return out;
}

// The journal stays open between calls: a call costs a stat (the root may change between test
// cases, and a test may remove the journal) and a flushed write, not an open and a close.
void appendJournal(const std::string& line) {
    static FILE* journal = nullptr;
    static std::string journalPath;
    std::lock_guard<std::mutex> lock(g_journalLock);
    std::string path = componentJournalPath();
    std::error_code ec;
    bool same = journal && path == journalPath && std::filesystem::exists(path, ec);
    if (!same) {
        if (journal) std::fclose(journal);
        journal = nullptr;
        std::filesystem::create_directories(platform::rootDir() + "/component", ec);
        journal = std::fopen(path.c_str(), "ab");
        if (!journal) return;
        journalPath = path;
    }
    std::fwrite(line.data(), 1, line.size(), journal);
    std::fputc('\n', journal);
    std::fflush(journal);
}

// What one call received and where its answer goes.
struct CallRecord {
    std::string line;
    LONG* outNumber = nullptr;
    BSTR* outText = nullptr;
    bool badOut = false;
};

void describe(CallRecord& r, BSTR text) {
    r.line += text ? "\tbstr:\"" + escapeJournalText(bstrToJournalText(text)) + "\"" : "\tbstr:null";
}
void describe(CallRecord& r, LONG number) {
    r.line += "\tint:" + std::to_string(number);
}
void describe(CallRecord& r, VARIANT v) {
    if (v.vt == VT_BSTR)
        r.line += v.bstrVal ? "\tvariant-bstr:\"" + escapeJournalText(bstrToJournalText(v.bstrVal)) + "\""
                            : "\tvariant-bstr:null";
    else
        r.line += "\tvariant:" + std::to_string(v.vt);
}
void describe(CallRecord& r, LONG* out) {
    r.outNumber = out;
    r.badOut = r.badOut || !out;
}
void describe(CallRecord& r, BSTR* out) {
    r.outText = out;
    r.badOut = r.badOut || !out;
}

HRESULT failureHresult(const platform::SettingEntries* settings) {
    std::string text = settingOf(settings, "component_fail_hresult");
    if (!isSet(text) || text.empty()) return E_FAIL;
    HRESULT hr = (HRESULT)(uint32_t)std::strtoul(text.c_str(), nullptr, 0);
    return FAILED(hr) ? hr : E_FAIL;
}

bool failing(const platform::SettingEntries* settings, const char* method) {
    std::string chosen = settingOf(settings, "component_fail");
    return isSet(chosen) && (chosen == "*" || chosen == method);
}

void setFailureInfo(const char* method) {
    ICreateErrorInfo* create = nullptr;
    if (FAILED(CreateErrorInfo(&create)) || !create) return;
    create->SetGUID(IID_ISigningComponent);
    BSTR source = utf8ToNewBstr("SigningComponent");
    BSTR description = utf8ToNewBstr(std::string(method) + " failed");
    create->SetSource(source);
    create->SetDescription(description);
    SysFreeString(source);
    SysFreeString(description);
    IErrorInfo* info = nullptr;
    if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info))) && info) {
        SetErrorInfo(0, info);
        info->Release();
    }
    create->Release();
}

template <typename... Args>
HRESULT answerCall(const char* method, Args... args) {
    CallRecord r;
    r.line = method;
    (describe(r, args), ...);
    appendJournal(r.line);
    if (r.badOut) return E_POINTER;
    auto snapshot = platform::settingsSnapshot();
    const platform::SettingEntries* settings = snapshot.get();
    if (failing(settings, method)) {
        setFailureInfo(method);
        return failureHresult(settings);
    }
    SetErrorInfo(0, nullptr);
    if (r.outNumber) {
        std::string number = settingOf(settings, "component_number");
        *r.outNumber =
            isSet(number) ? (LONG)std::strtol(number.c_str(), nullptr, 10) : 1000 + methodIndex(method);
    }
    if (r.outText) {
        std::string text = settingOf(settings, "component_text");
        if (!isSet(text))
            *r.outText = utf8ToNewBstr(std::string(method) + ":ok");
        else if (text == "(null)")
            *r.outText = nullptr;
        else
            *r.outText = utf8ToNewBstr(text);
        if (!*r.outText && text != "(null)") return E_OUTOFMEMORY;
    }
    return S_OK;
}

class SigningComponentObject final : public ISigningComponent, public ISupportErrorInfo {
  public:
    SigningComponentObject() { ++g_objects; }
    ~SigningComponentObject() { --g_objects; }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        if (!object) return E_POINTER;
        *object = nullptr;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) ||
            IsEqualIID(riid, IID_ISigningComponent))
            *object = static_cast<ISigningComponent*>(this);
        else if (IsEqualIID(riid, IID_ISupportErrorInfo) &&
                 settingOf(platform::settingsSnapshot().get(), "component_errorinfo") != "off")
            *object = static_cast<ISupportErrorInfo*>(this);
        else
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override {
        ULONG left = --refs_;
        if (left == 0) delete this;
        return left;
    }

    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
        if (!count) return E_POINTER;
        *count = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** info) override {
        if (info) *info = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return DISP_E_UNKNOWNNAME;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                     UINT*) override {
        return E_NOTIMPL;
    }

    HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID riid) override {
        return IsEqualIID(riid, IID_ISigningComponent) ? S_OK : S_FALSE;
    }

#define KVLB_IMPLEMENT_METHOD(name, params, args)    \
    HRESULT STDMETHODCALLTYPE name params override { \
        return answerCall(#name, KVLB_UNPAREN args); \
    }
#define KVLB_UNPAREN(...) __VA_ARGS__
    KVLB_SIGNING_COMPONENT_METHODS(KVLB_IMPLEMENT_METHOD)
#undef KVLB_IMPLEMENT_METHOD
#undef KVLB_UNPAREN

  private:
    std::atomic<ULONG> refs_{1};
};

class SigningComponentFactory final : public IClassFactory {
  public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        if (!object) return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
            *object = static_cast<IClassFactory*>(this);
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    // The factory is a static object of the library: counting it would only guard the library.
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** object) override {
        if (!object) return E_POINTER;
        *object = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        auto* created = new (std::nothrow) SigningComponentObject();
        if (!created) return E_OUTOFMEMORY;
        HRESULT hr = created->QueryInterface(riid, object);
        created->Release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        if (lock)
            ++g_locks;
        else
            --g_locks;
        return S_OK;
    }
};

SigningComponentFactory g_factory;

}  // namespace

STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, LPVOID* object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (!IsEqualCLSID(clsid, CLSID_SigningComponent)) return CLASS_E_CLASSNOTAVAILABLE;
    return g_factory.QueryInterface(riid, object);
}

STDAPI DllCanUnloadNow(void) {
    return g_objects == 0 && g_locks == 0 ? S_OK : S_FALSE;
}

KVLB_COM_SERVER_ERRORINFO_EXPORT
