// COM on POSIX: in-process servers are shared libraries found through the machine's class
// registry; error information lives in a per-thread slot.
#include "platform/win_com.h"

#include <dlfcn.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "platform/root.h"
#include "platform/posix/win_internal.h"

const IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID IID_IDispatch = {0x00020400, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID IID_IClassFactory = {0x00000001, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID IID_ISupportErrorInfo = {
    0xDF0B3D60, 0x548F, 0x101B, {0x8E, 0x65, 0x08, 0x00, 0x2B, 0x2B, 0xD1, 0x19}};
const IID IID_IErrorInfo = {0x1CF2B120, 0x547D, 0x101B, {0x8E, 0x65, 0x08, 0x00, 0x2B, 0x2B, 0xD1, 0x19}};
const IID IID_ICreateErrorInfo = {
    0x22F03340, 0x547D, 0x101B, {0x8E, 0x65, 0x08, 0x00, 0x2B, 0x2B, 0xD1, 0x19}};

// ---- identifiers ---------------------------------------------------------------------------
void guidToText(REFGUID g, char out[39]) {
    std::snprintf(out, 39, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", (unsigned)g.Data1,
                  (unsigned)g.Data2, (unsigned)g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3],
                  g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
}

static int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool textToGuid(const char* text, GUID* out) {
    if (!text || !out || std::strlen(text) != 38 || text[0] != '{' || text[37] != '}') return false;
    // Positions of the dashes in the braced form; every other character is a hex digit.
    uint8_t bytes[16];
    int n = 0;
    for (int i = 1; i < 37;) {
        if (i == 9 || i == 14 || i == 19 || i == 24) {
            if (text[i] != '-') return false;
            ++i;
            continue;
        }
        int hi = hexDigit(text[i]), lo = hexDigit(text[i + 1]);
        if (hi < 0 || lo < 0 || i + 1 == 9 || i + 1 == 14 || i + 1 == 19 || i + 1 == 24) return false;
        bytes[n++] = (uint8_t)(hi * 16 + lo);
        i += 2;
    }
    if (n != 16) return false;
    out->Data1 = (DWORD)bytes[0] << 24 | (DWORD)bytes[1] << 16 | (DWORD)bytes[2] << 8 | bytes[3];
    out->Data2 = (WORD)(bytes[4] << 8 | bytes[5]);
    out->Data3 = (WORD)(bytes[6] << 8 | bytes[7]);
    std::memcpy(out->Data4, bytes + 8, 8);
    return true;
}

// ---- VARIANT -------------------------------------------------------------------------------
void VariantInit(VARIANT* v) {
    if (!v) return;
    std::memset(v, 0, sizeof *v);
    v->vt = VT_EMPTY;
}

HRESULT VariantClear(VARIANT* v) {
    if (!v) return E_INVALIDARG;
    switch (v->vt) {
        case VT_EMPTY:
        case VT_NULL:
        case VT_I4:
        case VT_BOOL:
            break;
        case VT_BSTR:
            SysFreeString(v->bstrVal);
            break;
        default:
            return DISP_E_BADVARTYPE;
    }
    VariantInit(v);
    return S_OK;
}

// ---- the COM library -----------------------------------------------------------------------
static thread_local int t_comInitCount = 0;

HRESULT CoInitialize(LPVOID) {
    return t_comInitCount++ == 0 ? S_OK : S_FALSE;
}

void CoUninitialize(void) {
    if (t_comInitCount > 0) --t_comInitCount;
}

namespace {

// Servers this copy of the layer has loaded; kept open for the life of the process, as COM
// keeps in-process servers until the program frees unused libraries.
std::mutex g_serversLock;
std::vector<void*>& g_servers = platform::keptState<std::vector<void*>>();

std::string registryPath() {
    return platform::rootDir() + "/com/classes.ini";
}

std::vector<std::string> readRegistryLines() {
    std::vector<std::string> lines;
    std::ifstream in(registryPath());
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

bool writeRegistryLines(const std::vector<std::string>& lines) {
    std::error_code ec;
    std::filesystem::create_directories(platform::rootDir() + "/com", ec);
    std::string tmp = registryPath() + ".tmp";
    {
        std::ofstream out(tmp, std::ios::trunc);
        if (!out) return false;
        for (const auto& l : lines) out << l << "\n";
        if (!out.flush()) return false;
    }
    // Readers in other processes see either the old or the new file, never half of one.
    std::filesystem::rename(tmp, registryPath(), ec);
    return !ec;
}

bool lineIsClass(const std::string& line, REFCLSID clsid) {
    auto eq = line.find('=');
    if (eq != 38) return false;
    GUID g;
    return textToGuid(line.substr(0, 38).c_str(), &g) && IsEqualGUID(g, clsid);
}

// Windows path of a registered library to the host path dlopen needs.
bool libraryHostPath(const std::string& windowsPath, std::string* host) {
    if (windowsPath.size() >= 3 && (windowsPath[0] == 'Z' || windowsPath[0] == 'z') &&
        windowsPath[1] == ':' && (windowsPath[2] == '\\' || windowsPath[2] == '/')) {
        std::string p = windowsPath.substr(2);
        for (auto& c : p)
            if (c == '\\') c = '/';
        *host = p;
        return true;
    }
    std::wstring wide;
    for (unsigned char c : windowsPath) {
        if (c >= 0x80) return false;  // registered paths are written by registerComServer in ASCII
        wide.push_back((wchar_t)c);
    }
    char buffer[4096];
    if (!winPathToHost(wide.c_str(), buffer, sizeof buffer)) return false;
    *host = buffer;
    return true;
}

}  // namespace

namespace platform {

bool registerComServer(REFCLSID clsid, const char* library) {
    if (!library || !*library) return false;
    std::string path = library;
    if (path[0] == '/') {
        for (auto& c : path)
            if (c == '/') c = '\\';
        path = "Z:" + path;
    }
    char id[39];
    guidToText(clsid, id);
    std::vector<std::string> kept;
    for (auto& l : readRegistryLines())
        if (!lineIsClass(l, clsid)) kept.push_back(l);
    kept.push_back(std::string(id) + "=" + path);
    return writeRegistryLines(kept);
}

bool unregisterComServer(REFCLSID clsid) {
    std::vector<std::string> kept;
    bool found = false;
    for (auto& l : readRegistryLines()) {
        if (lineIsClass(l, clsid))
            found = true;
        else
            kept.push_back(l);
    }
    return found ? writeRegistryLines(kept) : true;
}

std::string registeredComServer(REFCLSID clsid) {
    for (auto& l : readRegistryLines())
        if (lineIsClass(l, clsid)) return l.substr(39);
    return "";
}

}  // namespace platform

HRESULT CoGetClassObject(REFCLSID clsid, DWORD clsContext, LPVOID, REFIID riid, LPVOID* object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (t_comInitCount == 0) return CO_E_NOTINITIALIZED;
    if (!(clsContext & CLSCTX_INPROC_SERVER)) return REGDB_E_CLASSNOTREG;
    std::string registered = platform::registeredComServer(clsid);
    if (registered.empty()) return REGDB_E_CLASSNOTREG;
    std::string host;
    if (!libraryHostPath(registered, &host)) return HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND);
    void* library = dlopen(host.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library) return HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND);
    auto getClassObject = reinterpret_cast<DllGetClassObjectFunc>(dlsym(library, "DllGetClassObject"));
    if (!getClassObject) {
        dlclose(library);
        return CO_E_ERRORINDLL;
    }
    {
        std::lock_guard<std::mutex> lock(g_serversLock);
        bool known = false;
        for (void* s : g_servers) known = known || s == library;
        if (known)
            dlclose(library);  // drop the extra reference; the first one stays
        else
            g_servers.push_back(library);
    }
    return getClassObject(clsid, riid, object);
}

HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD clsContext, REFIID riid, LPVOID* object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    IClassFactory* factory = nullptr;
    HRESULT hr =
        CoGetClassObject(clsid, clsContext, nullptr, IID_IClassFactory, reinterpret_cast<void**>(&factory));
    if (FAILED(hr)) return hr;
    if (!factory) return E_UNEXPECTED;
    hr = factory->CreateInstance(nullptr, riid, object);
    factory->Release();
    return hr;
}

HRESULT OleRun(IUnknown* unknown) {
    return unknown ? S_OK : E_INVALIDARG;
}

// ---- error information ---------------------------------------------------------------------
namespace {

thread_local IErrorInfo* t_errorInfo = nullptr;

BSTR copyBstr(const OLECHAR* text) {
    return text ? SysAllocStringLen(text, SysStringLen(const_cast<BSTR>(text))) : nullptr;
}

// One object serves both faces, as the system's error objects do.
class ErrorInfoObject final : public IErrorInfo, public ICreateErrorInfo {
  public:
    ~ErrorInfoObject() {
        SysFreeString(source_);
        SysFreeString(description_);
        SysFreeString(helpFile_);
    }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        if (!object) return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IErrorInfo)) {
            *object = static_cast<IErrorInfo*>(this);
        } else if (IsEqualIID(riid, IID_ICreateErrorInfo)) {
            *object = static_cast<ICreateErrorInfo*>(this);
        } else {
            *object = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override {
        ULONG left = --refs_;
        if (left == 0) delete this;
        return left;
    }
    HRESULT STDMETHODCALLTYPE GetGUID(GUID* guid) override {
        if (!guid) return E_INVALIDARG;
        *guid = guid_;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetSource(BSTR* out) override { return give(source_, out); }
    HRESULT STDMETHODCALLTYPE GetDescription(BSTR* out) override { return give(description_, out); }
    HRESULT STDMETHODCALLTYPE GetHelpFile(BSTR* out) override { return give(helpFile_, out); }
    HRESULT STDMETHODCALLTYPE GetHelpContext(DWORD* out) override {
        if (!out) return E_INVALIDARG;
        *out = helpContext_;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetGUID(REFGUID guid) override {
        guid_ = guid;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetSource(LPOLESTR text) override { return keep(&source_, text); }
    HRESULT STDMETHODCALLTYPE SetDescription(LPOLESTR text) override { return keep(&description_, text); }
    HRESULT STDMETHODCALLTYPE SetHelpFile(LPOLESTR text) override { return keep(&helpFile_, text); }
    HRESULT STDMETHODCALLTYPE SetHelpContext(DWORD context) override {
        helpContext_ = context;
        return S_OK;
    }

  private:
    static HRESULT give(BSTR held, BSTR* out) {
        if (!out) return E_INVALIDARG;
        *out = copyBstr(held);
        return held && !*out ? E_OUTOFMEMORY : S_OK;
    }
    // The texts set here are plain NUL-terminated strings, not necessarily BSTRs.
    static HRESULT keep(BSTR* slot, LPOLESTR text) {
        BSTR copy = text ? SysAllocString(text) : nullptr;
        if (text && !copy) return E_OUTOFMEMORY;
        SysFreeString(*slot);
        *slot = copy;
        return S_OK;
    }
    std::atomic<ULONG> refs_{1};
    GUID guid_{};
    BSTR source_ = nullptr;
    BSTR description_ = nullptr;
    BSTR helpFile_ = nullptr;
    DWORD helpContext_ = 0;
};

}  // namespace

HRESULT CreateErrorInfo(ICreateErrorInfo** info) {
    if (!info) return E_INVALIDARG;
    auto* object = new (std::nothrow) ErrorInfoObject();
    *info = object ? static_cast<ICreateErrorInfo*>(object) : nullptr;
    return object ? S_OK : E_OUTOFMEMORY;
}

HRESULT SetErrorInfo(ULONG, IErrorInfo* info) {
    if (info) info->AddRef();
    if (t_errorInfo) t_errorInfo->Release();
    t_errorInfo = info;
    return S_OK;
}

IErrorInfo* platform::takeThreadErrorInfo() {
    IErrorInfo* info = t_errorInfo;
    t_errorInfo = nullptr;
    return info;
}

HRESULT GetErrorInfo(ULONG, IErrorInfo** info) {
    if (!info) return E_INVALIDARG;
    *info = platform::takeThreadErrorInfo();
    // The servers' own copies of this layer hold what they set; the most recent is not known,
    // so the first server with an object answers and the others are cleared.
    std::vector<void*> servers;
    {
        std::lock_guard<std::mutex> lock(g_serversLock);
        servers = g_servers;
    }
    for (void* s : servers) {
        auto take = reinterpret_cast<DllTakeThreadErrorInfoFunc>(dlsym(s, "DllTakeThreadErrorInfo"));
        IErrorInfo* found = take ? take() : nullptr;
        if (!found) continue;
        if (*info)
            found->Release();
        else
            *info = found;
    }
    return *info ? S_OK : S_FALSE;
}
