// The stand-in component as a real in-process COM server: registered with regsvr32, created
// through the system's COM, called with BSTR arguments, seen in its journal, told to fail by its
// settings file, and unregistered again.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "component/component_journal.h"
#include "component/signing_component.h"
#include "component/tests/windows/component_registration.h"

namespace {

std::wstring libraryPath() {
    return test_support::windowsPath(KVLB_COMPONENT_LIBRARY);
}

std::wstring registryText(const std::wstring& key, const wchar_t* name) {
    wchar_t value[MAX_PATH * 2] = {};
    DWORD size = sizeof value - sizeof(wchar_t);
    if (RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), name, RRF_RT_REG_SZ, nullptr, value, &size) !=
        ERROR_SUCCESS)
        return L"<missing>";
    return value;
}

std::wstring guidText(REFGUID guid) {
    wchar_t text[40] = {};
    StringFromGUID2(guid, text, 40);
    return text;
}

std::wstring textOf(BSTR b) {
    return b ? std::wstring(b, SysStringLen(b)) : L"<null>";
}

class ComServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
        clearComponentFiles();
        ASSERT_EQ(registerComponent(libraryPath()), 0u);
    }
    void TearDown() override {
        if (component) component->Release();
        component = nullptr;
        std::error_code ec;
        std::filesystem::remove(componentSettingsPath(), ec);
        CoUninitialize();
    }
    void create() {
        IUnknown* unknown = nullptr;
        ASSERT_EQ(CoCreateInstance(CLSID_SigningComponent, nullptr, CLSCTX_ALL, IID_IUnknown,
                                   reinterpret_cast<void**>(&unknown)),
                  S_OK);
        ASSERT_EQ(OleRun(unknown), S_OK);
        ASSERT_EQ(unknown->QueryInterface(IID_ISigningComponent, reinterpret_cast<void**>(&component)), S_OK);
        unknown->Release();
    }
    ISigningComponent* component = nullptr;
};

}  // namespace

TEST_F(ComServerTest, RegistrationNamesTheServerAndTheInterface) {
    std::wstring classKey = L"CLSID\\" + guidText(CLSID_SigningComponent);
    EXPECT_EQ(registryText(classKey, nullptr), L"SigningComponent");
    EXPECT_EQ(_wcsicmp(registryText(classKey + L"\\InprocServer32", nullptr).c_str(), libraryPath().c_str()),
              0);
    EXPECT_EQ(registryText(classKey + L"\\InprocServer32", L"ThreadingModel"), L"Both");
    std::wstring interfaceKey = L"Interface\\" + guidText(IID_ISigningComponent);
    EXPECT_EQ(registryText(interfaceKey, nullptr), L"ISigningComponent");
    EXPECT_EQ(registryText(interfaceKey + L"\\NumMethods", nullptr), L"75");
}

TEST_F(ComServerTest, CallsWithBstrArgumentsReachTheJournalAndAnswerByTheirKind) {
    create();
    BSTR path = SysAllocString(L"C:\\x\\p11.dll");
    BSTR text = SysAllocString(L"caf\u00e9 \"q\"\t\\ \u4e2d");
    LONG number = 0;
    EXPECT_EQ(component->P11Init(path, &number), S_OK);
    EXPECT_EQ(number, 1000);
    BSTR out = nullptr;
    EXPECT_EQ(component->C_P11Sign(-7, text, nullptr, 0, 2147483647, &out), S_OK);
    EXPECT_EQ(textOf(out), L"C_P11Sign:ok");
    SysFreeString(out);
    VARIANT title;
    VariantInit(&title);
    title.vt = VT_BSTR;
    title.bstrVal = SysAllocString(L"CERTIFICATE");
    out = nullptr;
    EXPECT_EQ(component->CryptEncode(nullptr, title, &out), S_OK);
    EXPECT_EQ(textOf(out), L"CryptEncode:ok");
    SysFreeString(out);
    VariantClear(&title);
    EXPECT_EQ(component->ShowDebugMessage(1), S_OK);
    SysFreeString(path);
    SysFreeString(text);
    EXPECT_EQ(componentJournal(),
              (std::vector<std::string>{"P11Init\tbstr:\"C:\\\\x\\\\p11.dll\"",
                                        "C_P11Sign\tint:-7\tbstr:\"caf\xC3\xA9 \\\"q\\\"\\t\\\\ "
                                        "\xE4\xB8\xAD\"\tbstr:null\tint:0\tint:2147483647",
                                        "CryptEncode\tbstr:null\tvariant-bstr:\"CERTIFICATE\"",
                                        "ShowDebugMessage\tint:1"}));
}

TEST_F(ComServerTest, SettingsFileChoosesAnswersAndAFailureWithErrorInformation) {
    create();
    writeComponentSettings(
        "component_number = 42\r\ncomponent_text=\xE4\xB8\xAD ok\r\ncomponent_fail=P11Login\r\n"
        "component_fail_hresult=0x80070005\r\n");
    LONG number = 0;
    EXPECT_EQ(component->P11SessionOpen(&number), S_OK);
    EXPECT_EQ(number, 42);
    BSTR out = nullptr;
    EXPECT_EQ(component->GetRespData(&out), S_OK);
    EXPECT_EQ(textOf(out), L"\u4e2d ok");
    SysFreeString(out);

    SetErrorInfo(0, nullptr);
    EXPECT_EQ(component->P11Login(nullptr, &number), (HRESULT)0x80070005);
    ISupportErrorInfo* support = nullptr;
    ASSERT_EQ(component->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void**>(&support)), S_OK);
    EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_ISigningComponent), S_OK);
    support->Release();
    IErrorInfo* info = nullptr;
    ASSERT_EQ(GetErrorInfo(0, &info), S_OK);
    ASSERT_NE(info, nullptr);
    BSTR description = nullptr, source = nullptr;
    info->GetDescription(&description);
    info->GetSource(&source);
    EXPECT_EQ(textOf(description), L"P11Login failed");
    EXPECT_EQ(textOf(source), L"SigningComponent");
    SysFreeString(description);
    SysFreeString(source);
    info->Release();
    EXPECT_EQ(componentJournal().back(), "P11Login\tbstr:null");
}

// Rewrites of one size follow each other faster than the file system's clock steps: the next
// call still answers by each of them.
TEST_F(ComServerTest, EverySameSizeRewriteOfTheSettingsIsSeen) {
    create();
    for (int n = 10; n < 40; ++n) {
        writeComponentSettings("component_number=" + std::to_string(n) + "\r\n");
        LONG number = 0;
        ASSERT_EQ(component->P11SessionOpen(&number), S_OK);
        EXPECT_EQ(number, n);
    }
}

TEST_F(ComServerTest, UnregisteredClassIsNoLongerCreatedAndTheKeysAreGone) {
    ASSERT_EQ(unregisterComponent(libraryPath()), 0u);
    IUnknown* unknown = nullptr;
    EXPECT_EQ(CoCreateInstance(CLSID_SigningComponent, nullptr, CLSCTX_ALL, IID_IUnknown,
                               reinterpret_cast<void**>(&unknown)),
              REGDB_E_CLASSNOTREG);
    EXPECT_EQ(registryText(L"CLSID\\" + guidText(CLSID_SigningComponent), nullptr), L"<missing>");
    EXPECT_EQ(registryText(L"Interface\\" + guidText(IID_ISigningComponent), nullptr), L"<missing>");
}
