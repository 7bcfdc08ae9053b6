// The COM support classes both builds share: the COM error exception and where its error
// information comes from.
#include <gtest/gtest.h>

#include <string>

#include "platform/tests/com_error_fixture.h"
#include "platform/win_com.h"

namespace {

using Text = std::basic_string<OLECHAR>;

using com_fixture::ErrorSource;
using com_fixture::kSomeInterface;
using com_fixture::setThreadError;

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
