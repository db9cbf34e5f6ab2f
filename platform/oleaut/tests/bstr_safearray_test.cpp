// BSTR lengths and SAFEARRAY descriptors: bounds, element ownership, locks, copies.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>

#include "oleaut/ustring.h"
#include "win/oleauto.h"

namespace {

// A counted object that reports its references, to check who AddRefs and Releases.
struct Counted final : IUnknown {
    std::atomic<ULONG> refs{1};
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        if (riid == IID_IUnknown) {
            *out = this;
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs; }
};

TEST(Bstr, LengthPrefixEmbeddedNulAndNull) {
    const OLECHAR text[] = u"ab\0cd";
    BSTR s = SysAllocStringLen(text, 5);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(SysStringLen(s), 5u);
    EXPECT_EQ(SysStringByteLen(s), 10u);
    EXPECT_EQ(s[5], 0) << "terminated after the counted characters";
    EXPECT_EQ(std::memcmp(s, text, 10), 0);
    EXPECT_TRUE(SysReAllocString(&s, s + 3)) << "reallocating from its own tail is safe";
    EXPECT_EQ(SysStringLen(s), 2u);
    EXPECT_EQ(s[0], u'c');
    SysFreeString(s);

    EXPECT_EQ(SysStringLen(nullptr), 0u) << "a null BSTR is the empty string";
    EXPECT_EQ(SysAllocString(nullptr), nullptr);
    BSTR odd = SysAllocStringByteLen("abc", 3);
    EXPECT_EQ(SysStringByteLen(odd), 3u);
    EXPECT_EQ(SysStringLen(odd), 1u);
    SysFreeString(odd);
    EXPECT_EQ(SysAllocStringLen(u"", 0x80000000u), nullptr) << "lengths beyond the prefix fail";
}

TEST(SafeArray, MultiDimensionalWithNonZeroLowerBounds) {
    // Dimension 1: indices -2..1 (4), dimension 2: indices 10..12 (3).
    SAFEARRAYBOUND bounds[2] = {{4, -2}, {3, 10}};
    SAFEARRAY* psa = SafeArrayCreate(VT_I4, 2, bounds);
    ASSERT_NE(psa, nullptr);
    EXPECT_EQ(SafeArrayGetDim(psa), 2u);
    LONG lb = 0, ub = 0;
    EXPECT_EQ(SafeArrayGetLBound(psa, 1, &lb), S_OK);
    EXPECT_EQ(SafeArrayGetUBound(psa, 1, &ub), S_OK);
    EXPECT_EQ(lb, -2);
    EXPECT_EQ(ub, 1);
    EXPECT_EQ(SafeArrayGetLBound(psa, 2, &lb), S_OK);
    EXPECT_EQ(SafeArrayGetUBound(psa, 2, &ub), S_OK);
    EXPECT_EQ(lb, 10);
    EXPECT_EQ(ub, 12);
    EXPECT_EQ(SafeArrayGetLBound(psa, 3, &lb), DISP_E_BADINDEX);
    EXPECT_EQ(psa->rgsabound[1].lLbound, -2) << "bounds are stored last dimension first";

    for (LONG j = 10; j <= 12; ++j) {
        for (LONG i = -2; i <= 1; ++i) {
            LONG idx[2] = {i, j};
            LONG v = i * 100 + j;
            ASSERT_EQ(SafeArrayPutElement(psa, idx, &v), S_OK);
        }
    }
    // Dimension 1 varies fastest in memory.
    LONG* data = nullptr;
    ASSERT_EQ(SafeArrayAccessData(psa, reinterpret_cast<void**>(&data)), S_OK);
    EXPECT_EQ(data[0], -200 + 10);
    EXPECT_EQ(data[1], -100 + 10);
    EXPECT_EQ(data[4], -200 + 11);
    EXPECT_EQ(SafeArrayDestroy(psa), DISP_E_ARRAYISLOCKED) << "a locked array is not destroyed";
    EXPECT_EQ(SafeArrayUnaccessData(psa), S_OK);
    EXPECT_EQ(SafeArrayUnaccessData(psa), E_UNEXPECTED);

    LONG outside[2] = {2, 10};
    LONG v = 0;
    EXPECT_EQ(SafeArrayGetElement(psa, outside, &v), DISP_E_BADINDEX);
    LONG below[2] = {-3, 10};
    EXPECT_EQ(SafeArrayPutElement(psa, below, &v), DISP_E_BADINDEX);
    VARTYPE vt = VT_EMPTY;
    EXPECT_EQ(SafeArrayGetVartype(psa, &vt), S_OK);
    EXPECT_EQ(vt, VT_I4);
    EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
}

TEST(SafeArray, ElementOwnershipForStringsObjectsAndVariants) {
    Counted obj;
    {
        SAFEARRAY* psa = SafeArrayCreateVector(VT_UNKNOWN, 1, 2);
        ASSERT_NE(psa, nullptr);
        VARTYPE vt = VT_EMPTY;
        SafeArrayGetVartype(psa, &vt);
        EXPECT_EQ(vt, VT_UNKNOWN);
        LONG i = 1;
        ASSERT_EQ(SafeArrayPutElement(psa, &i, static_cast<IUnknown*>(&obj)), S_OK);
        EXPECT_EQ(obj.refs, 2u);
        IUnknown* got = nullptr;
        ASSERT_EQ(SafeArrayGetElement(psa, &i, &got), S_OK);
        EXPECT_EQ(obj.refs, 3u);
        got->Release();
        SAFEARRAY* copy = nullptr;
        ASSERT_EQ(SafeArrayCopy(psa, &copy), S_OK);
        EXPECT_EQ(obj.refs, 3u);
        SafeArrayDestroy(copy);
        SafeArrayDestroy(psa);
        EXPECT_EQ(obj.refs, 1u) << "destroying releases every element";
    }
    SAFEARRAY* strings = SafeArrayCreateVector(VT_BSTR, 0, 2);
    BSTR s = SysAllocString(u"text");
    LONG i = 0;
    ASSERT_EQ(SafeArrayPutElement(strings, &i, s), S_OK);
    SysFreeString(s);  // the array keeps its own copy
    BSTR out = nullptr;
    ASSERT_EQ(SafeArrayGetElement(strings, &i, &out), S_OK);
    EXPECT_EQ(std::u16string(out, SysStringLen(out)), u"text");
    SysFreeString(out);
    EXPECT_EQ(SafeArrayDestroy(strings), S_OK);

    SAFEARRAY* vars = SafeArrayCreateVector(VT_VARIANT, 0, 3);
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_UNKNOWN;
    v.punkVal = &obj;
    ASSERT_EQ(SafeArrayPutElement(vars, &i, &v), S_OK);
    EXPECT_EQ(obj.refs, 2u);
    SAFEARRAYBOUND smaller{0, 0};
    ASSERT_EQ(SafeArrayRedim(vars, &smaller), S_OK);
    EXPECT_EQ(obj.refs, 1u) << "shrinking releases the dropped cells";
    EXPECT_EQ(SafeArrayDestroy(vars), S_OK);
}

TEST(SafeArray, BadDescriptorsAreRefused) {
    SAFEARRAYBOUND b{1, 0};
    EXPECT_EQ(SafeArrayCreate(VT_EMPTY, 1, &b), nullptr);
    EXPECT_EQ(SafeArrayCreate(VT_I4, 0, &b), nullptr);
    // 2^31 elements of 2^31 elements each do not fit in memory: refused, not wrapped around.
    SAFEARRAYBOUND huge[2] = {{0x80000000u, 0}, {0x80000000u, 0}};
    EXPECT_EQ(SafeArrayCreate(VT_VARIANT, 2, huge), nullptr);
    SAFEARRAY* empty = SafeArrayCreateVector(VT_UI1, 5, 0);
    ASSERT_NE(empty, nullptr);
    LONG ub = 0;
    SafeArrayGetUBound(empty, 1, &ub);
    EXPECT_EQ(ub, 4) << "an empty dimension ends one below its lower bound";
    SafeArrayDestroy(empty);
}

}  // namespace

namespace {

// Text crosses between UTF-8 (the ANSI code page here) and UTF-16 in every registry path,
// ProgID and BSTR argument; bad input must come out replaced, never cut or overrun.
TEST(Text, Utf8AndUtf16BothWays) {
    using vantor::ole::toUtf16;
    using vantor::ole::toUtf8;
    const std::string mixed = "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";  // A, e-acute, euro, emoji
    std::u16string wide = toUtf16(mixed);
    EXPECT_EQ(wide, u"A\u00e9\u20ac\U0001F600");
    EXPECT_EQ(toUtf8(wide.data(), wide.size()), mixed);
    EXPECT_EQ(toUtf16("\xC3"), u"\uFFFD") << "truncated sequence";
    EXPECT_EQ(toUtf16("\xC0\x80x"), u"\uFFFDx") << "overlong encoding";
    EXPECT_EQ(toUtf16("\x80"), u"\uFFFD") << "lone continuation byte";
    const char16_t lone[] = {0xD800, u'x'};
    EXPECT_EQ(toUtf8(lone, 2), "\xEF\xBF\xBDx") << "lone surrogate";
    EXPECT_TRUE(vantor::ole::namesEqual(u"Item", u"iTEM"));
    EXPECT_FALSE(vantor::ole::namesEqual(u"Item", u"Items"));
}

}  // namespace
