// The hand-written IDispatch of IMailerInterfaceTest: names to ids, and Invoke's checks,
// conversions, argument order and results, against a fake that records each call.
#include "dispatch_fixture.h"

namespace {

using namespace dispatch_testing;

TEST(dispatch_names, every_member_answers_to_its_name_in_any_case) {
    struct row {
        const char* name;
        DISPID id;
    };
    const row rows[] = {
        {"RunWorkflow", 1},
        {"runworkflow", 1},
        {"GETLISTSIZE", 2},
        {"GetListItem", 3},
        {"LanguageId", 4},
        {"get_LanguageId", 4},
        {"PUT_languageid", 4},
        {"MarkBlockedAsRead", 5},
        {"AutoDeleteBlocked", 6},
        {"AutoDeleteIgnored", 7},
        {"EnableProtection", 8},
        {"PendingToBlockedTimeo", 9},
        {"ARMessage", 10},
        {"ARSubject", 11},
        {"ARSubjectKey", 12},
        {"ARMessageKey", 13},
        {"BeginConfigure", 14},
        {"EndConfigure", 15},
        {"AddToList", 16},
        {"RemoveFromList", 17},
        {"ModifyInList", 18},
        {"ChallangeResponse", 19},
        {"HelpDlgEnabled", 20},
        {"put_HelpDlgEnabled", 20},
        {"SetMailer", 21},
        {"RunWorkflow2", 23},
        {"Unload", 24},
        {"PendingFolderName", 27},
        {"get_PendingFolderName", 27},
    };
    for (const row& r : rows) EXPECT_EQ(id_of(r.name), r.id) << r.name;
}

TEST(dispatch_names, unknown_names_are_refused) {
    // Methods take no prefix; near misses and the bare prefixes are not names.
    for (const char* name : {"get_RunWorkflow", "put_Unload", "LanguageIdX", "Language", "", "get_", "set_ARSubject",
                             "ChallengeResponse", "RunWorkflow3"})
        EXPECT_EQ(id_of(name), DISPID_UNKNOWN) << name;
}

TEST(dispatch_names, the_first_unknown_name_ends_the_lookup) {
    bstr_holder a(bstr_from_narrow("AddToList")), b(bstr_from_narrow("bogus")), c(bstr_from_narrow("Unload"));
    LPOLESTR names[] = {a.get(), b.get(), c.get()};
    DISPID ids[3] = {7, 7, 7};
    EXPECT_HR(DISP_E_UNKNOWNNAME, mailer_interface_get_ids_of_names(names, 3, ids));
    EXPECT_EQ(ids[0], 16);
    EXPECT_EQ(ids[1], DISPID_UNKNOWN);
    EXPECT_EQ(ids[2], DISPID_UNKNOWN);
}

TEST_F(dispatch_test, methods_get_their_arguments_in_declaration_order) {
    call_args args;
    args.i4(2).text("old@example.com").text("new@example.com");
    ASSERT_HR(S_OK, invoke(18, DISPATCH_METHOD, args));
    ASSERT_HR(S_OK, invoke(19, DISPATCH_METHOD, call_args().text("x@example.com")));
    EXPECT_EQ(target.calls, (std::vector<std::string>{"ModifyInList(2,old@example.com,new@example.com)",
                                                      "ChallangeResponse(x@example.com)"}));
    EXPECT_EQ(result->vt, VT_EMPTY);
}

TEST_F(dispatch_test, out_values_come_back_as_the_result_in_the_members_type) {
    ASSERT_HR(S_OK, invoke(2, get_call, call_args().i4(3)));
    EXPECT_EQ(result->vt, VT_I4);
    EXPECT_EQ(result->lVal, 42);

    ASSERT_HR(S_OK, invoke(3, get_call, call_args().i4(1).i4(7)));
    EXPECT_EQ(result->vt, VT_BSTR);
    EXPECT_EQ(text_of(result->bstrVal), "item");

    ASSERT_HR(S_OK, invoke(4, DISPATCH_PROPERTYGET));
    EXPECT_EQ(result->vt, VT_UI2);
    EXPECT_EQ(result->uiVal, 1033);

    ASSERT_HR(S_OK, invoke(5, get_call));
    EXPECT_EQ(result->vt, VT_BOOL);
    EXPECT_EQ(result->boolVal, 1);  // the member's own true, passed on unchanged

    ASSERT_HR(S_OK, invoke(9, get_call));
    EXPECT_EQ(result->vt, VT_UI4);
    EXPECT_EQ(result->ulVal, 4000000000u);

    ASSERT_HR(S_OK, invoke(27, DISPATCH_PROPERTYGET));
    EXPECT_EQ(result->vt, VT_BSTR);
    EXPECT_EQ(text_of(result->bstrVal), "PendingFolderName text");

    ASSERT_HR(S_OK, invoke(20, get_call, call_args().i4(3)));
    EXPECT_EQ(result->vt, VT_BOOL);

    EXPECT_EQ(target.calls, (std::vector<std::string>{"GetListSize(3)", "GetListItem(1,7)", "get_LanguageId()",
                                                      "get_MarkBlockedAsRead()", "get_PendingToBlockedTimeo()",
                                                      "get_PendingFolderName()", "get_HelpDlgEnabled(3)"}));
}

TEST_F(dispatch_test, puts_take_the_named_value_last) {
    ASSERT_HR(S_OK, invoke(4, DISPATCH_PROPERTYPUT, call_args().i4(1031).named_put()));
    ASSERT_HR(S_OK, invoke(11, DISPATCH_PROPERTYPUT, call_args().text("Subject").named_put()));
    ASSERT_HR(S_OK, invoke(20, DISPATCH_PROPERTYPUT, call_args().i4(3).boolean(VARIANT_FALSE).named_put()));
    ASSERT_HR(S_OK, invoke(9, DISPATCH_PROPERTYPUT, call_args().i4(14)));  // unnamed value, as some callers send
    EXPECT_EQ(target.calls, (std::vector<std::string>{"put_LanguageId(1031)", "put_ARSubject(Subject)",
                                                      "put_HelpDlgEnabled(3,0)", "put_PendingToBlockedTimeo(14)"}));
    EXPECT_EQ(result->vt, VT_EMPTY);
}

TEST_F(dispatch_test, object_arguments_reach_the_member) {
    recording_target mailer, message;  // any objects will do
    ASSERT_HR(S_OK, invoke(23, DISPATCH_METHOD, call_args().dispatch(&mailer).unknown(&message)));
    EXPECT_EQ(target.last_mailer, &mailer);
    EXPECT_EQ(target.last_message, &message);
    ASSERT_HR(S_OK, invoke(21, DISPATCH_METHOD, call_args().dispatch(nullptr)));
    EXPECT_EQ(target.last_mailer, nullptr);
}

TEST_F(dispatch_test, arguments_are_converted_to_the_parameter_type) {
    variant_holder referenced;
    referenced.get()->vt = VT_BSTR;
    referenced.get()->bstrVal = bstr_from_narrow("ignore@example.com");
    ASSERT_HR(S_OK, invoke(2, get_call, call_args().text("5")));
    ASSERT_HR(S_OK, invoke(16, DISPATCH_METHOD, call_args().i2(2).by_ref(referenced.get())));
    ASSERT_HR(S_OK, invoke(4, DISPATCH_PROPERTYPUT, call_args().text("1031").named_put()));
    ASSERT_HR(S_OK, invoke(11, DISPATCH_PROPERTYPUT, call_args().i4(12).named_put()));
    EXPECT_EQ(target.calls, (std::vector<std::string>{"GetListSize(5)", "AddToList(2,ignore@example.com)",
                                                      "put_LanguageId(1031)", "put_ARSubject(12)"}));
}

TEST_F(dispatch_test, an_argument_that_does_not_convert_is_named_by_its_position_in_rgvarg) {
    struct row {
        const char* what;
        DISPID id;
        WORD flags;
        call_args args;
        UINT position;
    };
    row rows[4] = {
        {"list of GetListSize", 2, get_call, {}, 0},
        {"list of GetListItem", 3, get_call, {}, 1},
        {"item of GetListItem", 3, get_call, {}, 0},
        {"LanguageId past 16 bits", 4, DISPATCH_PROPERTYPUT, {}, 0},
    };
    rows[0].args.text("abc");
    rows[1].args.text("abc").i4(0);
    rows[2].args.i4(0).text("abc");
    rows[3].args.i4(70000).named_put();
    for (row& r : rows) {
        EXPECT_HR(DISP_E_TYPEMISMATCH, invoke(r.id, r.flags, r.args)) << r.what;
        EXPECT_EQ(arg_error, r.position) << r.what;
    }
    EXPECT_TRUE(target.calls.empty());
}

TEST_F(dispatch_test, calls_that_do_not_fit_a_member_are_refused_before_it_runs) {
    struct row {
        const char* what;
        DISPID id;
        WORD flags;
        int arguments;  // VT_I4 zeros
        std::vector<DISPID> named;
        HRESULT expected;
    };
    const row rows[] = {
        {"an id without member", 22, DISPATCH_METHOD, 0, {}, DISP_E_MEMBERNOTFOUND},
        {"the value id", DISPID_VALUE, get_call, 0, {}, DISP_E_MEMBERNOTFOUND},
        {"a put of a read-only property", 27, DISPATCH_PROPERTYPUT, 1, {DISPID_PROPERTYPUT}, DISP_E_BADPARAMCOUNT},
        {"a put of a method", 2, DISPATCH_PROPERTYPUT, 1, {DISPID_PROPERTYPUT}, DISP_E_BADPARAMCOUNT},
        {"a property called as a method only", 4, DISPATCH_METHOD, 0, {}, DISP_E_BADPARAMCOUNT},
        {"a method read as a property only", 14, DISPATCH_PROPERTYGET, 0, {}, DISP_E_BADPARAMCOUNT},
        {"a put by reference", 4, DISPATCH_PROPERTYPUTREF, 1, {DISPID_PROPERTYPUT}, DISP_E_BADPARAMCOUNT},
        {"four arguments", 18, DISPATCH_METHOD, 4, {}, DISP_E_BADPARAMCOUNT},
        {"too few for a method", 2, get_call, 0, {}, DISP_E_BADPARAMCOUNT},
        {"too many for a method", 24, DISPATCH_METHOD, 1, {}, DISP_E_BADPARAMCOUNT},
        {"an index on a plain get", 4, get_call, 1, {}, DISP_E_BADPARAMCOUNT},
        {"no index on an indexed get", 20, get_call, 0, {}, DISP_E_BADPARAMCOUNT},
        {"no index on an indexed put", 20, DISPATCH_PROPERTYPUT, 1, {DISPID_PROPERTYPUT}, DISP_E_BADPARAMCOUNT},
        {"two values for a put", 4, DISPATCH_PROPERTYPUT, 2, {DISPID_PROPERTYPUT}, DISP_E_BADPARAMCOUNT},
        {"a named argument on a method", 2, get_call, 1, {0}, DISP_E_NONAMEDARGS},
        {"the put id on a method", 17, DISPATCH_METHOD, 2, {DISPID_PROPERTYPUT}, DISP_E_NONAMEDARGS},
        {"another name on a put", 4, DISPATCH_PROPERTYPUT, 1, {0}, DISP_E_NONAMEDARGS},
        {"two names on a put", 20, DISPATCH_PROPERTYPUT, 2, {DISPID_PROPERTYPUT, 0}, DISP_E_NONAMEDARGS},
    };
    for (const row& r : rows) {
        call_args args;
        for (int i = 0; i < r.arguments; ++i) args.i4(0);
        args.named(r.named);
        EXPECT_EQ(invoke(r.id, r.flags, args), r.expected) << r.what;
        EXPECT_EQ(result->vt, VT_EMPTY) << r.what;
    }
    EXPECT_TRUE(target.calls.empty());
}

TEST_F(dispatch_test, a_failing_member_returns_its_own_code_and_describes_it) {
    target.result = E_FAIL;
    EXCEPINFO info{};
    call_args none;
    // A get that fails after making its string: the string is freed, not handed out.
    EXPECT_HR(E_FAIL, mailer_interface_invoke(&target, 11, get_call, none.params(), result.get(), &info, &arg_error));
    EXPECT_EQ(result->vt, VT_EMPTY);
    EXPECT_HR(E_FAIL, info.scode);
    EXPECT_NE(info.bstrDescription, nullptr);
    SysFreeString(info.bstrSource);
    SysFreeString(info.bstrDescription);
    SysFreeString(info.bstrHelpFile);
    // Without a place for exception information the code alone comes back.
    EXPECT_HR(E_FAIL, mailer_interface_invoke(&target, 24, DISPATCH_METHOD, none.params(), nullptr, nullptr, nullptr));
}

TEST_F(dispatch_test, a_result_nobody_asked_for_is_freed) {
    call_args none;
    EXPECT_HR(S_OK, mailer_interface_invoke(&target, 10, get_call, none.params(), nullptr, nullptr, nullptr));
    EXPECT_EQ(target.calls, std::vector<std::string>{"get_ARMessage()"});
}

TEST_F(dispatch_test, missing_parameters_are_invalid) {
    EXPECT_HR(E_INVALIDARG, mailer_interface_invoke(&target, 24, DISPATCH_METHOD, nullptr, nullptr, nullptr, nullptr));
    DISPPARAMS no_array{nullptr, nullptr, 1, 0};
    EXPECT_HR(E_INVALIDARG,
              mailer_interface_invoke(&target, 19, DISPATCH_METHOD, &no_array, nullptr, nullptr, nullptr));
    EXPECT_TRUE(target.calls.empty());
}

}  // namespace
