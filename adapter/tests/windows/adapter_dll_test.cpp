// The adapter DLL under Windows as the service holds it: a copy of its own per session, loaded
// with LoadLibraryW, the stand-in component registered with regsvr32 and created through the
// system's COM, text crossing UTF-8, wchar_t and BSTR on the way there and back.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "adapter/adapter_version.h"
#include "component/signing_component.h"
#include "component/tests/windows/component_registration.h"

namespace fs = std::filesystem;

namespace {

typedef const char* (*CallMethodFunc)(const char*);

const std::string kUnlock =
    R"({"FunctionName":"Tessarion_Unlock","TessarionFunctionIndex":"-2","url":"https://app.)" KVLB_WEB_DOMAIN
    R"("})";
const std::string kRelease = R"({"FunctionName":"Tessarion_Release","TessarionFunctionIndex":"-3"})";
const std::string kLogout = R"({"FunctionName":"P11Logout"})";

// One session's copy of the adapter, in a folder of its own.
class AdapterCopy {
  public:
    explicit AdapterCopy(const fs::path& folder) {
        fs::create_directories(folder);
        fs::path file = folder / L"KvlbTokenAdapter.dll";
        fs::copy_file(fs::path(test_support::windowsPath(KVLB_ADAPTER_LIBRARY)), file,
                      fs::copy_options::overwrite_existing);
        module_ = LoadLibraryW(file.c_str());
        if (module_)
            call_ = reinterpret_cast<CallMethodFunc>(
                reinterpret_cast<void*>(GetProcAddress(module_, "callMethod")));
    }
    ~AdapterCopy() {
        if (call_) call_(kRelease.c_str());
        if (module_) FreeLibrary(module_);
    }
    bool loaded() const { return module_ && call_ && GetProcAddress(module_, "callJsonMapMethod"); }
    std::string call(const std::string& json) {
        const char* answer = call_(json.c_str());
        return answer ? answer : "<NULL>";
    }

  private:
    HMODULE module_ = nullptr;
    CallMethodFunc call_ = nullptr;
};

class AdapterDllTest : public ::testing::Test {
  protected:
    void SetUp() override {
        clearComponentFiles();
        ASSERT_EQ(registerComponent(test_support::windowsPath(KVLB_COMPONENT_LIBRARY)), 0u);
        wchar_t temp[MAX_PATH] = {};
        ASSERT_GT(GetTempPathW(MAX_PATH, temp), 0u);
        folder = fs::path(temp) / (L"kvlb-adapter-" + std::to_wstring(GetCurrentProcessId()));
        first = std::make_unique<AdapterCopy>(folder / L"Session_0");
        ASSERT_TRUE(first->loaded());
    }
    void TearDown() override {
        first.reset();
        std::error_code ec;
        fs::remove_all(folder, ec);
        clearComponentFiles();
    }
    fs::path folder;
    std::unique_ptr<AdapterCopy> first;
};

}  // namespace

TEST_F(AdapterDllTest, CallsReachTheComponentWithTheirTextConvertedBothWays) {
    ASSERT_EQ(first->call(kUnlock), "0");
    // UTF-8 of the request to BSTR and back to UTF-8 in the journal, beyond the BMP too.
    EXPECT_EQ(first->call(R"({"FunctionName":"C_P11Sign","hStore":"-7","strData":")"
                          "caf\xC3\xA9 \xE4\xB8\xAD \xF0\x9F\x98\x80"
                          R"(","signcodepage":"","iFlags":"1","iHashFlag":"2"})"),
              "C_P11Sign:ok");
    EXPECT_EQ(first->call(R"({"FunctionName":"CryptEncode","bData":"x","strPemTitle":"CERTIFICATE"})"),
              "CryptEncode:ok");
    EXPECT_EQ(first->call(kLogout), "1004");
    EXPECT_EQ(
        componentJournal(),
        (std::vector<std::string>{
            "C_P11Sign\tint:-7\tbstr:\"caf\xC3\xA9 \xE4\xB8\xAD \xF0\x9F\x98\x80\"\tbstr:\"\"\tint:1\tint:2",
            "CryptEncode\tbstr:\"x\"\tvariant-bstr:\"CERTIFICATE\"", "P11Logout"}));
    // The component's BSTR answer back to UTF-8.
    writeComponentSettings("component_text=\xE4\xB8\xAD \xF0\x9F\x98\x80\r\n");
    EXPECT_EQ(first->call(R"({"FunctionName":"GetRespData"})"), "\xE4\xB8\xAD \xF0\x9F\x98\x80");
}

TEST_F(AdapterDllTest, FailedComponentCallAnswers61011) {
    ASSERT_EQ(first->call(kUnlock), "0");
    for (const char* settings :
         {"component_fail=P11Logout\r\n", "component_fail=P11Logout\r\ncomponent_errorinfo=off\r\n"}) {
        SCOPED_TRACE(settings);
        writeComponentSettings(settings);
        EXPECT_EQ(first->call(kLogout), "61011");
        EXPECT_EQ(componentJournal().back(), "P11Logout");
    }
}

TEST_F(AdapterDllTest, CopiesAreIndependentAndReleaseLetsGoOfTheComponent) {
    AdapterCopy second(folder / L"Session_1");
    ASSERT_TRUE(second.loaded());
    ASSERT_EQ(first->call(kUnlock), "0");
    EXPECT_EQ(second.call(kLogout), "61908") << "the unlock of one copy is not the other's";
    ASSERT_EQ(second.call(kUnlock), "0");
    EXPECT_EQ(first->call(kLogout), "1004");
    EXPECT_EQ(second.call(kLogout), "1004");

    HMODULE component = GetModuleHandleW(test_support::windowsPath(KVLB_COMPONENT_LIBRARY).c_str());
    ASSERT_NE(component, nullptr) << "the system's COM loaded the registered server";
    auto canUnloadNow = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(
        reinterpret_cast<void*>(GetProcAddress(component, "DllCanUnloadNow")));
    ASSERT_NE(canUnloadNow, nullptr);
    EXPECT_EQ(first->call(kRelease), "");
    EXPECT_EQ(second.call(kLogout), "1004");
    EXPECT_EQ(canUnloadNow(), S_FALSE) << "the second copy still holds its object";
    EXPECT_EQ(second.call(kRelease), "");
    EXPECT_EQ(canUnloadNow(), S_OK);
    // A call after the release starts over: locked again.
    EXPECT_EQ(first->call(kLogout), "61908");
}

TEST_F(AdapterDllTest, WithoutTheRegisteredComponentCallsAnswer61905) {
    ASSERT_EQ(unregisterComponent(test_support::windowsPath(KVLB_COMPONENT_LIBRARY)), 0u);
    EXPECT_EQ(first->call(kUnlock), "61905");
    EXPECT_EQ(first->call(kLogout), "61905");
    ASSERT_EQ(registerComponent(test_support::windowsPath(KVLB_COMPONENT_LIBRARY)), 0u);
    EXPECT_EQ(first->call(kUnlock), "0");
    EXPECT_EQ(first->call(kLogout), "1004");
}

TEST(AdapterDllFile, ExportsExactlyItsTwoEntriesUndecorated) {
    HMODULE module = LoadLibraryExW(test_support::windowsPath(KVLB_ADAPTER_LIBRARY).c_str(), nullptr,
                                    DONT_RESOLVE_DLL_REFERENCES);
    ASSERT_NE(module, nullptr);
    auto base = reinterpret_cast<const BYTE*>(module);
    auto dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    auto nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& entry = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    ASSERT_NE(entry.VirtualAddress, 0u);
    auto exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + entry.VirtualAddress);
    auto names = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
    std::vector<std::string> found;
    for (DWORD i = 0; i < exports->NumberOfNames; ++i)
        found.push_back(reinterpret_cast<const char*>(base + names[i]));
    EXPECT_EQ(found, (std::vector<std::string>{"callJsonMapMethod", "callMethod"}));
    EXPECT_EQ(exports->NumberOfFunctions, 2u) << "no exports by ordinal only";
    FreeLibrary(module);
}

TEST(AdapterDllFile, VersionResourceCarriesTheAdaptersVersion) {
    std::wstring path = test_support::windowsPath(KVLB_ADAPTER_LIBRARY);
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
    ASSERT_GT(size, 0u);
    std::vector<BYTE> block(size);
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, block.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwFileVersionMS, MAKELONG(0, 1));
    EXPECT_EQ(fixed->dwFileVersionLS, MAKELONG(907, 20));
    wchar_t* text = nullptr;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\StringFileInfo\\040904b0\\FileVersion",
                               reinterpret_cast<void**>(&text), &length));
    std::wstring expected;
    for (const char* c = ADAPTER_VERSION; *c; ++c) expected.push_back((wchar_t)*c);
    EXPECT_EQ(std::wstring(text), expected);
}
