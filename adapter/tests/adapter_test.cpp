// The adapter as the service uses it: loaded through LoadLibraryW from its own copy, driven
// through its two exports, with the stand-in component registered in the test's machine root.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "common/json_map.h"
#include "component/component_journal.h"
#include "component/signing_component.h"
#include "platform/root.h"
#include "platform/test_root.h"
#include "platform/win_base.h"

namespace fs = std::filesystem;

namespace {

enum Kind { T, I, V };               // text, integer, text variant
enum Result { Number, Text, None };  // the method's out value

struct Key {
    const char* name;
    Kind kind;
};

struct Function {
    int index;
    const char* name;
    std::vector<Key> keys;
    Result result;
};

// The 68 component functions: index, name, argument keys in call order with their kinds, result.
const std::vector<Function> kFunctions = {
    {0, "P11Init", {{"strLoadLibName", T}}, Number},
    {1, "SetCodePage", {{"codepage", I}}, None},
    {2, "P11SessionOpen", {}, Number},
    {3, "P11Login", {{"UserPIN", T}}, Number},
    {4, "P11Logout", {}, Number},
    {5, "P11SessionClose", {}, Number},
    {6, "P11Final", {}, Number},
    {7, "P11ChangePin", {{"strOldPIN", T}, {"strNewPIN", T}}, Number},
    {8, "GetErrorCode", {}, Number},
    {9, "P11WriteX509Cert", {{"strCert", T}, {"strLabel", T}, {"strKeyID", T}}, Number},
    {10, "CryptCertEncrypt", {{"strCert", T}, {"strData", T}, {"iFlags", I}, {"iKeyUsage", I}}, Text},
    {11,
     "P11GenerateCertRequest",
     {{"strPriKeyLabel", T},
      {"strPriKeyID", T},
      {"strPubKeyLabel", T},
      {"strPubKeyID", T},
      {"KeyLength", I},
      {"strSubject", T}},
     Text},
    {12,
     "P11ReadCertificate",
     {{"strSubject", T}, {"strIssuer", T}, {"hStore", I}, {"strData", T}, {"iFlags", I}, {"iKeyUsage", I}},
     Text},
    {13, "P11SetCurrentSlot", {{"SlotNumber", I}}, Number},
    {14, "P11WriteData", {{"strData", T}, {"strLabel", T}, {"iPrivate", I}, {"iFlags", I}}, Number},
    {15, "P11ReadData", {{"strLabel", T}, {"iPrivate", I}, {"iFlags", I}}, Text},
    {16, "CryptCertGetSubject", {{"strCert", T}, {"iFlags", I}}, Text},
    {17, "GetVersion", {{"flag", I}}, Text},
    {18, "P11AcceptCert", {{"strCert", T}, {"iFlags", I}}, Number},
    {19, "CryptCertGetIssuer", {{"strCert", T}, {"iFlags", I}}, Text},
    {20, "CryptCertGetNotBefore", {{"strCert", T}, {"iFlags", I}}, Text},
    {21, "CryptCertGetNotAfter", {{"strCert", T}, {"iFlags", I}}, Text},
    {22, "CryptCertGetSerialNumber", {{"strCert", T}, {"iFlags", I}}, Text},
    {23, "P11PureSign", {{"strLabel", T}, {"strData", T}, {"iFlags", I}}, Text},
    {24,
     "C_P11Sign",
     {{"hStore", I}, {"strData", T}, {"signcodepage", T}, {"iFlags", I}, {"iHashFlag", I}},
     Text},
    {25,
     "DetectReplug",
     {{"bProvider", T}, {"bReader", T}, {"bAdvReaderList", T}, {"iFlags", I}, {"iReplugTime", I}},
     Number},
    {26, "P11SetSlotByReaderName", {{"bReader", T}}, Number},
    {27, "CryptEncode", {{"bData", T}, {"strPemTitle", V}}, Text},
    {28, "C_P11XMLSignTemplate", {{"bstrXML", T}, {"bstrSignId", T}}, Text},
    {29,
     "C_P11XMLIFXSign",
     {{"bXML", T}, {"bId", T}, {"bSignedIds", T}, {"iFlags", I}, {"iHashFlag", I}},
     Text},
    {30, "C_P11PureSign", {{"bData", T}, {"signcodepage", T}, {"iFlags", I}, {"iHashFlag", I}}, Text},
    {31, "CAPISetLanguage", {{"strLanguage", T}}, Number},
    {32, "ReaderListDlg", {{"bTopMostDevice", T}}, Text},
    {33, "P11signDrwr", {{"iDrwrType", I}, {"bstrXML", T}}, Text},
    {34, "C_P11SelectCert", {{"strSubject", T}, {"strIssuer", T}, {"iFlags", I}, {"iKeyUsage", I}}, Number},
    {35, "C_SetLanguage", {{"strLanguage", T}}, Number},
    {36, "C_P11Login", {{"UserPIN", T}}, Number},
    {37,
     "C_P11CheckCertMAC",
     {{"strTokenType", T}, {"strKeyLabel", T}, {"strCert", T}, {"strMAC", T}},
     Number},
    {38, "C_P11MakePubKeyMAC", {{"strTokenType", T}, {"strKeyLabel", T}, {"strCSR", T}}, Text},
    {39, "C_SetResponse", {{"iFlags", I}}, Number},
    {40,
     "C_P11AutoPureSign",
     {{"strLoadLibName", T},
      {"UserPIN", T},
      {"bReader", T},
      {"bAdvReaderList", T},
      {"strSubject", T},
      {"strIssuer", T},
      {"bData", T},
      {"signcodepage", T},
      {"iFlags", I},
      {"iKeyUsage", I},
      {"iHashFlag", I},
      {"iReplugTime", I}},
     Text},
    {41,
     "C_P11AutoSign",
     {{"strLoadLibName", T},
      {"UserPIN", T},
      {"bReader", T},
      {"bAdvReaderList", T},
      {"strSubject", T},
      {"strIssuer", T},
      {"hStore", I},
      {"strData", T},
      {"signcodepage", T},
      {"iFlags", I},
      {"iKeyUsage", I},
      {"iHashFlag", I},
      {"iReplugTime", I}},
     Text},
    {42,
     "C_XMLP11AutoIFXSign",
     {{"strLoadLibName", T},
      {"UserPIN", T},
      {"bReader", T},
      {"bAdvReaderList", T},
      {"strSubject", T},
      {"strIssuer", T},
      {"bXML", T},
      {"bId", T},
      {"bSignedIds", T},
      {"iFlags", I},
      {"iKeyUsage", I},
      {"iHashFlag", I},
      {"iReplugTime", I}},
     Text},
    {43,
     "C_P11AutoGenerateCertRequest",
     {{"strTokenType", T},
      {"strLoadLibName", T},
      {"UserPIN", T},
      {"bReader", T},
      {"strPriKeyLabel", T},
      {"strPriKeyID", T},
      {"strPubKeyLabel", T},
      {"strPubKeyID", T},
      {"KeyLength", I},
      {"strSubject", T},
      {"iFlags", I},
      {"iHashFlag", I}},
     Text},
    {44, "C_P11GetTokenInfo", {{"strField", T}}, Text},
    {45,
     "C_P11AutoMakePubKeyMAC",
     {{"strTokenType", T}, {"strLoadLibName", T}, {"UserPIN", T}, {"strKeyLabel", T}, {"strCSR", T}},
     Text},
    {46,
     "C_P11AutoCheckCertMAC",
     {{"strTokenType", T},
      {"strLoadLibName", T},
      {"UserPIN", T},
      {"strKeyLabel", T},
      {"strCert", T},
      {"strMAC", T}},
     Number},
    {47,
     "C_P11AutoAcceptCert",
     {{"strTokenType", T}, {"strLoadLibName", T}, {"UserPIN", T}, {"strCert", T}, {"iFlags", I}},
     Number},
    {48,
     "C_P11GenerateCertRequest",
     {{"strTokenType", T},
      {"strPriKeyLabel", T},
      {"strPriKeyID", T},
      {"strPubKeyLabel", T},
      {"strPubKeyID", T},
      {"KeyLength", I},
      {"strSubject", T},
      {"iFlags", I},
      {"iHashFlag", I}},
     Text},
    {49, "C_P11AcceptCert", {{"strTokenType", T}, {"strCert", T}, {"iFlags", I}}, Number},
    {50, "C_GenerateUUID", {}, Text},
    {51, "C_P11ReadCertificate", {{"iFlags", I}}, Text},
    {52, "C_P11GetPublicKeyModulus", {{"strLabel", T}, {"iFlags", I}}, Text},
    {53, "C_P11ChangePin", {{"strOldPIN", T}, {"strNewPIN", T}}, Number},
    {54, "C_P11GetKeyLength", {{"iFlags", I}}, Number},
    {55, "Init", {{"bInitCode", T}, {"bInitPath", T}}, Number},
    {56, "ShowDebugMessage", {{"bShow", I}}, None},
    {57,
     "C_XMLP11AutoSignTemplate",
     {{"strLoadLibName", T},
      {"UserPIN", T},
      {"bReader", T},
      {"bAdvReaderList", T},
      {"strSubject", T},
      {"strIssuer", T},
      {"bXML", T},
      {"bId", T},
      {"iFlags", I},
      {"iKeyUsage", I},
      {"iHashFlag", I},
      {"iReplugTime", I}},
     Text},
    {58, "Get_TokenSN", {{"strLoadLibName", T}}, Text},
    {59, "ReadPublicData", {{"strDriverName", T}, {"sObjectLabel", T}}, Text},
    {60,
     "C_VerifyByDES",
     {{"strDriverName", T}, {"sUSERPin", T}, {"sRndNumP11", T}, {"s3DESKeyLabel", T}, {"sCNLabel", T}},
     Number},
    {61,
     "C_CardMakingByDES",
     {{"strDriverName", T},
      {"sUSERPin", T},
      {"s3DESKeyLabel", T},
      {"s3DESKey", T},
      {"sCNLabel", T},
      {"sCN", T},
      {"sBranchIDLabel", T},
      {"sBranchID", T}},
     Number},
    {62, "Get_MAC", {}, Text},
    {63, "Get_RandomString", {}, Text},
    {64, "VerifyURL", {{"bOutURL", T}, {"iFlags", I}}, Number},
    {65, "Show", {{"bXMLData", T}}, Number},
    {66, "GetRespData", {}, Text},
    {67, "C_P11FEDISign", {{"bData", T}, {"iFlags", I}, {"iHashFlag", I}}, Text},
};

typedef const char* (*CallMethodFunc)(const char*);
typedef const char* (*CallJsonMapMethodFunc)(JsonMap*, const char*);

// One loaded copy of the adapter, from a file of its own, as a session of the service holds it.
class AdapterCopy {
  public:
    AdapterCopy(const platform::TestRoot& root, const std::string& folder) {
        fs::create_directories(root.c(folder));
        fs::copy_file(KVLB_ADAPTER_LIBRARY, root.c(folder + "/KvlbTokenAdapter.dll"),
                      fs::copy_options::overwrite_existing);
        std::wstring path = L"C:\\" + std::wstring(folder.begin(), folder.end()) + L"\\KvlbTokenAdapter.dll";
        module_ = LoadLibraryW(path.c_str());
        if (module_) {
            call_ = reinterpret_cast<CallMethodFunc>(GetProcAddress(module_, "callMethod"));
            callMap_ = reinterpret_cast<CallJsonMapMethodFunc>(GetProcAddress(module_, "callJsonMapMethod"));
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

std::string jsonEscape(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out;
}

// A request object of the pairs in the given order.
std::string request(const std::vector<std::pair<std::string, std::string>>& pairs) {
    std::string json = "{";
    for (const auto& [k, v] : pairs) {
        if (json.size() > 1) json += ",";
        json += "\"" + k + "\":\"" + jsonEscape(v) + "\"";
    }
    return json + "}";
}

std::string journalQuoted(const std::string& text) {
    return "\"" + escapeJournalText(text) + "\"";
}

struct Built {
    std::string json;
    std::string journalLine;  // what the component must have seen
};

// Every key of the row with a value of its own, written in reverse order so that the call order
// can only come from the row; skip leaves one key out.
Built buildCall(const Function& f, const std::vector<std::pair<std::string, std::string>>& extra = {},
                const char* skip = nullptr) {
    std::vector<std::pair<std::string, std::string>> pairs = {
        {"FunctionName", f.name}, {"TessarionFunctionIndex", std::to_string(f.index)}};
    for (const auto& e : extra) pairs.push_back(e);
    std::string line = f.name;
    for (size_t i = 0; i < f.keys.size(); ++i) {
        const Key& k = f.keys[i];
        std::string value = k.kind == I ? std::to_string(-(int)(i + 1) * 1001)
                                        : std::string("v") + std::to_string(i) + "-" + k.name;
        bool skipped = skip && std::string(skip) == k.name;
        if (!skipped) pairs.insert(pairs.begin() + 2, {k.name, value});
        if (k.kind == I)
            line += "\tint:" + (skipped ? std::string("0") : value);
        else if (k.kind == T)
            line += skipped ? "\tbstr:null" : "\tbstr:" + journalQuoted(value);
        else
            line += skipped ? "\tvariant-bstr:null" : "\tvariant-bstr:" + journalQuoted(value);
    }
    return {request(pairs), line};
}

std::string defaultAnswer(const Function& f) {
    switch (f.result) {
        case Number:
            return std::to_string(1000 + f.index);
        case Text:
            return std::string(f.name) + ":ok";
        default:
            return "0";
    }
}

const Function& functionNamed(const std::string& name) {
    for (const auto& f : kFunctions)
        if (name == f.name) return f;
    throw std::runtime_error("no function " + name);
}

class AdapterTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(kFunctions.size(), 68u);
        ASSERT_TRUE(platform::registerComServer(CLSID_SigningComponent, KVLB_COMPONENT_LIBRARY));
        fs::create_directories(root.c("Windows"));
        std::ofstream ini(root.c("Windows/KVLBTessarion.ini"));
        ini << "[KVLBTessarion]\r\nLog File=C:\\adapter.log\r\nLog Level=5\r\n";
        ini.close();
        adapter = std::make_unique<AdapterCopy>(root, "Session_0");
        ASSERT_TRUE(adapter->loaded());
    }

    std::vector<std::string> journal() {
        std::vector<std::string> lines;
        std::ifstream in(componentJournalPath());
        for (std::string l; std::getline(in, l);) lines.push_back(l);
        return lines;
    }
    std::string lastJournalLine() {
        auto lines = journal();
        return lines.empty() ? "" : lines.back();
    }
    size_t journalSize() { return journal().size(); }
    // Everything the adapter logged so far.
    std::string log() {
        std::string all;
        for (const auto& e : fs::directory_iterator(root.c())) {
            std::string name = e.path().filename().string();
            if (name.rfind("adapter", 0) != 0) continue;
            std::ifstream in(e.path());
            all.append(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }
        return all;
    }

    platform::TestRoot root;
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
        platform::setSetting("component_number", c.number);
        platform::setSetting("component_text", c.text);
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
        platform::setSetting("component_errorinfo", errorInfo);
        for (const char* name :
             {"P11Init", "ShowDebugMessage", "CryptEncode", "C_VerifyByDES", "GetRespData"}) {
            SCOPED_TRACE(name);
            platform::setSetting("component_fail", name);
            const Function& f = functionNamed(name);
            Built b = buildCall(f);
            EXPECT_EQ(adapter->call(b.json), "61011");
            EXPECT_EQ(lastJournalLine(), b.journalLine) << "the call reached the component";
            EXPECT_NE(log().find(std::string("[Safe Line] Safe in ComponentAPI_") + name + " at "),
                      std::string::npos);
        }
    }
    // The next call after a failure is unaffected.
    platform::setSetting("component_fail", "");
    EXPECT_EQ(adapter->call(buildCall(functionNamed("P11Init")).json), "1000");
    std::string text = log();
    EXPECT_NE(text.find("Catch component exception"), std::string::npos);
    EXPECT_NE(text.find(" lines in AdapterProject"), std::string::npos);
}

TEST_F(AdapterTest, WithoutARegisteredComponentEveryCallAnswers61905UntilItIs) {
    ASSERT_TRUE(platform::unregisterComServer(CLSID_SigningComponent));
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(adapter->unlock(), "61905");
        EXPECT_EQ(adapter->call(buildCall(functionNamed("P11Init")).json), "61905");
        EXPECT_EQ(adapter->call(request({{"FunctionName", "Tessarion_GetVersion"}})), "61905");
    }
    EXPECT_NE(log().find("Component init error!"), std::string::npos);
    ASSERT_TRUE(platform::registerComServer(CLSID_SigningComponent, KVLB_COMPONENT_LIBRARY));
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
    std::string path = "Z:" KVLB_COMPONENT_LIBRARY;
    std::wstring wide(path.begin(), path.end());
    HMODULE component = LoadLibraryW(wide.c_str());
    ASSERT_NE(component, nullptr);
    auto canUnloadNow =
        reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(GetProcAddress(component, "DllCanUnloadNow"));
    ASSERT_NE(canUnloadNow, nullptr);
    ASSERT_EQ(adapter->unlock(), "0");
    EXPECT_EQ(adapter->call(request({{"FunctionName", "P11Logout"}})), "1004");
    EXPECT_EQ(canUnloadNow(), S_FALSE) << "the component is in use";
    EXPECT_EQ(adapter->call(request({{"FunctionName", "Tessarion_Release"}})), "");
    EXPECT_EQ(canUnloadNow(), S_OK);
    FreeLibrary(component);
}

TEST_F(AdapterTest, TwoCopiesFromTwoPathsAreIndependent) {
    AdapterCopy other(root, "Session_1");
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
