// The adapter as the service uses it: loaded through LoadLibraryW from its own copy, driven
// through its two exports, with the stand-in component registered on the test's machine. The
// same cases run in the Linux build and, against the Windows DLL and the component registered
// as a COM server, in the Windows build.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "adapter/tests/adapter_test_machine.h"
#include "adapter/tests/component_function_table.h"
#include "common/json_map.h"

using namespace component_table;

namespace {

typedef const char* (*CallMethodFunc)(const char*);
typedef const char* (*CallJsonMapMethodFunc)(JsonMap*, const char*);

template <typename F>
F entry(HMODULE module, const char* name) {
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// One loaded copy of the adapter, from a file of its own, as a session of the service holds it.
class AdapterCopy {
  public:
    AdapterCopy(TestMachine& machine, const std::string& folder) {
        module_ = LoadLibraryW(machine.placeAdapterCopy(folder).c_str());
        if (module_) {
            call_ = entry<CallMethodFunc>(module_, "callMethod");
            callMap_ = entry<CallJsonMapMethodFunc>(module_, "callJsonMapMethod");
        }
    }
    ~AdapterCopy() {
        // As the service does: release, then unload (unloading alone frees nothing).
        if (call_) call_(R"({"FunctionName":"Tessarion_Release","TessarionFunctionIndex":"-3"})");
        if (module_) FreeLibrary(module_);
    }
    bool loaded() const { return call_ && callMap_; }
    std::string call(const std::string& json) {
        const char* answer = call_(json.c_str());
        return answer ? answer : "<NULL>";
    }
    const char* rawCall(const char* json) { return call_(json); }
    std::string callMap(JsonMap* map, const char* name) {
        const char* answer = callMap_(map, name);
        return answer ? answer : "<NULL>";
    }
    std::string unlock(const std::string& url = "https://app." KVLB_WEB_DOMAIN) {
        return call(R"({"FunctionName":"Tessarion_Unlock","TessarionFunctionIndex":"-2","url":")" + url +
                    "\"}");
    }

  private:
    HMODULE module_ = nullptr;
    CallMethodFunc call_ = nullptr;
    CallJsonMapMethodFunc callMap_ = nullptr;
};

class AdapterTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(kFunctions.size(), 68u);
        ASSERT_TRUE(machine.registerComponent());
        adapter = std::make_unique<AdapterCopy>(machine, "Session_0");
        ASSERT_TRUE(adapter->loaded());
    }

    std::vector<std::string> journal() { return machine.journal(); }
    std::string lastJournalLine() {
        auto lines = journal();
        return lines.empty() ? "" : lines.back();
    }
    size_t journalSize() { return journal().size(); }
    std::string log() { return machine.log(); }

    TestMachine machine;
    std::unique_ptr<AdapterCopy> adapter;
};

}  // namespace

TEST_F(AdapterTest, EveryFunctionCallsItsSlotWithTheRowsArgumentsAndAnswersByItsResultKind) {
    ASSERT_EQ(adapter->unlock(), "0");
    for (const auto& f : kFunctions) {
        SCOPED_TRACE(f.name);
        Built b = buildCall(f, {{"AdapterJsonKeyCheck", "true"}});
        size_t before = journalSize();
        EXPECT_EQ(adapter->call(b.json), defaultAnswer(f));
        ASSERT_EQ(journalSize(), before + 1);
        EXPECT_EQ(lastJournalLine(), b.journalLine);
    }
    // The absent flag keys of every argument are looked up too, and never count as missing.
    EXPECT_EQ(log().find("Json map key not found"), std::string::npos);
}

TEST_F(AdapterTest, AnswersFollowTheResultKind) {
    ASSERT_EQ(adapter->unlock(), "0");
    struct Case {
        const char* number;
        const char* text;
        const char* numberAnswer;
        const char* textAnswer;
    } cases[] = {
        {"-1", "caf\u00e9 \u65e5", "-1", "caf\u00e9 \u65e5"},
        {"-2147483648", "", "-2147483648", ""},  // an empty text is the empty answer, never "0"
        {"2147483647", "(null)", "2147483647", ""},
        {"61908", "0", "61908", "0"},  // the component's numbers are passed on as they are
    };
    for (const auto& c : cases) {
        machine.setComponentSetting("component_number", c.number);
        machine.setComponentSetting("component_text", c.text);
        for (const auto& f : kFunctions) {
            SCOPED_TRACE(std::string(f.name) + " with " + c.number + " / " + c.text);
            std::string expected = f.result == Number ? c.numberAnswer
                                   : f.result == Text ? c.textAnswer
                                                      : "0";
            EXPECT_EQ(adapter->call(buildCall(f).json), expected);
        }
    }
}

TEST_F(AdapterTest, LockedAdapterRefusesEveryFunctionButGetVersionAfterReadingTheKeys) {
    for (const auto& f : kFunctions) {
        SCOPED_TRACE(f.name);
        // Even with every key missing under the key check, the lock decides first.
        std::string json = request({{"FunctionName", f.name}, {"AdapterJsonKeyCheck", "true"}});
        if (std::string(f.name) == "GetVersion") {
            EXPECT_EQ(adapter->call(json), "GetVersion:ok");
            EXPECT_EQ(lastJournalLine(), "GetVersion\tint:0");
        } else {
            EXPECT_EQ(adapter->call(json), "61908");
        }
    }
    EXPECT_EQ(journal(), std::vector<std::string>{"GetVersion\tint:0"});
    std::string text = log();
    EXPECT_NE(text.find("Json map key not found: strLoadLibName"), std::string::npos);
    EXPECT_NE(text.find("Json map key not found: bSignedIds"), std::string::npos);
    EXPECT_EQ(text.find("Json map key not found: flag"), std::string::npos)
        << "GetVersion reads flag unchecked";
}

TEST_F(AdapterTest, MissingKeyUnderTheKeyCheckAnswers61016) {
    ASSERT_EQ(adapter->unlock(), "0");
    for (const auto& f : kFunctions) {
        SCOPED_TRACE(f.name);
        const char* skip = f.keys.empty() ? nullptr : f.keys.back().name;
        Built b = buildCall(f, {{"AdapterJsonKeyCheck", "TRUE"}}, skip);
        size_t before = journalSize();
        std::string answer = adapter->call(b.json);
        if (f.keys.empty() || std::string(f.name) == "GetVersion") {
            EXPECT_EQ(answer, defaultAnswer(f));
            EXPECT_EQ(lastJournalLine(), b.journalLine);
        } else {
            EXPECT_EQ(answer, "61016");
            EXPECT_EQ(journalSize(), before) << "no component call";
        }
    }
}

TEST_F(AdapterTest, MissingKeyWithoutTheKeyCheckPassesTheMissingValue) {
    ASSERT_EQ(adapter->unlock(), "0");
    const Function& autoSign = functionNamed("C_P11AutoSign");
    const Function& encode = functionNamed("CryptEncode");
    for (auto check : std::vector<std::vector<std::pair<std::string, std::string>>>{
             {}, {{"AdapterJsonKeyCheck", "false"}}, {{"AdapterJsonKeyCheck", "1"}}}) {
        Built b = buildCall(autoSign, check, "hStore");
        EXPECT_EQ(adapter->call(b.json), "C_P11AutoSign:ok");
        EXPECT_EQ(lastJournalLine(), b.journalLine);
        EXPECT_NE(b.journalLine.find("\tint:0\tbstr:\"v7-strData\""), std::string::npos);
        b = buildCall(encode, check, "strPemTitle");
        EXPECT_EQ(adapter->call(b.json), "CryptEncode:ok");
        EXPECT_EQ(lastJournalLine(), "CryptEncode\tbstr:\"v0-bData\"\tvariant-bstr:null");
    }
    // A present key with an empty value is not missing.
    EXPECT_EQ(adapter->call(request({{"FunctionName", "P11ChangePin"},
                                     {"AdapterJsonKeyCheck", "true"},
                                     {"strOldPIN", ""},
                                     {"strNewPIN", "9"}})),
              "1007");
    EXPECT_EQ(lastJournalLine(), "P11ChangePin\tbstr:\"\"\tbstr:\"9\"");
}

TEST_F(AdapterTest, ValuesAreDecodedByTheirFlagsAndIntegersReadLeniently) {
    ASSERT_EQ(adapter->unlock(), "0");
    struct Case {
        const char* value;
        const char* seen;
    } cases[] = {
        {"TRUE", "int:1"},
        {"False", "int:0"},
        {"12abc", "int:12"},
        {"abc", "int:0"},
        {" -5", "int:-5"},
        {"99999999999", "int:2147483647"},
        {"-99999999999", "int:-2147483648"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        EXPECT_EQ(adapter->call(request({{"FunctionName", "ShowDebugMessage"}, {"bShow", c.value}})), "0");
        EXPECT_EQ(lastJournalLine(), std::string("ShowDebugMessage\t") + c.seen);
    }
    // A text key keeps "true" as text; the value flags of the request are applied.
    EXPECT_EQ(adapter->call(request({{"FunctionName", "P11SetSlotByReaderName"}, {"bReader", "true"}})),
              "1026");
    EXPECT_EQ(lastJournalLine(), "P11SetSlotByReaderName\tbstr:\"true\"");
    EXPECT_EQ(adapter->call(request({{"FunctionName", "P11Init"},
                                     {"STRLOADLIBNAME", "YWJj"},
                                     {"strLoadLibName_TessarionBase64Flag", "true"}})),
              "1000");
    EXPECT_EQ(lastJournalLine(), "P11Init\tbstr:\"abc\"");
    EXPECT_EQ(adapter->call(request({{"FunctionName", "P11Init"},
                                     {"strLoadLibName", "C:*x*p11.dll"},
                                     {"strLoadLibName_TessarionFlag", "true"}})),
              "1000");
    EXPECT_EQ(lastJournalLine(), "P11Init\tbstr:\"C:\\\\x\\\\p11.dll\"");
}

TEST_F(AdapterTest, CryptEncodeSendsTheTitleInTheAnsiCodePageAndTheDataAsUtf8) {
    ASSERT_EQ(adapter->unlock(), "0");
    // "é" and "€" as UTF-8 bytes; the ANSI code page 1252 reads each byte as one character.
    EXPECT_EQ(
        adapter->call(request(
            {{"FunctionName", "CryptEncode"}, {"bData", "d\u00e9\u20ac"}, {"strPemTitle", "t\u00e9\u20ac"}})),
        "CryptEncode:ok");
    EXPECT_EQ(lastJournalLine(),
              "CryptEncode\tbstr:\"d\u00e9\u20ac\"\tvariant-bstr:\"t\u00c3\u00a9\u00e2\u201a\u00ac\"");
    EXPECT_EQ(adapter->call(request({{"FunctionName", "CryptEncode"}, {"bData", ""}, {"strPemTitle", ""}})),
              "CryptEncode:ok");
    EXPECT_EQ(lastJournalLine(), "CryptEncode\tbstr:\"\"\tvariant-bstr:\"\"");
}

TEST_F(AdapterTest, FailingMethodAnswers61011WithTheSafeLineRecord) {
    ASSERT_EQ(adapter->unlock(), "0");
    for (const char* errorInfo : {"on", "off"}) {
        SCOPED_TRACE(errorInfo);
        machine.setComponentSetting("component_errorinfo", errorInfo);
        for (const char* name :
             {"P11Init", "ShowDebugMessage", "CryptEncode", "C_VerifyByDES", "GetRespData"}) {
            SCOPED_TRACE(name);
            machine.setComponentSetting("component_fail", name);
            const Function& f = functionNamed(name);
            Built b = buildCall(f);
            EXPECT_EQ(adapter->call(b.json), "61011");
            EXPECT_EQ(lastJournalLine(), b.journalLine) << "the call reached the component";
            EXPECT_NE(log().find(std::string("[Safe Line] Safe in ComponentAPI_") + name + " at "),
                      std::string::npos);
        }
    }
    // The next call after a failure is unaffected.
    machine.setComponentSetting("component_fail", "");
    EXPECT_EQ(adapter->call(buildCall(functionNamed("P11Init")).json), "1000");
    std::string text = log();
    EXPECT_NE(text.find("Catch component exception"), std::string::npos);
    EXPECT_NE(text.find(" lines in AdapterProject"), std::string::npos);
}

TEST_F(AdapterTest, WithoutARegisteredComponentEveryCallAnswers61905UntilItIs) {
    ASSERT_TRUE(machine.unregisterComponent());
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(adapter->unlock(), "61905");
        EXPECT_EQ(adapter->call(buildCall(functionNamed("P11Init")).json), "61905");
        EXPECT_EQ(adapter->call(request({{"FunctionName", "Tessarion_GetVersion"}})), "61905");
    }
    EXPECT_NE(log().find("Component init error!"), std::string::npos);
    ASSERT_TRUE(machine.registerComponent());
    EXPECT_EQ(adapter->call(buildCall(functionNamed("P11Init")).json), "61908");
    EXPECT_EQ(adapter->unlock(), "0");
    EXPECT_EQ(adapter->call(buildCall(functionNamed("P11Init")).json), "1000");
}

TEST_F(AdapterTest, DispatchByIndexThenByName) {
    ASSERT_EQ(adapter->unlock(), "0");
    struct Case {
        std::string index;  // "" for no index key
        std::string name;
        std::string answer;
        std::string journal;  // "" when the component is not called
    } cases[] = {
        {"0", "P11Init", "1000", "P11Init\tbstr:null"},
        {"", "P11Init", "1000", "P11Init\tbstr:null"},   // no index: 0
        {"", "P11Logout", "1004", "P11Logout"},          // index 0 mismatch, found by name
        {"5", "P11Init", "1000", "P11Init\tbstr:null"},  // the name wins
        {"68", "GetErrorCode", "1008", "GetErrorCode"},  // out of range
        {"-4", "GetErrorCode", "1008", "GetErrorCode"},
        {"67", "c_p11fedisign", "C_P11FEDISign:ok", "C_P11FEDISign\tbstr:null\tint:0\tint:0"},
        {"", "P11LOGOUT", "1004", "P11Logout"},
        {"", "Tessarion_GetVersion", "1,0,20,907", ""},
        {"", "tessarion_getversion", "1,0,20,907", ""},
        {"-1", "NoSuchFunction", "1,0,20,907", ""},  // system index, any name
        {"", "NoSuchFunction", "61005", ""},
        {"", "!before-every-name", "61005", ""},
        {"", "zzz-after-every-name", "61005", ""},
        {"3", "P11Logi", "61005", ""},
        {"", std::string(200, 'P'), "61005", ""},
        {"", "", "61005", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.index + " " + c.name);
        std::vector<std::pair<std::string, std::string>> pairs = {{"FunctionName", c.name}};
        if (!c.index.empty()) pairs.push_back({"TessarionFunctionIndex", c.index});
        size_t before = journalSize();
        EXPECT_EQ(adapter->call(request(pairs)), c.answer);
        if (c.journal.empty())
            EXPECT_EQ(journalSize(), before);
        else
            EXPECT_EQ(lastJournalLine(), c.journal);
    }
    std::string text = log();
    EXPECT_NE(text.find("TessarionFunctionIndex is not match with adapter"), std::string::npos);
    EXPECT_NE(text.find("FunctionIndex: Out of range"), std::string::npos);
    EXPECT_NE(text.find("Function name does not match: NoSuchFunction"), std::string::npos);
}

TEST_F(AdapterTest, MalformedCallsAnswerTheEmptyTextOr61005) {
    EXPECT_EQ(adapter->call("{}"), "");
    EXPECT_EQ(adapter->call(R"({"FunctionName":"Tessarion_GetVersion")"), "") << "unterminated: nothing runs";
    EXPECT_EQ(adapter->call("not json"), "61005") << "two bare words tokenize into a map without pairs";
    EXPECT_EQ(adapter->call(R"({"url":"https://app.example.test"})"), "61005");
    const char* answer = adapter->rawCall(nullptr);
    ASSERT_NE(answer, nullptr);
    EXPECT_STREQ(answer, "");
    JsonMap* map = parseJsonMap(R"({"FunctionName":"P11Logout"})");
    ASSERT_NE(map, nullptr);
    EXPECT_EQ(adapter->callMap(map, nullptr), "");
    EXPECT_EQ(adapter->callMap(nullptr, "P11Logout"), "");
    EXPECT_EQ(adapter->callMap(map, "P11Logout"), "61908");
    EXPECT_EQ(adapter->callMap(map, "Tessarion_GetVersion"), "1,0,20,907");
    freeJsonMap(map);
}

TEST_F(AdapterTest, UnlockFollowsTheBuiltInDomainAndReleaseNeedsANewUnlock) {
    const std::string logout = request({{"FunctionName", "P11Logout"}});
    EXPECT_EQ(adapter->call(request({{"FunctionName", "Tessarion_Unlock"}})), "61908") << "no url";
    EXPECT_EQ(adapter->unlock("https://" KVLB_WEB_DOMAIN), "61908") << "the bare domain is not a page of it";
    EXPECT_EQ(adapter->unlock("https://evil.test"), "61908");
    EXPECT_EQ(adapter->unlock("https://app." KVLB_WEB_DOMAIN ".evil.test"), "61908");
    EXPECT_EQ(adapter->unlock("not a url"), "61908");
    EXPECT_EQ(adapter->call(logout), "61908");
    EXPECT_EQ(adapter->unlock("https://WWW." KVLB_WEB_DOMAIN ":8443"), "0");
    EXPECT_EQ(adapter->call(request({{"FunctionName", "Tessarion_Unlock"}})), "0") << "stays unlocked";
    EXPECT_EQ(adapter->unlock("https://evil.test"), "0") << "not checked again once unlocked";
    EXPECT_EQ(adapter->call(logout), "1004");

    // Release by index, whatever the name; the answer is the empty text.
    EXPECT_EQ(adapter->call(request({{"FunctionName", "P11Logout"}, {"TessarionFunctionIndex", "-3"}})), "");
    EXPECT_EQ(adapter->call(logout), "61908");
    EXPECT_EQ(adapter->unlock(), "0");
    EXPECT_EQ(adapter->call(logout), "1004");
    EXPECT_EQ(adapter->call(request({{"FunctionName", "tessarion_release"}})), "");
    EXPECT_EQ(adapter->call(logout), "61908");
}

TEST_F(AdapterTest, ReleaseLetsGoOfTheComponent) {
    // The service unloads a copy right after its release; whatever the copy still held then
    // would stay alive for the life of the service.
    HMODULE component = LoadLibraryW(machine.componentLibrary().c_str());
    ASSERT_NE(component, nullptr);
    auto canUnloadNow = entry<HRESULT(STDAPICALLTYPE*)()>(component, "DllCanUnloadNow");
    ASSERT_NE(canUnloadNow, nullptr);
    ASSERT_EQ(adapter->unlock(), "0");
    EXPECT_EQ(adapter->call(request({{"FunctionName", "P11Logout"}})), "1004");
    EXPECT_EQ(canUnloadNow(), S_FALSE) << "the component is in use";
    EXPECT_EQ(adapter->call(request({{"FunctionName", "Tessarion_Release"}})), "");
    EXPECT_EQ(canUnloadNow(), S_OK);
    FreeLibrary(component);
}

TEST_F(AdapterTest, TwoCopiesFromTwoPathsAreIndependent) {
    AdapterCopy other(machine, "Session_1");
    ASSERT_TRUE(other.loaded());
    const std::string logout = request({{"FunctionName", "P11Logout"}});
    ASSERT_EQ(adapter->unlock(), "0");
    EXPECT_EQ(other.call(logout), "61908") << "the unlock of one copy is not the other's";
    ASSERT_EQ(other.unlock(), "0");
    EXPECT_EQ(
        adapter->call(request({{"FunctionName", "Tessarion_Release"}, {"TessarionFunctionIndex", "-3"}})),
        "");
    EXPECT_EQ(adapter->call(logout), "61908");
    EXPECT_EQ(other.call(logout), "1004");
    // Each result text belongs to its own copy.
    const char* first = other.rawCall(logout.c_str());
    std::string kept = first;
    adapter->call(logout);
    EXPECT_STREQ(first, kept.c_str());
}
