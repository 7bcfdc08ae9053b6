// The signing component's COM interface: class SigningComponent, dual interface
// ISigningComponent. Slots 0-2 are IUnknown's, 3-6 IDispatch's, and the method of function index
// i sits in slot 7 + i. Every method returns an HRESULT; text goes in as BSTR (NULL for a missing
// text), numbers as 32-bit LONG, CryptEncode's title as a VT_BSTR VARIANT; at most one out
// parameter comes last: a LONG* or a BSTR* the caller frees with SysFreeString.
#pragma once

#include "platform/win_com.h"

// {1857A4C9-FEA8-4C21-8066-7312AB16A69F}
inline constexpr CLSID CLSID_SigningComponent = {
    0x1857A4C9, 0xFEA8, 0x4C21, {0x80, 0x66, 0x73, 0x12, 0xAB, 0x16, 0xA6, 0x9F}};
// {90C7E637-4FE3-4D32-9825-8F83DC7D6E98}
inline constexpr IID IID_ISigningComponent = {
    0x90C7E637, 0x4FE3, 0x4D32, {0x98, 0x25, 0x8F, 0x83, 0xDC, 0x7D, 0x6E, 0x98}};

inline constexpr int kSigningComponentMethodCount = 68;

// The 68 methods in slot order: M(name, (parameters), (argument names)). The parameter names
// are the request keys the adapter reads for them.
// clang-format off
#define KVLB_SIGNING_COMPONENT_METHODS(M) \
    M(P11Init, (BSTR strLoadLibName, LONG* pResult), (strLoadLibName, pResult)) /* 0 */ \
    M(SetCodePage, (LONG codepage), (codepage)) /* 1 */ \
    M(P11SessionOpen, (LONG* pResult), (pResult)) /* 2 */ \
    M(P11Login, (BSTR UserPIN, LONG* pResult), (UserPIN, pResult)) /* 3 */ \
    M(P11Logout, (LONG* pResult), (pResult)) /* 4 */ \
    M(P11SessionClose, (LONG* pResult), (pResult)) /* 5 */ \
    M(P11Final, (LONG* pResult), (pResult)) /* 6 */ \
    M(P11ChangePin, (BSTR strOldPIN, BSTR strNewPIN, LONG* pResult), (strOldPIN, strNewPIN, pResult)) /* 7 */ \
    M(GetErrorCode, (LONG* pResult), (pResult)) /* 8 */ \
    M(P11WriteX509Cert, (BSTR strCert, BSTR strLabel, BSTR strKeyID, LONG* pResult), (strCert, strLabel, strKeyID, pResult)) /* 9 */ \
    M(CryptCertEncrypt, (BSTR strCert, BSTR strData, LONG iFlags, LONG iKeyUsage, BSTR* pResult), (strCert, strData, iFlags, iKeyUsage, pResult)) /* 10 */ \
    M(P11GenerateCertRequest, (BSTR strPriKeyLabel, BSTR strPriKeyID, BSTR strPubKeyLabel, BSTR strPubKeyID, LONG KeyLength, BSTR strSubject, BSTR* pResult), (strPriKeyLabel, strPriKeyID, strPubKeyLabel, strPubKeyID, KeyLength, strSubject, pResult)) /* 11 */ \
    M(P11ReadCertificate, (BSTR strSubject, BSTR strIssuer, LONG hStore, BSTR strData, LONG iFlags, LONG iKeyUsage, BSTR* pResult), (strSubject, strIssuer, hStore, strData, iFlags, iKeyUsage, pResult)) /* 12 */ \
    M(P11SetCurrentSlot, (LONG SlotNumber, LONG* pResult), (SlotNumber, pResult)) /* 13 */ \
    M(P11WriteData, (BSTR strData, BSTR strLabel, LONG iPrivate, LONG iFlags, LONG* pResult), (strData, strLabel, iPrivate, iFlags, pResult)) /* 14 */ \
    M(P11ReadData, (BSTR strLabel, LONG iPrivate, LONG iFlags, BSTR* pResult), (strLabel, iPrivate, iFlags, pResult)) /* 15 */ \
    M(CryptCertGetSubject, (BSTR strCert, LONG iFlags, BSTR* pResult), (strCert, iFlags, pResult)) /* 16 */ \
    M(GetVersion, (LONG flag, BSTR* pResult), (flag, pResult)) /* 17 */ \
    M(P11AcceptCert, (BSTR strCert, LONG iFlags, LONG* pResult), (strCert, iFlags, pResult)) /* 18 */ \
    M(CryptCertGetIssuer, (BSTR strCert, LONG iFlags, BSTR* pResult), (strCert, iFlags, pResult)) /* 19 */ \
    M(CryptCertGetNotBefore, (BSTR strCert, LONG iFlags, BSTR* pResult), (strCert, iFlags, pResult)) /* 20 */ \
    M(CryptCertGetNotAfter, (BSTR strCert, LONG iFlags, BSTR* pResult), (strCert, iFlags, pResult)) /* 21 */ \
    M(CryptCertGetSerialNumber, (BSTR strCert, LONG iFlags, BSTR* pResult), (strCert, iFlags, pResult)) /* 22 */ \
    M(P11PureSign, (BSTR strLabel, BSTR strData, LONG iFlags, BSTR* pResult), (strLabel, strData, iFlags, pResult)) /* 23 */ \
    M(C_P11Sign, (LONG hStore, BSTR strData, BSTR signcodepage, LONG iFlags, LONG iHashFlag, BSTR* pResult), (hStore, strData, signcodepage, iFlags, iHashFlag, pResult)) /* 24 */ \
    M(DetectReplug, (BSTR bProvider, BSTR bReader, BSTR bAdvReaderList, LONG iFlags, LONG iReplugTime, LONG* pResult), (bProvider, bReader, bAdvReaderList, iFlags, iReplugTime, pResult)) /* 25 */ \
    M(P11SetSlotByReaderName, (BSTR bReader, LONG* pResult), (bReader, pResult)) /* 26 */ \
    M(CryptEncode, (BSTR bData, VARIANT strPemTitle, BSTR* pResult), (bData, strPemTitle, pResult)) /* 27 */ \
    M(C_P11XMLSignTemplate, (BSTR bstrXML, BSTR bstrSignId, BSTR* pResult), (bstrXML, bstrSignId, pResult)) /* 28 */ \
    M(C_P11XMLIFXSign, (BSTR bXML, BSTR bId, BSTR bSignedIds, LONG iFlags, LONG iHashFlag, BSTR* pResult), (bXML, bId, bSignedIds, iFlags, iHashFlag, pResult)) /* 29 */ \
    M(C_P11PureSign, (BSTR bData, BSTR signcodepage, LONG iFlags, LONG iHashFlag, BSTR* pResult), (bData, signcodepage, iFlags, iHashFlag, pResult)) /* 30 */ \
    M(CAPISetLanguage, (BSTR strLanguage, LONG* pResult), (strLanguage, pResult)) /* 31 */ \
    M(ReaderListDlg, (BSTR bTopMostDevice, BSTR* pResult), (bTopMostDevice, pResult)) /* 32 */ \
    M(P11signDrwr, (LONG iDrwrType, BSTR bstrXML, BSTR* pResult), (iDrwrType, bstrXML, pResult)) /* 33 */ \
    M(C_P11SelectCert, (BSTR strSubject, BSTR strIssuer, LONG iFlags, LONG iKeyUsage, LONG* pResult), (strSubject, strIssuer, iFlags, iKeyUsage, pResult)) /* 34 */ \
    M(C_SetLanguage, (BSTR strLanguage, LONG* pResult), (strLanguage, pResult)) /* 35 */ \
    M(C_P11Login, (BSTR UserPIN, LONG* pResult), (UserPIN, pResult)) /* 36 */ \
    M(C_P11CheckCertMAC, (BSTR strTokenType, BSTR strKeyLabel, BSTR strCert, BSTR strMAC, LONG* pResult), (strTokenType, strKeyLabel, strCert, strMAC, pResult)) /* 37 */ \
    M(C_P11MakePubKeyMAC, (BSTR strTokenType, BSTR strKeyLabel, BSTR strCSR, BSTR* pResult), (strTokenType, strKeyLabel, strCSR, pResult)) /* 38 */ \
    M(C_SetResponse, (LONG iFlags, LONG* pResult), (iFlags, pResult)) /* 39 */ \
    M(C_P11AutoPureSign, (BSTR strLoadLibName, BSTR UserPIN, BSTR bReader, BSTR bAdvReaderList, BSTR strSubject, BSTR strIssuer, BSTR bData, BSTR signcodepage, LONG iFlags, LONG iKeyUsage, LONG iHashFlag, LONG iReplugTime, BSTR* pResult), (strLoadLibName, UserPIN, bReader, bAdvReaderList, strSubject, strIssuer, bData, signcodepage, iFlags, iKeyUsage, iHashFlag, iReplugTime, pResult)) /* 40 */ \
    M(C_P11AutoSign, (BSTR strLoadLibName, BSTR UserPIN, BSTR bReader, BSTR bAdvReaderList, BSTR strSubject, BSTR strIssuer, LONG hStore, BSTR strData, BSTR signcodepage, LONG iFlags, LONG iKeyUsage, LONG iHashFlag, LONG iReplugTime, BSTR* pResult), (strLoadLibName, UserPIN, bReader, bAdvReaderList, strSubject, strIssuer, hStore, strData, signcodepage, iFlags, iKeyUsage, iHashFlag, iReplugTime, pResult)) /* 41 */ \
    M(C_XMLP11AutoIFXSign, (BSTR strLoadLibName, BSTR UserPIN, BSTR bReader, BSTR bAdvReaderList, BSTR strSubject, BSTR strIssuer, BSTR bXML, BSTR bId, BSTR bSignedIds, LONG iFlags, LONG iKeyUsage, LONG iHashFlag, LONG iReplugTime, BSTR* pResult), (strLoadLibName, UserPIN, bReader, bAdvReaderList, strSubject, strIssuer, bXML, bId, bSignedIds, iFlags, iKeyUsage, iHashFlag, iReplugTime, pResult)) /* 42 */ \
    M(C_P11AutoGenerateCertRequest, (BSTR strTokenType, BSTR strLoadLibName, BSTR UserPIN, BSTR bReader, BSTR strPriKeyLabel, BSTR strPriKeyID, BSTR strPubKeyLabel, BSTR strPubKeyID, LONG KeyLength, BSTR strSubject, LONG iFlags, LONG iHashFlag, BSTR* pResult), (strTokenType, strLoadLibName, UserPIN, bReader, strPriKeyLabel, strPriKeyID, strPubKeyLabel, strPubKeyID, KeyLength, strSubject, iFlags, iHashFlag, pResult)) /* 43 */ \
    M(C_P11GetTokenInfo, (BSTR strField, BSTR* pResult), (strField, pResult)) /* 44 */ \
    M(C_P11AutoMakePubKeyMAC, (BSTR strTokenType, BSTR strLoadLibName, BSTR UserPIN, BSTR strKeyLabel, BSTR strCSR, BSTR* pResult), (strTokenType, strLoadLibName, UserPIN, strKeyLabel, strCSR, pResult)) /* 45 */ \
    M(C_P11AutoCheckCertMAC, (BSTR strTokenType, BSTR strLoadLibName, BSTR UserPIN, BSTR strKeyLabel, BSTR strCert, BSTR strMAC, LONG* pResult), (strTokenType, strLoadLibName, UserPIN, strKeyLabel, strCert, strMAC, pResult)) /* 46 */ \
    M(C_P11AutoAcceptCert, (BSTR strTokenType, BSTR strLoadLibName, BSTR UserPIN, BSTR strCert, LONG iFlags, LONG* pResult), (strTokenType, strLoadLibName, UserPIN, strCert, iFlags, pResult)) /* 47 */ \
    M(C_P11GenerateCertRequest, (BSTR strTokenType, BSTR strPriKeyLabel, BSTR strPriKeyID, BSTR strPubKeyLabel, BSTR strPubKeyID, LONG KeyLength, BSTR strSubject, LONG iFlags, LONG iHashFlag, BSTR* pResult), (strTokenType, strPriKeyLabel, strPriKeyID, strPubKeyLabel, strPubKeyID, KeyLength, strSubject, iFlags, iHashFlag, pResult)) /* 48 */ \
    M(C_P11AcceptCert, (BSTR strTokenType, BSTR strCert, LONG iFlags, LONG* pResult), (strTokenType, strCert, iFlags, pResult)) /* 49 */ \
    M(C_GenerateUUID, (BSTR* pResult), (pResult)) /* 50 */ \
    M(C_P11ReadCertificate, (LONG iFlags, BSTR* pResult), (iFlags, pResult)) /* 51 */ \
    M(C_P11GetPublicKeyModulus, (BSTR strLabel, LONG iFlags, BSTR* pResult), (strLabel, iFlags, pResult)) /* 52 */ \
    M(C_P11ChangePin, (BSTR strOldPIN, BSTR strNewPIN, LONG* pResult), (strOldPIN, strNewPIN, pResult)) /* 53 */ \
    M(C_P11GetKeyLength, (LONG iFlags, LONG* pResult), (iFlags, pResult)) /* 54 */ \
    M(Init, (BSTR bInitCode, BSTR bInitPath, LONG* pResult), (bInitCode, bInitPath, pResult)) /* 55 */ \
    M(ShowDebugMessage, (LONG bShow), (bShow)) /* 56 */ \
    M(C_XMLP11AutoSignTemplate, (BSTR strLoadLibName, BSTR UserPIN, BSTR bReader, BSTR bAdvReaderList, BSTR strSubject, BSTR strIssuer, BSTR bXML, BSTR bId, LONG iFlags, LONG iKeyUsage, LONG iHashFlag, LONG iReplugTime, BSTR* pResult), (strLoadLibName, UserPIN, bReader, bAdvReaderList, strSubject, strIssuer, bXML, bId, iFlags, iKeyUsage, iHashFlag, iReplugTime, pResult)) /* 57 */ \
    M(Get_TokenSN, (BSTR strLoadLibName, BSTR* pResult), (strLoadLibName, pResult)) /* 58 */ \
    M(ReadPublicData, (BSTR strDriverName, BSTR sObjectLabel, BSTR* pResult), (strDriverName, sObjectLabel, pResult)) /* 59 */ \
    M(C_VerifyByDES, (BSTR strDriverName, BSTR sUSERPin, BSTR sRndNumP11, BSTR s3DESKeyLabel, BSTR sCNLabel, LONG* pResult), (strDriverName, sUSERPin, sRndNumP11, s3DESKeyLabel, sCNLabel, pResult)) /* 60 */ \
    M(C_CardMakingByDES, (BSTR strDriverName, BSTR sUSERPin, BSTR s3DESKeyLabel, BSTR s3DESKey, BSTR sCNLabel, BSTR sCN, BSTR sBranchIDLabel, BSTR sBranchID, LONG* pResult), (strDriverName, sUSERPin, s3DESKeyLabel, s3DESKey, sCNLabel, sCN, sBranchIDLabel, sBranchID, pResult)) /* 61 */ \
    M(Get_MAC, (BSTR* pResult), (pResult)) /* 62 */ \
    M(Get_RandomString, (BSTR* pResult), (pResult)) /* 63 */ \
    M(VerifyURL, (BSTR bOutURL, LONG iFlags, LONG* pResult), (bOutURL, iFlags, pResult)) /* 64 */ \
    M(Show, (BSTR bXMLData, LONG* pResult), (bXMLData, pResult)) /* 65 */ \
    M(GetRespData, (BSTR* pResult), (pResult)) /* 66 */ \
    M(C_P11FEDISign, (BSTR bData, LONG iFlags, LONG iHashFlag, BSTR* pResult), (bData, iFlags, iHashFlag, pResult)) /* 67 */

// clang-format on

class ISigningComponent : public IDispatch {
  public:
#define KVLB_DECLARE_METHOD(name, params, args) virtual HRESULT STDMETHODCALLTYPE name params = 0;
    KVLB_SIGNING_COMPONENT_METHODS(KVLB_DECLARE_METHOD)
#undef KVLB_DECLARE_METHOD
};
