// The COM support classes both builds share: the COM error exception and where its error
// information comes from.
#include <gtest/gtest.h>

#include <string>

#include "platform/win_com.h"

namespace {

using Text = std::basic_string<OLECHAR>;

const IID kSomeInterface = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};

// An object that gives error information for kSomeInterface only, when told to.
class ErrorSource final : public ISupportErrorInfo {
  public:
    explicit ErrorSource(bool supports) : supports_(supports) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        if (IsEqualIID(riid, IID_IUnknown) || (supports_ && IsEqualIID(riid, IID_ISupportErrorInfo))) {
            *object = static_cast<ISupportErrorInfo*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs; }
    HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID riid) override {
        return IsEqualIID(riid, kSomeInterface) ? S_OK : S_FALSE;
    }
    ULONG refs = 1;

  private:
    bool supports_;
};

void setThreadError(const OLECHAR* description) {
    ICreateErrorInfo* create = nullptr;
    ASSERT_EQ(CreateErrorInfo(&create), S_OK);
    create->SetDescription(const_cast<LPOLESTR>(description));
    create->SetSource(const_cast<LPOLESTR>(OLESTR("Tests")));
    create->SetGUID(kSomeInterface);
    IErrorInfo* info = nullptr;
    ASSERT_EQ(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)), S_OK);
    SetErrorInfo(0, info);
    info->Release();
    create->Release();
}

}  // namespace

TEST(ComError, IssueErrorExTakesErrorInformationOnlyWhereTheObjectGivesIt) {
    struct Case {
        bool supports;
        const IID* asked;
        bool expectInfo;
    } cases[] = {
        {true, &kSomeInterface, true},
        {true, &IID_IDispatch, false},    // information offered for another interface only
        {false, &kSomeInterface, false},  // no ISupportErrorInfo at all
    };
    for (const auto& c : cases) {
        ErrorSource source(c.supports);
        setThreadError(OLESTR("the card said no"));
        try {
            _com_issue_errorex(E_ABORT, &source, *c.asked);
            FAIL() << "no exception";
        } catch (const _com_error& e) {
            EXPECT_EQ(e.Error(), E_ABORT);
            IErrorInfo* info = e.ErrorInfo();
            EXPECT_EQ(info != nullptr, c.expectInfo);
            if (info) {
                info->Release();
                _bstr_t description = e.Description();
                ASSERT_FALSE(!description);
                EXPECT_EQ(Text(description.GetBSTR(), description.length()), OLESTR("the card said no"));
                // Copies share the error object.
                _com_error copy = e;
                EXPECT_EQ(copy.Error(), E_ABORT);
                EXPECT_EQ(Text(copy.Source().GetBSTR()), OLESTR("Tests"));
            } else {
                EXPECT_TRUE(!e.Description());
            }
        }
        EXPECT_EQ(source.refs, 1u) << "the QueryInterface reference is given back";
        SetErrorInfo(0, nullptr);
    }
    try {
        _com_issue_error(E_POINTER);
    } catch (const _com_error& e) {
        EXPECT_EQ(e.Error(), E_POINTER);
        EXPECT_EQ(e.ErrorInfo(), nullptr);
    }
}
