// COM emulated on POSIX: identifiers, VARIANTs, the class registry, class creation refusals and
// error information.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "platform/tests/com_error_fixture.h"
#include "platform/root.h"
#include "platform/test_root.h"
#include "platform/win_com.h"

namespace {

const CLSID kSomeClass = {0x01234567, 0x89AB, 0xCDEF, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}};
using com_fixture::kSomeInterface;

BSTR bstrOf(const char16_t* text) {
    return SysAllocString(text);
}

std::u16string textOf(BSTR b) {
    return b ? std::u16string(b, SysStringLen(b)) : u"<null>";
}

using com_fixture::ErrorSource;
using com_fixture::setThreadError;

}  // namespace

TEST(ComGuid, TextFormRoundTripsAndRefusesMalformedText) {
    char text[39];
    guidToText(kSomeClass, text);
    EXPECT_STREQ(text, "{01234567-89AB-CDEF-0123-456789ABCDEF}");
    GUID back{};
    ASSERT_TRUE(textToGuid("{01234567-89ab-cdef-0123-456789abcdef}", &back));
    EXPECT_TRUE(IsEqualGUID(back, kSomeClass));
    for (const char* bad :
         {"", "01234567-89AB-CDEF-0123-456789ABCDEF", "{01234567-89AB-CDEF-0123-456789ABCDEF",
          "{0123456789AB-CDEF-0123-456789ABCDEF-}", "{01234567-89AB-CDEF-0123-456789ABCDEG}",
          "{01234567-89AB-CDEF-0123-456789ABCDEF}x"}) {
        EXPECT_FALSE(textToGuid(bad, &back)) << bad;
    }
}

TEST(ComVariant, ClearFreesTheStringAndRefusesUnknownTypes) {
    VARIANT v;
    VariantInit(&v);
    EXPECT_EQ(v.vt, VT_EMPTY);
    v.vt = VT_BSTR;
    v.bstrVal = bstrOf(u"title");
    EXPECT_EQ(VariantClear(&v), S_OK);
    EXPECT_EQ(v.vt, VT_EMPTY);
    EXPECT_EQ(v.bstrVal, nullptr);
    v.vt = 0x4242;
    EXPECT_EQ(VariantClear(&v), DISP_E_BADVARTYPE);
    EXPECT_EQ(VariantClear(nullptr), E_INVALIDARG);
}

TEST(ComRegistry, RegisterReplaceAndRemoveAClass) {
    platform::TestRoot root;
    EXPECT_EQ(platform::registeredComServer(kSomeClass), "");
    ASSERT_TRUE(platform::registerComServer(kSomeClass, "/opt/servers/first.dll"));
    EXPECT_EQ(platform::registeredComServer(kSomeClass), "Z:\\opt\\servers\\first.dll");
    ASSERT_TRUE(platform::registerComServer(kSomeInterface, "C:\\Program Files\\Other.dll"));
    ASSERT_TRUE(platform::registerComServer(kSomeClass, "C:\\Servers\\second.dll"));
    EXPECT_EQ(platform::registeredComServer(kSomeClass), "C:\\Servers\\second.dll");

    std::ifstream in(root.path() + "/com/classes.ini");
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(all,
              "{11111111-2222-3333-4444-555555555555}=C:\\Program Files\\Other.dll\n"
              "{01234567-89AB-CDEF-0123-456789ABCDEF}=C:\\Servers\\second.dll\n");

    EXPECT_TRUE(platform::unregisterComServer(kSomeClass));
    EXPECT_EQ(platform::registeredComServer(kSomeClass), "");
    EXPECT_EQ(platform::registeredComServer(kSomeInterface), "C:\\Program Files\\Other.dll");
    EXPECT_FALSE(platform::registerComServer(kSomeClass, ""));
}

TEST(ComCreation, RefusalsComeAsTheirHresults) {
    platform::TestRoot root;
    void* object = reinterpret_cast<void*>(1);
    // Not initialised on this thread.
    EXPECT_EQ(CoCreateInstance(kSomeClass, nullptr, CLSCTX_ALL, IID_IUnknown, &object), CO_E_NOTINITIALIZED);
    EXPECT_EQ(object, nullptr);

    EXPECT_EQ(CoInitialize(nullptr), S_OK);
    EXPECT_EQ(CoInitialize(nullptr), S_FALSE);
    EXPECT_EQ(CoCreateInstance(kSomeClass, nullptr, CLSCTX_ALL, IID_IUnknown, &object), REGDB_E_CLASSNOTREG);

    ErrorSource outer(false);
    EXPECT_EQ(CoCreateInstance(kSomeClass, &outer, CLSCTX_ALL, IID_IUnknown, &object), CLASS_E_NOAGGREGATION);

    ASSERT_TRUE(platform::registerComServer(kSomeClass, (root.path() + "/missing/server.dll").c_str()));
    EXPECT_EQ(CoCreateInstance(kSomeClass, nullptr, CLSCTX_ALL, IID_IUnknown, &object),
              HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND));
    // Only in-process servers exist.
    EXPECT_EQ(CoCreateInstance(kSomeClass, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown, &object),
              REGDB_E_CLASSNOTREG);
    EXPECT_EQ(CoCreateInstance(kSomeClass, nullptr, CLSCTX_ALL, IID_IUnknown, nullptr), E_POINTER);
    EXPECT_EQ(OleRun(nullptr), E_INVALIDARG);
    EXPECT_EQ(OleRun(&outer), S_OK);
    CoUninitialize();
    CoUninitialize();
}

TEST(ComErrorInfo, GetErrorInfoHandsTheObjectOverOnce) {
    IErrorInfo* info = reinterpret_cast<IErrorInfo*>(1);
    EXPECT_EQ(GetErrorInfo(0, &info), S_FALSE);
    EXPECT_EQ(info, nullptr);

    setThreadError(u"card removed");
    ASSERT_EQ(GetErrorInfo(0, &info), S_OK);
    ASSERT_NE(info, nullptr);
    BSTR text = nullptr;
    EXPECT_EQ(info->GetDescription(&text), S_OK);
    EXPECT_EQ(textOf(text), u"card removed");
    SysFreeString(text);
    EXPECT_EQ(info->GetSource(&text), S_OK);
    EXPECT_EQ(textOf(text), u"Tests");
    SysFreeString(text);
    GUID guid{};
    EXPECT_EQ(info->GetGUID(&guid), S_OK);
    EXPECT_TRUE(IsEqualGUID(guid, kSomeInterface));
    EXPECT_EQ(info->GetHelpFile(&text), S_OK);
    EXPECT_EQ(text, nullptr);
    info->Release();

    EXPECT_EQ(GetErrorInfo(0, &info), S_FALSE);  // taken already

    setThreadError(u"stale");
    SetErrorInfo(0, nullptr);  // clearing drops it
    EXPECT_EQ(GetErrorInfo(0, &info), S_FALSE);
}

TEST(ComResults, Win32CodesBecomeFailingHresults) {
    EXPECT_EQ(HRESULT_FROM_WIN32(0), S_OK);
    EXPECT_EQ((uint32_t)HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND), 0x8007007Eu);
    EXPECT_TRUE(FAILED(HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED)));
    EXPECT_EQ(CLSCTX_ALL, 0x17u);
}
