// The COM support classes, this project's own in both builds: the BSTR holder and the COM error
// exception. Written over the COM and code-page calls that Windows and the emulation both offer.
#include "platform/win_com.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <new>

// The shared string block behind _bstr_t. The count is atomic because a holder may be copied
// into another thread (a handler's argument and the caller's copy), as COM's own is.
struct _bstr_t::Data {
    BSTR text = nullptr;
    // Narrow and wide forms are made on first request; two readers may both make one, the
    // first stored is kept and the other dropped.
    std::atomic<char*> narrow{nullptr};
    std::atomic<wchar_t*> wide{nullptr};
    std::atomic<unsigned long> refs{1};

    ~Data() {
        SysFreeString(text);
        free(narrow.load());
        free(wide.load());
    }
};

namespace {
// On Windows wchar_t is UTF-16 like BSTR and the text is copied. In the Linux build wchar_t is
// UTF-32: the two are converted directly, a code point that cannot be represented (a lone
// surrogate, beyond U+10FFFF) becoming U+FFFD as Windows does.
constexpr bool kWideIsUtf16 = sizeof(wchar_t) == sizeof(OLECHAR);

BSTR wideToBstr(const wchar_t* text) {
    if (text == nullptr) return nullptr;
    if constexpr (kWideIsUtf16) {
        size_t length = wcslen(text);
        if (length > 0x7FFFFFFFu) return nullptr;
        return SysAllocStringLen(reinterpret_cast<const OLECHAR*>(text), static_cast<UINT>(length));
    }
    size_t units = 0;
    for (const wchar_t* at = text; *at != L'\0'; ++at) {
        uint32_t c = static_cast<uint32_t>(*at);
        units += (c >= 0x10000u && c <= 0x10FFFFu) ? 2 : 1;
    }
    if (units > 0x7FFFFFFFu) return nullptr;
    BSTR result = SysAllocStringLen(nullptr, static_cast<UINT>(units));
    if (result == nullptr) return nullptr;
    OLECHAR* out = result;
    for (const wchar_t* at = text; *at != L'\0'; ++at) {
        uint32_t c = static_cast<uint32_t>(*at);
        if (c >= 0x10000u && c <= 0x10FFFFu) {
            c -= 0x10000u;
            *out++ = static_cast<OLECHAR>(0xD800u + (c >> 10));
            *out++ = static_cast<OLECHAR>(0xDC00u + (c & 0x3FFu));
        } else if (c > 0x10FFFFu || (c >= 0xD800u && c <= 0xDFFFu)) {
            *out++ = static_cast<OLECHAR>(0xFFFDu);
        } else {
            *out++ = static_cast<OLECHAR>(c);
        }
    }
    return result;
}

BSTR narrowToBstr(const char* text) {
    if (text == nullptr) return nullptr;
    size_t length = strlen(text);
    if (length == 0) return SysAllocStringLen(nullptr, 0);
    int units =
        MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(length), static_cast<OLECHAR*>(nullptr), 0);
    if (units <= 0) return nullptr;
    BSTR result = SysAllocStringLen(nullptr, static_cast<UINT>(units));
    if (result != nullptr) MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(length), result, units);
    return result;
}
}  // namespace

_bstr_t::_bstr_t(BSTR text, bool copy) : data_(nullptr) {
    if (text == nullptr) return;
    data_ = new (std::nothrow) Data;
    if (data_ == nullptr) {
        if (!copy) SysFreeString(text);
        return;
    }
    data_->text = copy ? SysAllocStringLen(text, SysStringLen(text)) : text;
}

_bstr_t::_bstr_t(const char* text) : data_(nullptr) {
    BSTR converted = narrowToBstr(text);
    if (converted != nullptr) *this = _bstr_t(converted, false);
}

_bstr_t::_bstr_t(const wchar_t* text) : data_(nullptr) {
    BSTR converted = wideToBstr(text);
    if (converted != nullptr) *this = _bstr_t(converted, false);
}

_bstr_t::_bstr_t(const _bstr_t& other) noexcept : data_(other.data_) {
    if (data_ != nullptr) data_->refs.fetch_add(1, std::memory_order_relaxed);
}

_bstr_t::~_bstr_t() {
    release();
}

void _bstr_t::release() noexcept {
    if (data_ != nullptr && data_->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete data_;
    data_ = nullptr;
}

_bstr_t& _bstr_t::operator=(const _bstr_t& other) noexcept {
    if (this != &other && data_ != other.data_) {
        Data* incoming = other.data_;
        if (incoming != nullptr) incoming->refs.fetch_add(1, std::memory_order_relaxed);
        release();
        data_ = incoming;
    }
    return *this;
}

_bstr_t& _bstr_t::operator=(_bstr_t&& other) noexcept {
    if (this != &other) {
        release();
        data_ = other.data_;
        other.data_ = nullptr;
    }
    return *this;
}

_bstr_t& _bstr_t::operator=(const char* text) {
    return *this = _bstr_t(text);
}
_bstr_t& _bstr_t::operator=(const wchar_t* text) {
    return *this = _bstr_t(text);
}

void _bstr_t::Attach(BSTR text) {
    *this = _bstr_t(text, false);
}

BSTR _bstr_t::Detach() noexcept {
    if (data_ == nullptr) return nullptr;
    BSTR text = data_->text;
    data_->text = nullptr;
    // Cached forms belong to the string just handed away.
    free(data_->narrow.exchange(nullptr));
    free(data_->wide.exchange(nullptr));
    release();
    return text;
}

BSTR* _bstr_t::GetAddress() {
    release();
    data_ = new (std::nothrow) Data;
    return data_ != nullptr ? &data_->text : nullptr;
}

BSTR _bstr_t::copy() const {
    BSTR text = GetBSTR();
    if (text == nullptr) return nullptr;
    return SysAllocStringLen(text, SysStringLen(text));
}

BSTR _bstr_t::GetBSTR() const noexcept {
    return data_ != nullptr ? data_->text : nullptr;
}

unsigned int _bstr_t::length() const noexcept {
    BSTR text = GetBSTR();
    return text != nullptr ? SysStringLen(text) : 0;
}

unsigned long _bstr_t::refCount() const noexcept {
    return data_ != nullptr ? data_->refs.load(std::memory_order_relaxed) : 0;
}

_bstr_t::operator const char*() const {
    BSTR text = GetBSTR();
    if (text == nullptr) return nullptr;
    char* cached = data_->narrow.load(std::memory_order_acquire);
    if (cached != nullptr) return cached;
    UINT units = SysStringLen(text);
    int bytes = units == 0 ? 0
                           : WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(units), nullptr, 0,
                                                 nullptr, nullptr);
    if (bytes < 0) bytes = 0;
    char* made = static_cast<char*>(calloc(static_cast<size_t>(bytes) + 1, 1));
    if (made == nullptr) return nullptr;
    if (bytes > 0)
        WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(units), made, bytes, nullptr, nullptr);
    char* expected = nullptr;
    if (!data_->narrow.compare_exchange_strong(expected, made, std::memory_order_acq_rel)) {
        free(made);
        return expected;
    }
    return made;
}

_bstr_t::operator const wchar_t*() const {
    BSTR text = GetBSTR();
    if (text == nullptr) return nullptr;
    wchar_t* cached = data_->wide.load(std::memory_order_acquire);
    if (cached != nullptr) return cached;
    UINT units = SysStringLen(text);
    // Never longer than the UTF-16 form: a pair becomes one character.
    wchar_t* made = static_cast<wchar_t*>(calloc(static_cast<size_t>(units) + 1, sizeof(wchar_t)));
    if (made == nullptr) return nullptr;
    if constexpr (kWideIsUtf16) {
        std::memcpy(made, text, static_cast<size_t>(units) * sizeof(wchar_t));
    } else {
        wchar_t* out = made;
        for (UINT i = 0; i < units; ++i) {
            uint32_t c = text[i];
            if (c >= 0xD800u && c <= 0xDBFFu && i + 1 < units && text[i + 1] >= 0xDC00u &&
                text[i + 1] <= 0xDFFFu) {
                c = 0x10000u + ((c - 0xD800u) << 10) + (static_cast<uint32_t>(text[i + 1]) - 0xDC00u);
                ++i;
            } else if (c >= 0xD800u && c <= 0xDFFFu) {
                c = 0xFFFDu;
            }
            *out++ = static_cast<wchar_t>(c);
        }
    }
    wchar_t* expected = nullptr;
    if (!data_->wide.compare_exchange_strong(expected, made, std::memory_order_acq_rel)) {
        free(made);
        return expected;
    }
    return made;
}

// ---- _com_error ----------------------------------------------------------------------------
_com_error::_com_error(HRESULT hr, IErrorInfo* info, bool addRef) : hr_(hr), info_(info) {
    if (info_ && addRef) info_->AddRef();
}

_com_error::_com_error(const _com_error& other) : hr_(other.hr_), info_(other.info_) {
    if (info_) info_->AddRef();
}

_com_error& _com_error::operator=(const _com_error& other) {
    if (this != &other) {
        if (other.info_) other.info_->AddRef();
        if (info_) info_->Release();
        hr_ = other.hr_;
        info_ = other.info_;
    }
    return *this;
}

_com_error::~_com_error() {
    if (info_) info_->Release();
}

IErrorInfo* _com_error::ErrorInfo() const {
    if (info_) info_->AddRef();
    return info_;
}

_bstr_t _com_error::Description() const {
    BSTR text = nullptr;
    if (info_) info_->GetDescription(&text);
    return _bstr_t(text, false);
}

_bstr_t _com_error::Source() const {
    BSTR text = nullptr;
    if (info_) info_->GetSource(&text);
    return _bstr_t(text, false);
}

void _com_issue_error(HRESULT hr) {
    throw _com_error(hr);
}

void _com_issue_errorex(HRESULT hr, IUnknown* unknown, REFIID riid) {
    IErrorInfo* info = nullptr;
    if (unknown) {
        ISupportErrorInfo* support = nullptr;
        if (SUCCEEDED(unknown->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void**>(&support))) &&
            support) {
            if (support->InterfaceSupportsErrorInfo(riid) == S_OK) {
                if (GetErrorInfo(0, &info) != S_OK) info = nullptr;
            }
            support->Release();
        }
    }
    throw _com_error(hr, info);  // takes over the reference GetErrorInfo gave
}
