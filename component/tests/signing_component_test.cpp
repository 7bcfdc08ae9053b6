// The stand-in component through COM as the adapter reaches it: creation from the class registry,
// the slot layout, the journal, the fixed answers and the chosen failure with error information.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "component/component_journal.h"
#include "component/signing_component.h"
#include "platform/root.h"
#include "platform/test_root.h"

namespace {

std::vector<std::string> journalLines() {
    std::vector<std::string> lines;
    std::ifstream in(componentJournalPath());
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
}

BSTR bstr(const char16_t* text) {
    return SysAllocString(text);
}

std::u16string textOf(BSTR b) {
    return b ? std::u16string(b, SysStringLen(b)) : u"<null>";
}

class SigningComponentTest : public ::testing::Test {
  protected:
    void SetUp() override {
        CoInitialize(nullptr);
        ASSERT_TRUE(platform::registerComServer(CLSID_SigningComponent, KVLB_COMPONENT_LIBRARY));
        IUnknown* unknown = nullptr;
        ASSERT_EQ(CoCreateInstance(CLSID_SigningComponent, nullptr, CLSCTX_ALL, IID_IUnknown,
                                   reinterpret_cast<void**>(&unknown)),
                  S_OK);
        ASSERT_EQ(OleRun(unknown), S_OK);
        ASSERT_EQ(unknown->QueryInterface(IID_ISigningComponent, reinterpret_cast<void**>(&component)), S_OK);
        unknown->Release();
    }
    void TearDown() override {
        if (component) component->Release();
        CoUninitialize();
    }
    platform::TestRoot root;
    ISigningComponent* component = nullptr;
};

}  // namespace

TEST_F(SigningComponentTest, MethodsSitInSlotSevenPlusTheirIndex) {
    // Called through the raw method table, as a COM client built elsewhere would.
    void** table = *reinterpret_cast<void***>(component);
    using NumberOnly = HRESULT(STDMETHODCALLTYPE*)(ISigningComponent*, LONG*);
    using TextOnly = HRESULT(STDMETHODCALLTYPE*)(ISigningComponent*, BSTR*);
    LONG number = 0;
    EXPECT_EQ(reinterpret_cast<NumberOnly>(table[7 + 2])(component, &number), S_OK);  // P11SessionOpen
    EXPECT_EQ(number, 1002);
    BSTR text = nullptr;
    EXPECT_EQ(reinterpret_cast<TextOnly>(table[7 + 66])(component, &text),
              S_OK);  // GetRespData, the last keyless
    EXPECT_EQ(textOf(text), u"GetRespData:ok");
    SysFreeString(text);
    using Dispatch = HRESULT(STDMETHODCALLTYPE*)(ISigningComponent*, UINT*);
    UINT count = 9;
    EXPECT_EQ(reinterpret_cast<Dispatch>(table[3])(component, &count), S_OK);  // GetTypeInfoCount
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(journalLines(), (std::vector<std::string>{"P11SessionOpen", "GetRespData"}));
}

TEST_F(SigningComponentTest, JournalShowsEveryArgumentWithItsKind) {
    BSTR a = bstr(u"caf\u00e9 \"q\"\t\\");
    BSTR empty = SysAllocStringLen(nullptr, 0);
    BSTR out = nullptr;
    EXPECT_EQ(component->C_P11Sign(-7, a, nullptr, 0, 2147483647, &out), S_OK);
    SysFreeString(out);
    VARIANT title;
    VariantInit(&title);
    title.vt = VT_BSTR;
    title.bstrVal = bstr(u"PEM");
    EXPECT_EQ(component->CryptEncode(empty, title, &out), S_OK);
    SysFreeString(out);
    VariantClear(&title);
    title.vt = VT_BSTR;
    EXPECT_EQ(component->CryptEncode(nullptr, title, &out), S_OK);
    SysFreeString(out);
    VARIANT number;
    VariantInit(&number);
    number.vt = VT_I4;
    EXPECT_EQ(component->CryptEncode(nullptr, number, &out), S_OK);
    SysFreeString(out);
    EXPECT_EQ(component->ShowDebugMessage(1), S_OK);
    EXPECT_EQ(journalLines(),
              (std::vector<std::string>{
                  "C_P11Sign\tint:-7\tbstr:\"caf\u00e9 \\\"q\\\"\\t\\\\\"\tbstr:null\tint:0\tint:2147483647",
                  "CryptEncode\tbstr:\"\"\tvariant-bstr:\"PEM\"",
                  "CryptEncode\tbstr:null\tvariant-bstr:null",
                  "CryptEncode\tbstr:null\tvariant:3",
                  "ShowDebugMessage\tint:1",
              }));
    SysFreeString(a);
    SysFreeString(empty);
}

TEST_F(SigningComponentTest, AnswersFollowTheSettings) {
    LONG number = 0;
    BSTR text = nullptr;
    EXPECT_EQ(component->P11Init(nullptr, &number), S_OK);
    EXPECT_EQ(number, 1000);
    EXPECT_EQ(component->C_P11FEDISign(nullptr, 0, 0, &text), S_OK);
    EXPECT_EQ(textOf(text), u"C_P11FEDISign:ok");
    SysFreeString(text);

    platform::setSetting("component_number", "-2147483648");
    platform::setSetting("component_text", "\u65e5\u672c");
    EXPECT_EQ(component->P11Init(nullptr, &number), S_OK);
    EXPECT_EQ(number, -2147483647 - 1);
    EXPECT_EQ(component->Get_MAC(&text), S_OK);
    EXPECT_EQ(textOf(text), u"\u65e5\u672c");
    SysFreeString(text);

    platform::setSetting("component_text", "");
    EXPECT_EQ(component->Get_MAC(&text), S_OK);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(SysStringLen(text), 0u);
    SysFreeString(text);
    platform::setSetting("component_text", "(null)");
    text = bstr(u"x");
    BSTR before = text;
    EXPECT_EQ(component->Get_MAC(&text), S_OK);
    EXPECT_EQ(text, nullptr);
    SysFreeString(before);
}

TEST_F(SigningComponentTest, ChosenMethodFailsWithErrorInformation) {
    platform::setSetting("component_fail", "P11Login");
    LONG number = 5;
    BSTR pin = bstr(u"1234");
    HRESULT hr = component->P11Login(pin, &number);
    EXPECT_EQ(hr, E_FAIL);
    EXPECT_EQ(number, 5) << "the out value is left alone";
    try {
        _com_issue_errorex(hr, component, IID_ISigningComponent);
    } catch (const _com_error& e) {
        EXPECT_EQ(e.Error(), E_FAIL);
        EXPECT_EQ(textOf(e.Description().GetBSTR()), u"P11Login failed");
        EXPECT_EQ(textOf(e.Source().GetBSTR()), u"SigningComponent");
    }
    // Other methods still answer; the journal has the failed call too.
    EXPECT_EQ(component->C_P11Login(pin, &number), S_OK);
    EXPECT_EQ(journalLines(),
              (std::vector<std::string>{"P11Login\tbstr:\"1234\"", "C_P11Login\tbstr:\"1234\""}));

    platform::setSetting("component_fail", "*");
    platform::setSetting("component_fail_hresult", "0x80070005");
    EXPECT_EQ((uint32_t)component->P11Final(&number), 0x80070005u);

    // Without ISupportErrorInfo the failure still arrives, without information.
    platform::setSetting("component_errorinfo", "off");
    ISupportErrorInfo* support = nullptr;
    EXPECT_EQ(component->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void**>(&support)),
              E_NOINTERFACE);
    hr = component->P11Final(&number);
    try {
        _com_issue_errorex(hr, component, IID_ISigningComponent);
    } catch (const _com_error& e) {
        EXPECT_EQ(e.ErrorInfo(), nullptr);
    }
    SetErrorInfo(0, nullptr);
    SysFreeString(pin);
}

TEST_F(SigningComponentTest, UnknownClassesAndInterfacesAreRefused) {
    void* object = nullptr;
    EXPECT_EQ(component->QueryInterface(IID_IClassFactory, &object), E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);
    IDispatch* dispatch = nullptr;
    ASSERT_EQ(component->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch)), S_OK);
    EXPECT_EQ(static_cast<void*>(dispatch), static_cast<void*>(component));
    dispatch->Release();
    const CLSID other = {0x1857A4C9, 0xFEA8, 0x4C21, {0x80, 0x66, 0x73, 0x12, 0xAB, 0x16, 0xA6, 0x00}};
    ASSERT_TRUE(platform::registerComServer(other, KVLB_COMPONENT_LIBRARY));
    EXPECT_EQ(CoCreateInstance(other, nullptr, CLSCTX_ALL, IID_IUnknown, &object), CLASS_E_CLASSNOTAVAILABLE);
}

TEST_F(SigningComponentTest, RegisteredWindowsPathsAreFoundOnTheirDrive) {
    std::filesystem::create_directories(root.c("Program Files/Signing"));
    std::filesystem::copy_file(KVLB_COMPONENT_LIBRARY, root.c("Program Files/Signing/SigningComponent.dll"));
    ASSERT_TRUE(platform::registerComServer(CLSID_SigningComponent,
                                            "c:\\program files\\signing\\signingcomponent.dll"));
    ISigningComponent* other = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_SigningComponent, nullptr, CLSCTX_ALL, IID_ISigningComponent,
                               reinterpret_cast<void**>(&other)),
              S_OK);
    LONG number = 0;
    EXPECT_EQ(other->P11Final(&number), S_OK);
    EXPECT_EQ(number, 1006);
    other->Release();
    // A library that is no COM server.
    ASSERT_TRUE(platform::registerComServer(CLSID_SigningComponent, KVLB_ADAPTER_LIKE_LIBRARY));
    void* object = nullptr;
    EXPECT_EQ(CoCreateInstance(CLSID_SigningComponent, nullptr, CLSCTX_ALL, IID_IUnknown, &object),
              CO_E_ERRORINDLL);
}
