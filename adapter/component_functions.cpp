// The 68 component functions. Every handler follows one template: read the argument keys, refuse
// when locked (61908) or when a key is missing under "AdapterJsonKeyCheck" (61016), call the
// method of the same name on ISigningComponent, answer by the method's out parameter, and turn a
// COM error into 61011. The kinds of arguments and result come from the method's signature
// (BSTR: text key, LONG: integer key, VARIANT: text variant; LONG* number, BSTR* text, none),
// so each function's row below holds only its name and keys in call order.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "adapter/adapter.h"
#include "common/allowlist.h"
#include "common/codec.h"
#include "common/log.h"
#include "common/request_values/value_getters.h"
#include "common/text.h"

namespace {

enum HandlerSteps {
    kCommonSteps = 0,
    kNoChecks = 1,       // GetVersion: no key stage, no unlock check, no key check
    kStdNumberText = 2,  // the number answered through the standard conversion
};

// The text variant: read as narrow text in the key stage, turned into a VARIANT of the ANSI
// code page only when the call goes ahead, and cleared as soon as the call is over.
struct TextVariant {
    char* text = nullptr;
    VARIANT value;
    TextVariant() { VariantInit(&value); }
    ~TextVariant() {
        VariantClear(&value);
        wipeAndFree(text);
    }
    TextVariant(const TextVariant&) = delete;
    TextVariant& operator=(const TextVariant&) = delete;

    void build() {
        VariantClear(&value);
        value.vt = VT_BSTR;
        value.bstrVal = nullptr;
        if (text == nullptr) return;
        // The text is converted as it stands; the BSTR's length is the text's, so the terminator
        // that the conversion carries along does not become a character of the string.
        int units = MultiByteToWideChar(CP_ACP, 0, text, -1, static_cast<OLECHAR*>(nullptr), 0);
        if (units <= 0)
            _com_issue_error(
                HRESULT_FROM_WIN32(GetLastError() ? GetLastError() : ERROR_NO_UNICODE_TRANSLATION));
        BSTR converted = SysAllocStringLen(nullptr, (UINT)(units - 1));
        if (converted == nullptr) _com_issue_error(E_OUTOFMEMORY);
        std::basic_string<OLECHAR> buffer((size_t)units, OLECHAR(0));
        if (MultiByteToWideChar(CP_ACP, 0, text, -1, buffer.data(), units) != units) {
            SysFreeString(converted);
            _com_issue_error(
                HRESULT_FROM_WIN32(GetLastError() ? GetLastError() : ERROR_NO_UNICODE_TRANSLATION));
        }
        std::memcpy(converted, buffer.data(), (size_t)(units - 1) * sizeof(OLECHAR));
        value.bstrVal = converted;
    }
};

// What one input parameter type of a method is read into.
template <typename T>
struct ArgumentOf;
template <>
struct ArgumentOf<BSTR> {
    using type = _bstr_t;
};
template <>
struct ArgumentOf<LONG> {
    using type = LONG;
};
template <>
struct ArgumentOf<VARIANT> {
    using type = TextVariant;
};

void readArgument(JsonMap* map, const char* key, _bstr_t& out) {
    out = getJsonBstr(map, key);
}
void readArgument(JsonMap* map, const char* key, LONG& out) {
    out = getJsonInt(map, key);
}
void readArgument(JsonMap* map, const char* key, TextVariant& out) {
    out.text = getCheckedJsonText(map, key);
}

BSTR passArgument(_bstr_t& holder) {
    return holder.GetBSTR();
}
LONG passArgument(LONG number) {
    return number;
}
VARIANT passArgument(TextVariant& variant) {
    return variant.value;
}

void buildArgument(_bstr_t&) {}
void buildArgument(LONG) {}
void buildArgument(TextVariant& variant) {
    variant.build();
}
void clearArgument(_bstr_t&) {}
void clearArgument(LONG) {}
void clearArgument(TextVariant& variant) {
    VariantClear(&variant.value);
}

// A method's parameters split into its inputs and its out parameter (void when it has none).
template <typename... P>
struct Signature;
template <>
struct Signature<> {
    using Inputs = std::tuple<>;
    using Out = void;
};
template <typename Last>
struct Signature<Last> {
    static constexpr bool kIsOut = std::is_same_v<Last, LONG*> || std::is_same_v<Last, BSTR*>;
    using Inputs = std::conditional_t<kIsOut, std::tuple<>, std::tuple<Last>>;
    using Out = std::conditional_t<kIsOut, std::remove_pointer_t<Last>, void>;
};
template <typename First, typename... Rest>
struct Signature<First, Rest...> {
    using Inputs = decltype(std::tuple_cat(std::declval<std::tuple<First>>(),
                                           std::declval<typename Signature<Rest...>::Inputs>()));
    using Out = typename Signature<Rest...>::Out;
};

template <typename Tuple>
struct HolderTuple;
template <typename... T>
struct HolderTuple<std::tuple<T...>> {
    using type = std::tuple<typename ArgumentOf<T>::type...>;
};

void answerNumber(LONG number, int steps) {
    takeAdapterResult(steps & kStdNumberText ? numberToText(number) : intToText(number));
}

template <typename Method, typename Holders, typename Out, size_t... I>
void invokeMethod(Method method, Holders& holders, Out* out, std::index_sequence<I...>) {
    (buildArgument(std::get<I>(holders)), ...);
    HRESULT hr;
    if constexpr (std::is_same_v<Out, void>)
        hr = (componentInterface->*method)(passArgument(std::get<I>(holders))...);
    else
        hr = (componentInterface->*method)(passArgument(std::get<I>(holders))..., out);
    (clearArgument(std::get<I>(holders)), ...);
    if (FAILED(hr)) _com_issue_errorex(hr, componentInterface, IID_ISigningComponent);
}

// The key stage: the check on and no key missing yet on entry; the check is off again on every way
// out, so no later lookup counts as missing.
struct KeyStage {
    KeyStage() {
        keyCheckMode = 1;
        keyCheckError = 0;
    }
    ~KeyStage() { keyCheckMode = 0; }
    KeyStage(const KeyStage&) = delete;
    KeyStage& operator=(const KeyStage&) = delete;
};

// Reads every argument key into its holder, for a checked function inside the key stage, so that
// a missing key is noted in keyCheckError. A function without keys has no key stage.
template <typename Holders, size_t... I>
void readArguments(JsonMap* map, const char* const* keyNames, Holders& holders, bool checked,
                   std::index_sequence<I...>) {
    if constexpr (sizeof...(I) > 0) {
        if (checked) {
            KeyStage stage;
            (readArgument(map, keyNames[I], std::get<I>(holders)), ...);
        } else {
            (readArgument(map, keyNames[I], std::get<I>(holders)), ...);
        }
    }
}

// False, with the refusal answered, when a checked function may not call the component: the page
// has not unlocked the adapter, or a key is missing and the page asks for the key check.
bool callAllowed(JsonMap* map, bool checked, bool hasKeys) {
    if (!checked) return true;
    if (!urlUnlocked) {
        setAdapterCode(kResultLocked);
        return false;
    }
    if (hasKeys && keyCheckError != 0 && isJsonFlagTrue(map, "AdapterJsonKeyCheck")) {
        takeAdapterResult(intToText(keyCheckError));
        return false;
    }
    return true;
}

// Calls the method and answers by its out parameter: "0" without one, else its number or text.
template <typename Out, typename Method, typename Holders, typename Inputs>
void callAndAnswer(Method method, Holders& holders, const char* name, int steps, Inputs inputs) {
    logNormal("Ready into component func: ", name);
    if (componentInterface == nullptr) _com_issue_error(E_POINTER);
    if constexpr (std::is_same_v<Out, void>) {
        invokeMethod(method, holders, static_cast<void*>(nullptr), inputs);
        logNormal("Finish component func: ", name);
        setAdapterCode(kResultOk);
    } else if constexpr (std::is_same_v<Out, LONG>) {
        LONG out = 0;
        invokeMethod(method, holders, &out, inputs);
        logNormal("Finish component func: ", name);
        answerNumber(out, steps);
    } else {
        BSTR out = nullptr;
        invokeMethod(method, holders, &out, inputs);
        _bstr_t result(out, false);  // takes the string over without copying
        logNormal("Finish component func: ", name);
        takeAdapterResult(bstrHolderToUtf8(result));
    }
}

// A COM error of the call answers kResultComponentError; the log names the handler it hit.
void answerComponentError(const char* handlerName, int line) {
    logWarning("Catch component exception", "");
    setAdapterCode(kResultComponentError);
    char safe[512];
    std::snprintf(safe, sizeof safe, "Safe in %s at %d lines in %s", handlerName, line, "AdapterProject");
    logError("[Safe Line] ", safe);
}

template <typename... P, typename... Keys>
void runComponentFunction(JsonMap* map, const char* name, const char* handlerName, int line, int steps,
                          HRESULT (STDMETHODCALLTYPE ISigningComponent::*method)(P...), Keys... keys) {
    using Sig = Signature<P...>;
    using Holders = typename HolderTuple<typename Sig::Inputs>::type;
    constexpr size_t kInputs = std::tuple_size_v<typename Sig::Inputs>;
    static_assert(sizeof...(Keys) == kInputs, "one request key per input of the method");
    const char* keyNames[kInputs + 1] = {keys..., nullptr};
    const auto inputs = std::make_index_sequence<kInputs>();

    logNormal("Into adapter function: ", handlerName);
    Holders holders;
    bool checked = !(steps & kNoChecks);
    readArguments(map, keyNames, holders, checked, inputs);
    if (!callAllowed(map, checked, kInputs > 0)) return;
    try {
        callAndAnswer<typename Sig::Out>(method, holders, name, steps, inputs);
    } catch (const _com_error&) {
        answerComponentError(handlerName, line);
    }
}

}  // namespace

// The "[Safe Line]" record names a handler by its row's number: 237 for the first row and one
// more for each row after it. Readers of the log match on these numbers, so they are counted
// from the table's first line rather than taken as the source line, which moves with any edit
// above the table.
constexpr int kFirstRowNumber = 237;

#define COMPONENT_HANDLER(steps, name, ...)                                        \
    static void ComponentAPI_##name(JsonMap* map) {                                \
        runComponentFunction(map, #name, "ComponentAPI_" #name,                    \
                             kFirstRowNumber + (__LINE__ - kFirstRowLine), steps,  \
                             &ISigningComponent::name __VA_OPT__(, ) __VA_ARGS__); \
    }
#define COMPONENT_API(name, ...) COMPONENT_HANDLER(kCommonSteps, name __VA_OPT__(, ) __VA_ARGS__)
#define COMPONENT_API_UNCHECKED(name, ...) COMPONENT_HANDLER(kNoChecks, name __VA_OPT__(, ) __VA_ARGS__)
#define COMPONENT_API_STD_NUMBER(name, ...) COMPONENT_HANDLER(kStdNumberText, name __VA_OPT__(, ) __VA_ARGS__)

// One line per function, in function-index order: name, then the request keys in call order.
// clang-format off
constexpr int kFirstRowLine = __LINE__ + 1;
COMPONENT_API(P11Init, "strLoadLibName")
COMPONENT_API(SetCodePage, "codepage")  // no out value: answers "0"
COMPONENT_API(P11SessionOpen)  // no keys: no key stage, never 61016
COMPONENT_API(P11Login, "UserPIN")
COMPONENT_API(P11Logout)  // no keys: no key stage, never 61016
COMPONENT_API(P11SessionClose)  // no keys: no key stage, never 61016
COMPONENT_API(P11Final)  // no keys: no key stage, never 61016
COMPONENT_API(P11ChangePin, "strOldPIN", "strNewPIN")
COMPONENT_API(GetErrorCode)  // no keys: no key stage, never 61016
COMPONENT_API(P11WriteX509Cert, "strCert", "strLabel", "strKeyID")
COMPONENT_API(CryptCertEncrypt, "strCert", "strData", "iFlags", "iKeyUsage")
COMPONENT_API(P11GenerateCertRequest, "strPriKeyLabel", "strPriKeyID", "strPubKeyLabel", "strPubKeyID", "KeyLength", "strSubject")
COMPONENT_API(P11ReadCertificate, "strSubject", "strIssuer", "hStore", "strData", "iFlags", "iKeyUsage")
COMPONENT_API(P11SetCurrentSlot, "SlotNumber")
COMPONENT_API(P11WriteData, "strData", "strLabel", "iPrivate", "iFlags")
COMPONENT_API(P11ReadData, "strLabel", "iPrivate", "iFlags")
COMPONENT_API(CryptCertGetSubject, "strCert", "iFlags")
COMPONENT_API_UNCHECKED(GetVersion, "flag")  // no key stage, no unlock or key check
COMPONENT_API(P11AcceptCert, "strCert", "iFlags")
COMPONENT_API(CryptCertGetIssuer, "strCert", "iFlags")
COMPONENT_API(CryptCertGetNotBefore, "strCert", "iFlags")
COMPONENT_API(CryptCertGetNotAfter, "strCert", "iFlags")
COMPONENT_API(CryptCertGetSerialNumber, "strCert", "iFlags")
COMPONENT_API(P11PureSign, "strLabel", "strData", "iFlags")
COMPONENT_API(C_P11Sign, "hStore", "strData", "signcodepage", "iFlags", "iHashFlag")
COMPONENT_API(DetectReplug, "bProvider", "bReader", "bAdvReaderList", "iFlags", "iReplugTime")
COMPONENT_API(P11SetSlotByReaderName, "bReader")
COMPONENT_API(CryptEncode, "bData", "strPemTitle")  // strPemTitle goes as a VT_BSTR VARIANT in the ANSI code page
COMPONENT_API(C_P11XMLSignTemplate, "bstrXML", "bstrSignId")
COMPONENT_API(C_P11XMLIFXSign, "bXML", "bId", "bSignedIds", "iFlags", "iHashFlag")
COMPONENT_API(C_P11PureSign, "bData", "signcodepage", "iFlags", "iHashFlag")
COMPONENT_API(CAPISetLanguage, "strLanguage")
COMPONENT_API(ReaderListDlg, "bTopMostDevice")
COMPONENT_API(P11signDrwr, "iDrwrType", "bstrXML")
COMPONENT_API(C_P11SelectCert, "strSubject", "strIssuer", "iFlags", "iKeyUsage")
COMPONENT_API(C_SetLanguage, "strLanguage")
COMPONENT_API(C_P11Login, "UserPIN")
COMPONENT_API(C_P11CheckCertMAC, "strTokenType", "strKeyLabel", "strCert", "strMAC")
COMPONENT_API(C_P11MakePubKeyMAC, "strTokenType", "strKeyLabel", "strCSR")
COMPONENT_API(C_SetResponse, "iFlags")
COMPONENT_API(C_P11AutoPureSign, "strLoadLibName", "UserPIN", "bReader", "bAdvReaderList", "strSubject", "strIssuer", "bData", "signcodepage", "iFlags", "iKeyUsage", "iHashFlag", "iReplugTime")
COMPONENT_API(C_P11AutoSign, "strLoadLibName", "UserPIN", "bReader", "bAdvReaderList", "strSubject", "strIssuer", "hStore", "strData", "signcodepage", "iFlags", "iKeyUsage", "iHashFlag", "iReplugTime")
COMPONENT_API(C_XMLP11AutoIFXSign, "strLoadLibName", "UserPIN", "bReader", "bAdvReaderList", "strSubject", "strIssuer", "bXML", "bId", "bSignedIds", "iFlags", "iKeyUsage", "iHashFlag", "iReplugTime")
COMPONENT_API(C_P11AutoGenerateCertRequest, "strTokenType", "strLoadLibName", "UserPIN", "bReader", "strPriKeyLabel", "strPriKeyID", "strPubKeyLabel", "strPubKeyID", "KeyLength", "strSubject", "iFlags", "iHashFlag")
COMPONENT_API(C_P11GetTokenInfo, "strField")
COMPONENT_API(C_P11AutoMakePubKeyMAC, "strTokenType", "strLoadLibName", "UserPIN", "strKeyLabel", "strCSR")
COMPONENT_API(C_P11AutoCheckCertMAC, "strTokenType", "strLoadLibName", "UserPIN", "strKeyLabel", "strCert", "strMAC")
COMPONENT_API(C_P11AutoAcceptCert, "strTokenType", "strLoadLibName", "UserPIN", "strCert", "iFlags")
COMPONENT_API(C_P11GenerateCertRequest, "strTokenType", "strPriKeyLabel", "strPriKeyID", "strPubKeyLabel", "strPubKeyID", "KeyLength", "strSubject", "iFlags", "iHashFlag")
COMPONENT_API(C_P11AcceptCert, "strTokenType", "strCert", "iFlags")
COMPONENT_API(C_GenerateUUID)  // no keys: no key stage, never 61016
COMPONENT_API(C_P11ReadCertificate, "iFlags")
COMPONENT_API(C_P11GetPublicKeyModulus, "strLabel", "iFlags")
COMPONENT_API(C_P11ChangePin, "strOldPIN", "strNewPIN")
COMPONENT_API(C_P11GetKeyLength, "iFlags")
COMPONENT_API(Init, "bInitCode", "bInitPath")
COMPONENT_API(ShowDebugMessage, "bShow")  // no out value: answers "0"
COMPONENT_API(C_XMLP11AutoSignTemplate, "strLoadLibName", "UserPIN", "bReader", "bAdvReaderList", "strSubject", "strIssuer", "bXML", "bId", "iFlags", "iKeyUsage", "iHashFlag", "iReplugTime")
COMPONENT_API(Get_TokenSN, "strLoadLibName")
COMPONENT_API(ReadPublicData, "strDriverName", "sObjectLabel")
COMPONENT_API_STD_NUMBER(C_VerifyByDES, "strDriverName", "sUSERPin", "sRndNumP11", "s3DESKeyLabel", "sCNLabel")  // number through the standard conversion
COMPONENT_API_STD_NUMBER(C_CardMakingByDES, "strDriverName", "sUSERPin", "s3DESKeyLabel", "s3DESKey", "sCNLabel", "sCN", "sBranchIDLabel", "sBranchID")  // number through the standard conversion
COMPONENT_API(Get_MAC)  // no keys: no key stage, never 61016
COMPONENT_API(Get_RandomString)  // no keys: no key stage, never 61016
COMPONENT_API(VerifyURL, "bOutURL", "iFlags")
COMPONENT_API(Show, "bXMLData")
COMPONENT_API(GetRespData)  // no keys: no key stage, never 61016
COMPONENT_API(C_P11FEDISign, "bData", "iFlags", "iHashFlag")
static_assert(__LINE__ - kFirstRowLine == 68, "one line for each of the 68 functions, no line between");
// clang-format on

void registerComponentFunctions() {
#define KVLB_REGISTER_FUNCTION(name, params, args) addAdapterFunction(ComponentAPI_##name, #name);
    KVLB_SIGNING_COMPONENT_METHODS(KVLB_REGISTER_FUNCTION)
#undef KVLB_REGISTER_FUNCTION
}
