// The 68 component functions of the adapter as its callers see them, for the tests of the adapter
// and the check of the installed set: each row's request keys, the journal line the stand-in
// component must write for it and its default answer.
#pragma once

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "component/component_journal.h"

namespace component_table {

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
inline const std::vector<Function> kFunctions = {
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

inline std::string jsonEscape(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out;
}

// A request object of the pairs in the given order.
inline std::string request(const std::vector<std::pair<std::string, std::string>>& pairs) {
    std::string json = "{";
    for (const auto& [k, v] : pairs) {
        if (json.size() > 1) json += ",";
        json += "\"" + k + "\":\"" + jsonEscape(v) + "\"";
    }
    return json + "}";
}

inline std::string journalQuoted(const std::string& text) {
    return "\"" + escapeJournalText(text) + "\"";
}

struct Built {
    std::string json;
    std::string journalLine;  // what the component must have seen
};

// Every key of the row with a value of its own, written in reverse order so that the call order
// can only come from the row; skip leaves one key out.
inline Built buildCall(const Function& f, const std::vector<std::pair<std::string, std::string>>& extra = {},
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

inline std::string defaultAnswer(const Function& f) {
    switch (f.result) {
        case Number:
            return std::to_string(1000 + f.index);
        case Text:
            return std::string(f.name) + ":ok";
        default:
            return "0";
    }
}

inline const Function& functionNamed(const std::string& name) {
    for (const auto& f : kFunctions)
        if (name == f.name) return f;
    throw std::runtime_error("no function " + name);
}

}  // namespace component_table
