// The stand-in signing component: an in-process COM server offering ISigningComponent's 68
// methods. It journals every call, answers in the fixed way README.md describes and fails a
// chosen method when its settings say so. On Windows it registers itself (regsvr32).
#include "component/signing_component.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "component/component_journal.h"
#ifdef _WIN32
#include <olectl.h>

#include <initializer_list>
#else
#include "platform/root.h"
#endif

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
#ifdef _WIN32
using SettingEntries = std::vector<std::pair<std::string, std::string>>;

std::string trimmed(const std::string& text) {
    size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// The settings file is read again only when its time or size changed, or while it is fresh: two
// rewrites of one size within a step of the file system's clock leave both as they were.
std::shared_ptr<const SettingEntries> settingsSnapshot() {
    static std::mutex lock;
    static std::shared_ptr<const SettingEntries> cached;
    static std::filesystem::file_time_type cachedTime;
    static std::uintmax_t cachedSize = 0;
    std::filesystem::path path = componentSettingsPath();
    std::error_code ec;
    auto time = std::filesystem::last_write_time(path, ec);
    if (ec) return nullptr;
    std::uintmax_t size = std::filesystem::file_size(path, ec);
    if (ec) return nullptr;
    const bool fresh = std::filesystem::file_time_type::clock::now() - time < std::chrono::seconds(2);
    std::lock_guard<std::mutex> guard(lock);
    if (cached && !fresh && time == cachedTime && size == cachedSize) return cached;
    auto entries = std::make_shared<SettingEntries>();
    std::ifstream in(path, std::ios::binary);
    for (std::string line; std::getline(in, line);) {
        size_t eq = line.find('=');
        if (eq != std::string::npos)
            entries->emplace_back(trimmed(line.substr(0, eq)), trimmed(line.substr(eq + 1)));
    }
    cached = entries;
    cachedTime = time;
    cachedSize = size;
    return cached;
}

// The last line naming the key wins.
std::string settingOf(const SettingEntries* settings, const char* key) {
    std::string value = kUnset;
    if (settings)
        for (const auto& [name, text] : *settings)
            if (name == key) value = text;
    return value;
}
#else
using platform::SettingEntries;
using platform::settingsSnapshot;

std::string settingOf(const SettingEntries* settings, const char* key) {
    return platform::settingIn(settings, key, kUnset);
}
#endif
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

#ifdef _WIN32
// Opened for each line and shared with every reader and deleter, so a test may read or remove
// the journal while the component is loaded; one write per line keeps lines of concurrent
// processes whole.
void appendJournal(const std::string& line) {
    std::lock_guard<std::mutex> lock(g_journalLock);
    std::error_code ec;
    std::filesystem::create_directories(componentFolder(), ec);
    HANDLE file = CreateFileW(componentJournalPath().c_str(), FILE_APPEND_DATA,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    std::string whole = line + "\n";
    DWORD written = 0;
    WriteFile(file, whole.data(), (DWORD)whole.size(), &written, nullptr);
    CloseHandle(file);
}
#else
// The journal stays open between calls: a call costs a stat (the root may change between test
// cases, and a test may remove the journal) and a flushed write, not an open and a close.
void appendJournal(const std::string& line) {
    static FILE* journal = nullptr;
    static std::filesystem::path journalPath;
    std::lock_guard<std::mutex> lock(g_journalLock);
    std::filesystem::path path = componentJournalPath();
    std::error_code ec;
    bool same = journal && path == journalPath && std::filesystem::exists(path, ec);
    if (!same) {
        if (journal) std::fclose(journal);
        journal = nullptr;
        std::filesystem::create_directories(componentFolder(), ec);
        journal = std::fopen(path.c_str(), "ab");
        if (!journal) return;
        journalPath = path;
    }
    std::fwrite(line.data(), 1, line.size(), journal);
    std::fputc('\n', journal);
    std::fflush(journal);
}
#endif

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

HRESULT failureHresult(const SettingEntries* settings) {
    std::string text = settingOf(settings, "component_fail_hresult");
    if (!isSet(text) || text.empty()) return E_FAIL;
    HRESULT hr = (HRESULT)(uint32_t)std::strtoul(text.c_str(), nullptr, 0);
    return FAILED(hr) ? hr : E_FAIL;
}

bool failing(const SettingEntries* settings, const char* method) {
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
    auto snapshot = settingsSnapshot();
    const SettingEntries* settings = snapshot.get();
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
                 settingOf(settingsSnapshot().get(), "component_errorinfo") != "off")
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

#ifdef _WIN32
// ---- registration (regsvr32) ----------------------------------------------------------------
// HKCR\CLSID\{class} names the class and its in-process server, this library, whose objects
// may live in any apartment (they guard their own state). HKCR\Interface\{interface} names the
// interface and its method count; it has no type library, so it is reached in-process only.
namespace {

HMODULE g_module = nullptr;

std::wstring guidText(REFGUID guid) {
    wchar_t text[40] = {};
    return StringFromGUID2(guid, text, 40) > 0 ? std::wstring(text) : std::wstring();
}

bool setText(HKEY root, const std::wstring& key, const wchar_t* name, const std::wstring& value) {
    HKEY opened = nullptr;
    if (RegCreateKeyExW(root, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &opened, nullptr) !=
        ERROR_SUCCESS)
        return false;
    LONG status = RegSetValueExW(opened, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                 (DWORD)((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(opened);
    return status == ERROR_SUCCESS;
}

// Keys are deleted leaves first; a key that is already gone counts as deleted.
bool deleteKeys(std::initializer_list<std::wstring> keys) {
    bool ok = true;
    for (const auto& key : keys) {
        LONG status = RegDeleteKeyW(HKEY_CLASSES_ROOT, key.c_str());
        ok = ok && (status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND);
    }
    return ok;
}

std::wstring classKey() {
    return L"CLSID\\" + guidText(CLSID_SigningComponent);
}
std::wstring interfaceKey() {
    return L"Interface\\" + guidText(IID_ISigningComponent);
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        g_module = instance;
        DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}

STDAPI DllRegisterServer(void) {
    wchar_t path[MAX_PATH] = {};
    DWORD length = GetModuleFileNameW(g_module, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
    const std::wstring server = classKey() + L"\\InprocServer32";
    bool ok = setText(HKEY_CLASSES_ROOT, classKey(), nullptr, L"SigningComponent") &&
              setText(HKEY_CLASSES_ROOT, server, nullptr, path) &&
              setText(HKEY_CLASSES_ROOT, server, L"ThreadingModel", L"Both");
    if (!ok) return SELFREG_E_CLASS;
    ok = setText(HKEY_CLASSES_ROOT, interfaceKey(), nullptr, L"ISigningComponent") &&
         setText(HKEY_CLASSES_ROOT, interfaceKey() + L"\\NumMethods", nullptr,
                 std::to_wstring(7 + kSigningComponentMethodCount));
    return ok ? S_OK : SELFREG_E_TYPELIB;
}

STDAPI DllUnregisterServer(void) {
    bool ok = deleteKeys({classKey() + L"\\InprocServer32", classKey()});
    ok = deleteKeys({interfaceKey() + L"\\NumMethods", interfaceKey()}) && ok;
    return ok ? S_OK : SELFREG_E_CLASS;
}
#endif
