// The library object over SoftHSM2 on the token bench: slot lists and token descriptions
// against the module's own answers, tokens initialized through InitToken as pkcs11-tool sees
// them, and the same calls made late-bound by name through IDispatch.
#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "lib_test_util.h"
#include "pkcs11/module.h"
#include "token_bench.h"

namespace pavlox::testing {
namespace {

using vantor::tokenbench::TokenBenchTest;

class LibToken : public TokenBenchTest {
  protected:
    void loadBench(Lib& lib) { ASSERT_EQ(lib->Load(bstr(bench().module()).get()), S_OK); }

    // The module's own slot list, read past the library (the library initialized it).
    std::vector<LONG> rawSlots(CK_BBOOL present) {
        vantor::pkcs11::Module raw(bench().module().c_str());
        std::vector<CK_SLOT_ID> ids(64);
        CK_ULONG n = ids.size();
        EXPECT_EQ(raw->C_GetSlotList(present, ids.data(), &n), CKR_OK);
        std::vector<LONG> out;
        for (CK_ULONG i = 0; i < n; ++i) {
            out.push_back(static_cast<LONG>(static_cast<ULONG>(ids[i])));
        }
        return out;
    }
    // The "token label" lines pkcs11-tool lists for the test's tokens.
    std::set<std::string> outsideLabels() {
        const auto run = pkcs11Tool({"--list-token-slots"});
        EXPECT_EQ(run.status, 0) << run.output;
        std::set<std::string> labels;
        size_t at = 0;
        const std::string key = "token label        : ";
        while ((at = run.output.find(key, at)) != std::string::npos) {
            at += key.size();
            labels.insert(run.output.substr(at, run.output.find('\n', at) - at));
        }
        return labels;
    }
    LONG slot(CK_SLOT_ID id) { return static_cast<LONG>(static_cast<ULONG>(id)); }
};

TEST_F(LibToken, SlotListsAreTheModulesInItsOrder) {
    Lib lib;
    loadBench(lib);
    VARIANT out;
    VariantInit(&out);
    ASSERT_EQ(lib->get_SlotList(boolArg(false), &out), S_OK);
    const auto all = slotIds(out);
    EXPECT_EQ(all, rawSlots(CK_FALSE));
    for (CK_SLOT_ID id : {bench().tokenSlot(), bench().spareSlot(), bench().freeSlot()}) {
        EXPECT_NE(std::find(all.begin(), all.end(), slot(id)), all.end()) << id;
    }
    ASSERT_EQ(lib->get_SlotList(boolArg(true), &out), S_OK);
    EXPECT_EQ(slotIds(out), rawSlots(CK_TRUE));
    EXPECT_EQ(lib->get_SlotList(missingArg(), &out), E_INVALIDARG);
}

TEST_F(LibToken, TokenDescriptionsOfTheBench) {
    Lib lib;
    loadBench(lib);
    VARIANT out;
    VariantInit(&out);
    ASSERT_EQ(lib->get_TokenInfo(slot(bench().tokenSlot()), &out), S_OK);
    const TokenTexts token = tokenTexts(out);
    EXPECT_EQ(token.label, bench().tokenLabel());
    EXPECT_EQ(token.serial, bench().get("token_serial"));
    EXPECT_EQ(token.manufacturer, "SoftHSM project");
    EXPECT_EQ(token.model, "SoftHSM v2");
    EXPECT_TRUE(token.flags & CKF_TOKEN_INITIALIZED);
    EXPECT_TRUE(token.flags & CKF_USER_PIN_INITIALIZED);

    ASSERT_EQ(lib->get_TokenInfo(slot(bench().freeSlot()), &out), S_OK);
    EXPECT_FALSE(tokenTexts(out).flags & CKF_TOKEN_INITIALIZED);

    VARIANT_BOOL flag = VARIANT_FALSE;
    EXPECT_EQ(lib->get_TokenValid(slot(bench().spareSlot()), &flag), S_OK);
    EXPECT_EQ(flag, VARIANT_TRUE);
    EXPECT_EQ(lib->get_TokenPresent(slot(bench().freeSlot()), &flag), S_OK);
    EXPECT_EQ(flag, VARIANT_TRUE);
    // An id the module does not have: CKR_SLOT_ID_INVALID folded.
    EXPECT_EQ(lib->get_TokenValid(0x7FFFFFF0, &flag), static_cast<HRESULT>(0x80400003u));
}

TEST_F(LibToken, InitializedTokensAsPkcs11ToolSeesThem) {
    Lib lib;
    loadBench(lib);
    // A non-ASCII SO PIN: the module gets its UTF-8 bytes, which pkcs11-tool then types.
    const std::string soPin = "s\xC3\xB8-PIN-1234";
    ASSERT_EQ(lib->InitToken(slot(bench().freeSlot()), bstr(soPin).get(), bstr("Fresh").get()),
              S_OK);
    // Re-initializing the spare token with its SO PIN and a 40-character label: the token
    // keeps the first 32 characters.
    const std::string label = "Forty characters of label, cut to 32 ok!";
    ASSERT_EQ(label.size(), 40u);
    ASSERT_EQ(lib->InitToken(slot(bench().spareSlot()), bstr(bench().get("spare_so_pin")).get(),
                             bstr(label).get()),
              S_OK);
    EXPECT_EQ(lib->InitToken(slot(bench().tokenSlot()), bstr("not-the-pin").get(), bstr("x").get()),
              static_cast<HRESULT>(0x804000A0u));
    EXPECT_EQ(lib->lastResult(), static_cast<HRESULT>(0x804000A0u));

    const auto labels = outsideLabels();
    EXPECT_TRUE(labels.count("Fresh")) << ::testing::PrintToString(labels);
    EXPECT_TRUE(labels.count(label.substr(0, 32))) << ::testing::PrintToString(labels);
    EXPECT_TRUE(labels.count(bench().tokenLabel()));

    auto soLogin = [&](const std::string& pin) {
        return pkcs11Tool({"--token-label", "Fresh", "--session-rw", "--login", "--login-type",
                           "so", "--so-pin", pin, "--list-objects"});
    };
    const auto good = soLogin(soPin);
    EXPECT_EQ(good.status, 0) << good.output;
    // Only the first 11 bytes would be the PIN if its characters had been counted.
    const auto cut = soLogin(soPin.substr(0, 11));
    EXPECT_NE(cut.output.find("CKR_PIN_INCORRECT"), std::string::npos) << cut.output;
}

// Calls a member by name as a script does; the member's own HRESULT is returned.
HRESULT call(IDispatch* object, const char16_t* name, WORD flags, std::vector<VARIANT> args,
             VARIANT* result) {
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    DISPID id = 0;
    HRESULT hr = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    if (FAILED(hr)) {
        return hr;
    }
    std::reverse(args.begin(), args.end());  // Invoke takes the arguments last first
    DISPPARAMS params{args.data(), nullptr, static_cast<UINT>(args.size()), 0};
    EXCEPINFO info{};
    hr = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result, &info, nullptr);
    SysFreeString(info.bstrSource);
    SysFreeString(info.bstrDescription);
    SysFreeString(info.bstrHelpFile);
    return hr == DISP_E_EXCEPTION ? info.scode : hr;
}

TEST_F(LibToken, LateBoundByName) {
    IDispatch* lib = nullptr;
    ASSERT_EQ(createObject<CPkcs11Lib>(nullptr, IID_IDispatch, reinterpret_cast<void**>(&lib)),
              S_OK);
    VARIANT out;
    VariantInit(&out);
    VARIANT name;
    VariantInit(&name);
    name.vt = VT_BSTR;
    name.bstrVal = vantor::ole::bstrFromUtf8(bench().module());
    EXPECT_EQ(call(lib, u"Load", DISPATCH_METHOD, {name}, nullptr), S_OK);
    VariantClear(&name);
    EXPECT_EQ(call(lib, u"initialized", DISPATCH_PROPERTYGET, {}, &out), S_OK);
    EXPECT_EQ(out.vt, VT_BOOL);
    EXPECT_EQ(out.boolVal, VARIANT_TRUE);
    EXPECT_EQ(call(lib, u"SlotList", DISPATCH_PROPERTYGET, {}, &out), E_INVALIDARG);
    ASSERT_EQ(call(lib, u"SlotList", DISPATCH_PROPERTYGET, {boolArg(false)}, &out), S_OK);
    EXPECT_EQ(slotIds(out), rawSlots(CK_FALSE));

    VARIANT id;
    VariantInit(&id);
    id.vt = VT_I4;
    id.lVal = slot(bench().tokenSlot());
    VARIANT info;
    VariantInit(&info);
    ASSERT_EQ(call(lib, u"TokenInfo", DISPATCH_PROPERTYGET, {id}, &info), S_OK);
    ASSERT_EQ(info.vt, VT_DISPATCH);
    ASSERT_EQ(call(info.pdispVal, u"Label", DISPATCH_PROPERTYGET, {}, &out), S_OK);
    ASSERT_EQ(out.vt, VT_BSTR);
    EXPECT_EQ(vantor::ole::toUtf8(out.bstrVal), bench().tokenLabel());
    VariantClear(&out);
    ASSERT_EQ(call(info.pdispVal, u"Flags", DISPATCH_PROPERTYGET, {}, &out), S_OK);
    EXPECT_EQ(out.vt, VT_I4);
    EXPECT_TRUE(out.lVal & CKF_TOKEN_INITIALIZED);
    VariantClear(&info);

    ASSERT_EQ(call(lib, u"OpenSession", DISPATCH_METHOD, {id}, &out), S_OK);
    EXPECT_EQ(out.vt, VT_DISPATCH);
    VariantClear(&out);
    EXPECT_EQ(call(lib, u"Unload", DISPATCH_METHOD, {}, nullptr), S_OK);
    EXPECT_EQ(call(lib, u"TokenPresent", DISPATCH_PROPERTYGET, {id}, &out),
              static_cast<HRESULT>(0x80400190u));
    lib->Release();
}

}  // namespace
}  // namespace pavlox::testing
