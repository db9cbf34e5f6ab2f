// VariantChangeType(Ex) at the edges: integer widths, signs, rounding, booleans, text, dates.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "oleaut/ustring.h"
#include "win/oleauto.h"

namespace {

using vantor::ole::Variant;

VARIANT i8(LONGLONG v) {
    VARIANT x;
    VariantInit(&x);
    x.vt = VT_I8;
    x.llVal = v;
    return x;
}

VARIANT r8(double v) {
    VARIANT x;
    VariantInit(&x);
    x.vt = VT_R8;
    x.dblVal = v;
    return x;
}

VARIANT boolean(bool b) {
    VARIANT x;
    VariantInit(&x);
    x.vt = VT_BOOL;
    x.boolVal = b ? VARIANT_TRUE : VARIANT_FALSE;
    return x;
}

// A VT_BSTR VARIANT that owns its string.
struct Text {
    Variant v;
    explicit Text(const std::u16string& s) {
        v->vt = VT_BSTR;
        v->bstrVal = SysAllocStringLen(s.data(), static_cast<UINT>(s.size()));
    }
    const VARIANT* get() const { return v.get(); }
};

HRESULT change(const VARIANT& src, VARTYPE vt, VARIANT& out, USHORT flags = 0) {
    VariantInit(&out);
    return VariantChangeType(&out, &src, flags, vt);
}

std::u16string textOf(const VARIANT& v) {
    return std::u16string(v.bstrVal, SysStringLen(v.bstrVal));
}

TEST(Convert, IntegerWidthsOverflowAtTheirEdges) {
    struct Case {
        VARTYPE vt;
        LONGLONG lo, hi;
    } cases[] = {{VT_I1, -128, 127},
                 {VT_UI1, 0, 255},
                 {VT_I2, -32768, 32767},
                 {VT_UI2, 0, 65535},
                 {VT_I4, -2147483648LL, 2147483647LL},
                 {VT_UI4, 0, 4294967295LL},
                 {VT_INT, -2147483648LL, 2147483647LL},
                 {VT_UINT, 0, 4294967295LL}};
    for (const Case& c : cases) {
        VARIANT out;
        EXPECT_EQ(change(i8(c.lo), c.vt, out), S_OK) << c.vt;
        EXPECT_EQ(change(i8(c.hi), c.vt, out), S_OK) << c.vt;
        EXPECT_EQ(out.vt, c.vt);
        EXPECT_EQ(change(i8(c.hi + 1), c.vt, out), DISP_E_OVERFLOW) << c.vt;
        EXPECT_EQ(change(i8(c.lo - 1), c.vt, out), DISP_E_OVERFLOW)
            << "negative to unsigned " << c.vt;
        EXPECT_EQ(out.vt, VT_EMPTY) << "a failed conversion leaves nothing behind";
    }
    VARIANT out;
    VARIANT big;
    VariantInit(&big);
    big.vt = VT_UI8;
    big.ullVal = 0xFFFFFFFFFFFFFFFFull;
    EXPECT_EQ(change(big, VT_I8, out), DISP_E_OVERFLOW);
    EXPECT_EQ(change(i8(-1), VT_UI8, out), DISP_E_OVERFLOW);
    ASSERT_EQ(change(big, VT_BSTR, out), S_OK);
    EXPECT_EQ(textOf(out), u"18446744073709551615");
    VariantClear(&out);
}

TEST(Convert, RealsRoundHalfToEvenAndRefuseWhatDoesNotFit) {
    VARIANT out;
    const double halves[] = {0.5, 1.5, 2.5, -0.5, -1.5, 2.4999, 2.5001};
    const LONG expected[] = {0, 2, 2, 0, -2, 2, 3};
    for (size_t i = 0; i < 7; ++i) {
        ASSERT_EQ(change(r8(halves[i]), VT_I4, out), S_OK);
        EXPECT_EQ(out.lVal, expected[i]) << halves[i];
    }
    EXPECT_EQ(change(r8(255.5), VT_UI1, out), DISP_E_OVERFLOW) << "255.5 rounds to 256";
    EXPECT_EQ(change(r8(-0.4), VT_UI1, out), S_OK) << "-0.4 rounds to 0, which fits";
    EXPECT_EQ(change(r8(std::nan("")), VT_I4, out), DISP_E_OVERFLOW);
    EXPECT_EQ(change(r8(1e300), VT_R4, out), DISP_E_OVERFLOW);
}

TEST(Convert, BooleansBothWays) {
    VARIANT out;
    ASSERT_EQ(change(boolean(true), VT_I2, out), S_OK);
    EXPECT_EQ(out.iVal, -1);
    ASSERT_EQ(change(boolean(true), VT_UI1, out), S_OK);
    EXPECT_EQ(out.bVal, 255) << "VARIANT_TRUE fills an unsigned type instead of overflowing";
    ASSERT_EQ(change(boolean(true), VT_UI4, out), S_OK);
    EXPECT_EQ(out.ulVal, 0xFFFFFFFFu);
    ASSERT_EQ(change(i8(2), VT_BOOL, out), S_OK);
    EXPECT_EQ(out.boolVal, VARIANT_TRUE);
    ASSERT_EQ(change(r8(0.0), VT_BOOL, out), S_OK);
    EXPECT_EQ(out.boolVal, VARIANT_FALSE);

    ASSERT_EQ(change(boolean(true), VT_BSTR, out), S_OK);
    EXPECT_EQ(textOf(out), u"-1") << "numeric text without VARIANT_ALPHABOOL";
    VariantClear(&out);
    ASSERT_EQ(change(boolean(true), VT_BSTR, out, VARIANT_ALPHABOOL), S_OK);
    EXPECT_EQ(textOf(out), u"True");
    VariantClear(&out);
    ASSERT_EQ(change(boolean(false), VT_BSTR, out, VARIANT_ALPHABOOL), S_OK);
    EXPECT_EQ(textOf(out), u"False");
    VariantClear(&out);

    for (const char16_t* t : {u"True", u" true ", u"TRUE", u"-1", u"7"}) {
        ASSERT_EQ(change(*Text(t).get(), VT_BOOL, out), S_OK)
            << vantor::ole::toUtf8(t, std::char_traits<char16_t>::length(t));
        EXPECT_EQ(out.boolVal, VARIANT_TRUE);
    }
    for (const char16_t* t : {u"False", u"0"}) {
        ASSERT_EQ(change(*Text(t).get(), VT_BOOL, out), S_OK);
        EXPECT_EQ(out.boolVal, VARIANT_FALSE);
    }
    EXPECT_EQ(change(*Text(u"yes").get(), VT_BOOL, out), DISP_E_TYPEMISMATCH);
    // A missing optional argument cannot become a boolean.
    VARIANT missing;
    VariantInit(&missing);
    missing.vt = VT_ERROR;
    missing.scode = DISP_E_PARAMNOTFOUND;
    EXPECT_EQ(change(missing, VT_BOOL, out), DISP_E_TYPEMISMATCH);
    VARIANT null;
    VariantInit(&null);
    null.vt = VT_NULL;
    EXPECT_EQ(change(null, VT_I4, out), DISP_E_TYPEMISMATCH);
}

TEST(Convert, TextToNumbers) {
    struct Case {
        const char16_t* text;
        VARTYPE vt;
        HRESULT hr;
        LONGLONG value;
    } cases[] = {
        {u"  42 ", VT_I4, S_OK, 42},
        {u"-17", VT_I2, S_OK, -17},
        {u"1,234,567", VT_I4, S_OK, 1234567},
        {u"2.5", VT_I4, S_OK, 2},
        {u"3.5", VT_I4, S_OK, 4},
        {u"1e3", VT_I4, S_OK, 1000},
        {u"&HFF", VT_UI1, S_OK, 255},
        {u"&HFFFF", VT_I2, S_OK, -1},
        {u"&O17", VT_I4, S_OK, 15},
        {u"256", VT_UI1, DISP_E_OVERFLOW, 0},
        {u"-1", VT_UI4, DISP_E_OVERFLOW, 0},
        {u"", VT_I4, DISP_E_TYPEMISMATCH, 0},
        {u"12abc", VT_I4, DISP_E_TYPEMISMATCH, 0},
        {u"&HG1", VT_I4, DISP_E_TYPEMISMATCH, 0},
        {u"99999999999999999999", VT_I8, DISP_E_OVERFLOW, 0},
        {u"9223372036854775807", VT_I8, S_OK, 9223372036854775807LL},
        {u"-9223372036854775808", VT_I8, S_OK, -9223372036854775807LL - 1},
        {u"9223372036854775808", VT_I8, DISP_E_OVERFLOW, 0},
        {u"\u00e9", VT_I4, DISP_E_TYPEMISMATCH, 0},
    };
    for (const Case& c : cases) {
        VARIANT out;
        HRESULT hr = change(*Text(c.text).get(), c.vt, out);
        std::string label = vantor::ole::toUtf8(c.text, std::char_traits<char16_t>::length(c.text));
        ASSERT_EQ(hr, c.hr) << label;
        if (hr == S_OK) {
            VARIANT wide;
            ASSERT_EQ(change(out, VT_I8, wide), S_OK);
            EXPECT_EQ(wide.llVal, c.value) << label;
        }
    }
    VARIANT out;
    ASSERT_EQ(change(r8(0.1), VT_BSTR, out), S_OK);
    EXPECT_EQ(textOf(out), u"0.1");
    VariantClear(&out);
    ASSERT_EQ(change(r8(1e20), VT_BSTR, out), S_OK);
    EXPECT_EQ(textOf(out), u"1E+20");
    VariantClear(&out);
}

TEST(Convert, DatesRoundTripThroughTextAndCalendar) {
    SYSTEMTIME st{2005, 12, 0, 31, 13, 5, 9, 0};
    DATE d = 0;
    ASSERT_TRUE(SystemTimeToVariantTime(&st, &d));
    EXPECT_NEAR(d, 38717 + (13 * 3600 + 5 * 60 + 9) / 86400.0, 1e-9);
    VARIANT date;
    VariantInit(&date);
    date.vt = VT_DATE;
    date.date = d;
    VARIANT text;
    ASSERT_EQ(change(date, VT_BSTR, text), S_OK);
    EXPECT_EQ(textOf(text), u"12/31/2005 1:05:09 PM");
    VARIANT back;
    ASSERT_EQ(change(text, VT_DATE, back), S_OK);
    EXPECT_DOUBLE_EQ(back.date, d);
    VariantClear(&text);

    SYSTEMTIME out{};
    ASSERT_TRUE(VariantTimeToSystemTime(d, &out));
    EXPECT_EQ(out.wYear, 2005);
    EXPECT_EQ(out.wMonth, 12);
    EXPECT_EQ(out.wDay, 31);
    EXPECT_EQ(out.wHour, 13);
    EXPECT_EQ(out.wDayOfWeek, 6) << "31 December 2005 was a Saturday";

    // Before 30 December 1899 the fraction still counts forward from midnight.
    ASSERT_TRUE(VariantTimeToSystemTime(-1.25, &out));
    EXPECT_EQ(out.wYear, 1899);
    EXPECT_EQ(out.wDay, 29);
    EXPECT_EQ(out.wHour, 6);
    SYSTEMTIME leap{2000, 2, 0, 29, 0, 0, 0, 0};
    ASSERT_TRUE(SystemTimeToVariantTime(&leap, &d));
    SYSTEMTIME bad{1900, 2, 0, 29, 0, 0, 0, 0};
    EXPECT_FALSE(SystemTimeToVariantTime(&bad, &d)) << "1900 was not a leap year";
    EXPECT_FALSE(VariantTimeToSystemTime(2958466.0, &out)) << "beyond 9999-12-31";

    struct Parse {
        const char16_t* text;
        int y, m, day, h, mi;
    } parses[] = {
        {u"12/31/2005", 2005, 12, 31, 0, 0},    {u"2005-12-31", 2005, 12, 31, 0, 0},
        {u"Dec 31, 2005", 2005, 12, 31, 0, 0},  {u"31 December 2005 23:59", 2005, 12, 31, 23, 59},
        {u"1/2/05 12:00 AM", 2005, 1, 2, 0, 0}, {u"12:30 PM", 1899, 12, 30, 12, 30}};
    for (const Parse& p : parses) {
        DATE parsed = 0;
        ASSERT_EQ(VarDateFromStr(p.text, LOCALE_USER_DEFAULT, 0, &parsed), S_OK)
            << vantor::ole::toUtf8(p.text, std::char_traits<char16_t>::length(p.text));
        ASSERT_TRUE(VariantTimeToSystemTime(parsed, &out));
        EXPECT_EQ(out.wYear, p.y);
        EXPECT_EQ(out.wMonth, p.m);
        EXPECT_EQ(out.wDay, p.day);
        EXPECT_EQ(out.wHour, p.h);
        EXPECT_EQ(out.wMinute, p.mi);
    }
    DATE parsed = 0;
    EXPECT_EQ(VarDateFromStr(u"2/30/2005", LOCALE_USER_DEFAULT, 0, &parsed), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(VarDateFromStr(u"25:00", LOCALE_USER_DEFAULT, 0, &parsed), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(VarDateFromStr(u"soon", LOCALE_USER_DEFAULT, 0, &parsed), DISP_E_TYPEMISMATCH);
    BSTR midnight = nullptr;
    ASSERT_EQ(VarBstrFromDate(0.0, LOCALE_USER_DEFAULT, 0, &midnight), S_OK);
    EXPECT_EQ(std::u16string(midnight, SysStringLen(midnight)), u"12:00:00 AM");
    SysFreeString(midnight);
    VARIANT out2;
    EXPECT_EQ(change(r8(3e6), VT_DATE, out2), DISP_E_OVERFLOW);
}

TEST(Convert, ByReferenceSourcesInPlaceAndArrays) {
    LONG value = 300;
    VARIANT ref;
    VariantInit(&ref);
    ref.vt = VT_BYREF | VT_I4;
    ref.plVal = &value;
    VARIANT out;
    EXPECT_EQ(change(ref, VT_UI1, out), DISP_E_OVERFLOW);
    ASSERT_EQ(change(ref, VT_I2, out), S_OK);
    EXPECT_EQ(out.iVal, 300);

    Text t(u"123");
    VARIANT* inPlace = const_cast<VARIANT*>(t.get());
    ASSERT_EQ(VariantChangeType(inPlace, inPlace, 0, VT_I4), S_OK);
    EXPECT_EQ(inPlace->vt, VT_I4);
    EXPECT_EQ(inPlace->lVal, 123);

    Text bytes(u"AB");
    VARIANT arr;
    ASSERT_EQ(change(*bytes.get(), VT_ARRAY | VT_UI1, arr), S_OK);
    EXPECT_EQ(arr.parray->rgsabound[0].cElements, 4u);
    VARIANT str;
    ASSERT_EQ(change(arr, VT_BSTR, str), S_OK);
    EXPECT_EQ(textOf(str), u"AB");
    VariantClear(&str);
    EXPECT_EQ(change(arr, VT_I4, out), DISP_E_TYPEMISMATCH);
    VariantClear(&arr);

    VARIANT bogus;
    VariantInit(&bogus);
    bogus.vt = 0x0FFF;
    EXPECT_EQ(VariantClear(&bogus), DISP_E_BADVARTYPE);
    EXPECT_EQ(change(i8(1), 0x0FFF, out), DISP_E_BADVARTYPE);
}

}  // namespace
