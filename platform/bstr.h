// The COM-support string holder: a reference-counted owner of one BSTR plus a narrow copy made on
// first request. Copies share the string; the last reference frees it with SysFreeString.
// Written over SysAllocStringLen and the code-page conversions, so both builds share it.
#pragma once
#include <cstddef>

#include "platform/win_base.h"
#ifdef _WIN32
#include <oleauto.h>
#endif

class _bstr_t {
  public:
    _bstr_t() noexcept : data_(nullptr) {}
    // With copy set the holder keeps its own copy; with copy clear it takes the string over.
    _bstr_t(BSTR text, bool copy);
    _bstr_t(const char* text);  // narrow text in the ANSI code page, as COM's narrow form is
    _bstr_t(const wchar_t* text);
    _bstr_t(const _bstr_t& other) noexcept;
    _bstr_t(_bstr_t&& other) noexcept : data_(other.data_) { other.data_ = nullptr; }
    ~_bstr_t();
    _bstr_t& operator=(const _bstr_t& other) noexcept;
    _bstr_t& operator=(_bstr_t&& other) noexcept;
    _bstr_t& operator=(const char* text);
    _bstr_t& operator=(const wchar_t* text);

    // Takes over a BSTR without copying, releasing whatever the holder had.
    void Attach(BSTR text);
    // Gives up the BSTR to the caller, who then frees it; other holders sharing it lose it too.
    BSTR Detach() noexcept;
    // Releases what the holder had and gives the address of its (NULL) BSTR, for a call that
    // returns a new string through a BSTR* argument; NULL when no memory is left.
    BSTR* GetAddress();
    // A new copy the caller frees with SysFreeString (NULL for an empty holder).
    BSTR copy() const;

    BSTR GetBSTR() const noexcept;
    operator BSTR() const noexcept { return GetBSTR(); }
    // Narrow form in the ANSI code page, cached in the holder; NULL for an empty holder.
    operator const char*() const;
    // Wide (wchar_t) form, cached in the holder; NULL for an empty holder.
    operator const wchar_t*() const;
    // Characters of the BSTR, 0 for an empty holder.
    unsigned int length() const noexcept;
    bool operator!() const noexcept { return GetBSTR() == nullptr; }
    bool empty() const noexcept { return GetBSTR() == nullptr; }
    // References held on the shared string; 0 for a holder without one.
    unsigned long refCount() const noexcept;

  private:
    struct Data;
    Data* data_;
    void release() noexcept;
};
