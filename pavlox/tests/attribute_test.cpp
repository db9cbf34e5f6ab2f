// P11Attribute, Util and the value conversions in process: type classes, the array and list
// conversions, the owner's lock chain, and dispatch by name.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "classes/p11_attribute.h"
#include "classes/util.h"
#include "classes/variant_collection.h"
#include "convert/array_bytes.h"
#include "convert/attribute_list.h"
#include "convert/read_template.h"
#include "convert/sign_data.h"
#include "frame/module.h"
#include "oleaut/ustring.h"

namespace {

using pavlox::CP11Attribute;
using vantor::ole::Bstr;
using vantor::ole::Variant;
using Bytes = std::vector<BYTE>;

// A VT_UI1 vector with the given lower bound, owned by the returned Variant.
void setBytes(Variant& v, std::initializer_list<BYTE> bytes, LONG lower = 0) {
    SAFEARRAY* a = SafeArrayCreateVector(VT_UI1, lower, static_cast<ULONG>(bytes.size()));
    ASSERT_NE(a, nullptr);
    if (bytes.size() > 0) {
        std::memcpy(a->pvData, bytes.begin(), bytes.size());
    }
    v->vt = VT_ARRAY | VT_UI1;
    v->parray = a;
}

// A VARIANT vector whose elements the caller fills (each element starts VT_EMPTY).
SAFEARRAY* variantVector(Variant& v, ULONG n) {
    SAFEARRAY* a = SafeArrayCreateVector(VT_VARIANT, 0, n);
    v->vt = VT_ARRAY | VT_VARIANT;
    v->parray = a;
    return a;
}
VARIANT& element(SAFEARRAY* a, ULONG i) {
    return static_cast<VARIANT*>(a->pvData)[i];
}

// The out-parameter of a getter is written, not cleared: a reused VARIANT is emptied first.
VARIANT* fresh(Variant& v) {
    VariantClear(v.get());
    return v.get();
}

Bytes raw(CP11Attribute* a) {
    Variant v;
    EXPECT_EQ(a->get_ValueRaw(v.get()), S_OK);
    EXPECT_EQ(v->vt, VT_ARRAY | VT_UI1);
    size_t n = 0;
    EXPECT_TRUE(pavlox::arrayByteCount(*v.get(), &n));
    Bytes out(n);
    EXPECT_TRUE(pavlox::arrayBytesFill(*v.get(), out.data(), out.size()));
    return out;
}

std::u16string text(BSTR s) {
    return s == nullptr ? std::u16string() : std::u16string(s, SysStringLen(s));
}

DATE dateOf(WORD y, WORD m, WORD d) {
    SYSTEMTIME st{};
    st.wYear = y;
    st.wMonth = m;
    st.wDay = d;
    DATE date = 0;
    EXPECT_TRUE(SystemTimeToVariantTime(&st, &date));
    return date;
}

// A client's own implementation of IP11Attribute: answers the interface but is not ours.
class ForeignAttribute final : public pavlox::IP11Attribute {
  public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        if (riid == IID_IUnknown || riid == IID_IDispatch || riid == pavlox::IID_IP11Attribute) {
            *object = this;
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                     UINT*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE get_ValueRaw(VARIANT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_ValueRaw(VARIANT) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_Type(LONG* t) override {
        *t = CKA_LABEL;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE put_Type(LONG) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_ValueSafe(LONG, VARIANT) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_Value(VARIANT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_ValueStr(BSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_Valid(VARIANT_BOOL*) override { return E_NOTIMPL; }
};

// An owner that records its references and that its chain is only ever taken while the
// attribute's own lock is already held by the same thread.
class FakeOwner final : public pavlox::AttributeOwner, public IUnknown {
  public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** object) override {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs; }
    IUnknown* ownerUnknown() override { return this; }
    void lockChain() override {
        mutex.lock();
        ++depth;
        ++locks;
    }
    void unlockChain() override {
        --depth;
        mutex.unlock();
    }
    std::atomic<ULONG> refs{0};
    std::atomic<int> locks{0};
    int depth = 0;
    std::recursive_mutex mutex;
};

class Attribute : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(pavlox::moduleLockCount(), 0); }
    // Every object made by a test must be gone when it ends.
    void TearDown() override { EXPECT_EQ(pavlox::moduleLockCount(), 0); }

    static CP11Attribute* make() {
        CP11Attribute* a = nullptr;
        EXPECT_EQ(pavlox::createInternal(&a), S_OK);
        return a;
    }
    // An attribute holding raw bytes under a type, as a token would hand it out.
    static CP11Attribute* holding(CK_ATTRIBUTE_TYPE type, Bytes bytes) {
        CP11Attribute* a = make();
        CK_ATTRIBUTE entry{type, bytes.empty() ? nullptr : bytes.data(),
                           static_cast<CK_ULONG>(bytes.size())};
        EXPECT_EQ(a->initFromToken(nullptr, entry), S_OK);
        return a;
    }
};

TEST_F(Attribute, NumberReadsFourByteAndNativeFormsAndRefusesShortValues) {
    CP11Attribute* a = holding(CKA_CLASS, {0x01, 0x00, 0x00, 0x00});
    Variant v;
    ASSERT_EQ(a->get_Value(fresh(v)), S_OK);
    EXPECT_EQ(v->vt, VT_I4);
    EXPECT_EQ(v->lVal, 1);
    Bstr s;
    ASSERT_EQ(a->get_ValueStr(s.out()), S_OK);
    EXPECT_EQ(text(s.get()), u"1");
    a->Release();

    CK_ULONG native = CKO_PRIVATE_KEY;
    Bytes nativeBytes(sizeof(native));
    std::memcpy(nativeBytes.data(), &native, sizeof(native));
    a = holding(CKA_KEY_TYPE, nativeBytes);
    ASSERT_EQ(a->get_Value(fresh(v)), S_OK);
    EXPECT_EQ(v->lVal, 3);
    a->Release();

    // A vendor-defined class reads as the negative 32-bit number the enumeration publishes.
    a = holding(CKA_CLASS, {0x00, 0x00, 0x00, 0x80});
    ASSERT_EQ(a->get_ValueStr(s.out()), S_OK);
    EXPECT_EQ(text(s.get()), u"-2147483648");
    a->Release();

    a = holding(CKA_CLASS, {0x01, 0x00, 0x00});
    EXPECT_EQ(a->get_Value(fresh(v)), E_UNEXPECTED);
    EXPECT_EQ(a->get_ValueStr(s.out()), E_UNEXPECTED);
    a->Release();
}

TEST_F(Attribute, TextBytesBooleanAndDateViews) {
    // Text is one character per byte, the byte's value: 41 E9 is "A" and U+00E9.
    CP11Attribute* a = holding(CKA_LABEL, {0x41, 0xE9});
    Variant v;
    ASSERT_EQ(a->get_Value(fresh(v)), S_OK);
    ASSERT_EQ(v->vt, VT_BSTR);
    EXPECT_EQ(text(v->bstrVal), std::u16string(u"A\u00E9"));
    Bstr s;
    ASSERT_EQ(a->get_ValueStr(s.out()), S_OK);
    EXPECT_EQ(text(s.get()), std::u16string(u"A\u00E9"));
    a->Release();

    a = holding(CKA_ID, {0x0A, 0xFF});
    ASSERT_EQ(a->get_ValueStr(s.out()), S_OK);
    EXPECT_EQ(text(s.get()), u"0AFF");
    ASSERT_EQ(a->get_Value(fresh(v)), S_OK);
    EXPECT_EQ(v->vt, VT_ARRAY | VT_UI1);
    EXPECT_EQ(v->parray->rgsabound[0].lLbound, 0);
    a->Release();

    // CKA_EXTRACTABLE is a boolean on the token but has always read as bytes.
    a = holding(CKA_EXTRACTABLE, {0x01});
    ASSERT_EQ(a->get_ValueStr(s.out()), S_OK);
    EXPECT_EQ(text(s.get()), u"01");
    a->Release();

    a = holding(CKA_SIGN, {0x02});
    ASSERT_EQ(a->get_Value(fresh(v)), S_OK);
    EXPECT_EQ(v->vt, VT_BOOL);
    EXPECT_EQ(v->boolVal, VARIANT_TRUE);
    ASSERT_EQ(a->get_ValueStr(s.out()), S_OK);
    EXPECT_EQ(text(s.get()), u"True");
    a->Release();

    a = holding(CKA_END_DATE, {'2', '0', '0', '5', '1', '2', '3', '1'});
    ASSERT_EQ(a->get_Value(fresh(v)), S_OK);
    EXPECT_EQ(v->vt, VT_DATE);
    EXPECT_EQ(v->date, dateOf(2005, 12, 31));
    ASSERT_EQ(a->get_ValueStr(s.out()), S_OK);
    EXPECT_EQ(text(s.get()), u"12/31/2005");
    a->Release();

    // Seven digits, a thirteenth month and blanks are no day at all.
    for (Bytes bad : {Bytes{'2', '0', '0', '5', '1', '2', '3'},
                      Bytes{'2', '0', '0', '5', '1', '3', '0', '1'}, Bytes(8, ' ')}) {
        a = holding(CKA_START_DATE, bad);
        EXPECT_EQ(a->get_Value(fresh(v)), E_UNEXPECTED);
        EXPECT_EQ(a->get_ValueStr(s.out()), E_UNEXPECTED);
        a->Release();
    }
}

TEST_F(Attribute, TokenValuesWithoutBytesAndUnavailableOnes) {
    CP11Attribute* a = holding(CKA_LABEL, {});
    VARIANT_BOOL valid = VARIANT_FALSE;
    ASSERT_EQ(a->get_Valid(&valid), S_OK);
    EXPECT_EQ(valid, VARIANT_TRUE) << "an empty label is a value";
    Variant v;
    ASSERT_EQ(a->get_Value(fresh(v)), S_OK);
    EXPECT_EQ(v->vt, VT_EMPTY);
    Bstr s;
    ASSERT_EQ(a->get_ValueStr(s.out()), S_OK);
    EXPECT_EQ(s.get(), nullptr);
    EXPECT_TRUE(raw(a).empty());
    a->Release();

    // Both forms of the unavailable mark (this platform's and a 32-bit module's).
    for (CK_ULONG mark : {CK_UNAVAILABLE_INFORMATION, CK_ULONG{0xFFFFFFFF}}) {
        a = make();
        BYTE junk[4] = {1, 2, 3, 4};
        CK_ATTRIBUTE entry{CKA_ID, junk, mark};
        ASSERT_EQ(a->initFromToken(nullptr, entry), S_OK);
        ASSERT_EQ(a->get_Valid(&valid), S_OK);
        EXPECT_EQ(valid, VARIANT_FALSE);
        ASSERT_EQ(a->get_Value(fresh(v)), S_OK);
        EXPECT_EQ(v->vt, VT_EMPTY);
        LONG type = 0;
        ASSERT_EQ(a->get_Type(&type), S_OK);
        EXPECT_EQ(type, static_cast<LONG>(CKA_ID));
        a->Release();
    }
}

TEST_F(Attribute, ValueSafeStoresByClassAndLeavesTheAttributeAloneOnFailure) {
    CP11Attribute* a = make();
    Variant v;
    v->vt = VT_BOOL;
    v->boolVal = VARIANT_TRUE;
    ASSERT_EQ(a->put_ValueSafe(CKA_TOKEN, *v.get()), S_OK);
    EXPECT_EQ(raw(a), Bytes{0x01});
    VARIANT_BOOL valid = VARIANT_FALSE;
    ASSERT_EQ(a->get_Valid(&valid), S_OK);
    EXPECT_EQ(valid, VARIANT_TRUE);

    // An integer is stored as the byte it converts to: 2 stays 2, 300 and -1 do not fit.
    Variant n;
    n->vt = VT_I4;
    n->lVal = 2;
    ASSERT_EQ(a->put_ValueSafe(CKA_PRIVATE, *n.get()), S_OK);
    EXPECT_EQ(raw(a), Bytes{0x02});
    for (LONG bad : {300, -1}) {
        n->lVal = bad;
        EXPECT_EQ(a->put_ValueSafe(CKA_SENSITIVE, *n.get()), E_INVALIDARG);
    }
    Variant str;
    str->vt = VT_BSTR;
    str->bstrVal = SysAllocString(u"True");
    EXPECT_EQ(a->put_ValueSafe(CKA_TOKEN, *str.get()), E_INVALIDARG);
    // Nothing of the failed puts arrived: type, value and validity are the last good ones.
    LONG type = 0;
    ASSERT_EQ(a->get_Type(&type), S_OK);
    EXPECT_EQ(type, static_cast<LONG>(CKA_PRIVATE));
    EXPECT_EQ(raw(a), Bytes{0x02});

    // Numbers are stored as this platform's CK_ULONG, which is what modules here compare.
    n->lVal = CKO_CERTIFICATE;
    ASSERT_EQ(a->put_ValueSafe(CKA_CLASS, *n.get()), S_OK);
    CK_ULONG expected = CKO_CERTIFICATE;
    Bytes expectedBytes(sizeof(expected));
    std::memcpy(expectedBytes.data(), &expected, sizeof(expected));
    EXPECT_EQ(raw(a), expectedBytes);
    // The vendor-defined base comes as a negative VT_I4 and must not be sign-extended.
    n->lVal = static_cast<LONG>(0x80000000u);
    ASSERT_EQ(a->put_ValueSafe(CKA_CLASS, *n.get()), S_OK);
    expected = CKO_VENDOR_DEFINED;
    std::memcpy(expectedBytes.data(), &expected, sizeof(expected));
    EXPECT_EQ(raw(a), expectedBytes);
    Variant wide;
    wide->vt = VT_UI8;
    wide->ullVal = 0x100000000ull;
    EXPECT_EQ(a->put_ValueSafe(CKA_CLASS, *wide.get()), E_INVALIDARG);
    EXPECT_EQ(a->put_ValueSafe(CKA_CLASS, *str.get()), E_INVALIDARG);
    EXPECT_EQ(raw(a), expectedBytes);

    // Text goes to the module in the ANSI form (UTF-8 here), without terminator.
    SysFreeString(str->bstrVal);
    str->bstrVal = SysAllocString(u"A\u00E9");
    ASSERT_EQ(a->put_ValueSafe(CKA_LABEL, *str.get()), S_OK);
    EXPECT_EQ(raw(a), (Bytes{0x41, 0xC3, 0xA9}));
    Variant empty;
    empty->vt = VT_BSTR;
    empty->bstrVal = nullptr;
    ASSERT_EQ(a->put_ValueSafe(CKA_APPLICATION, *empty.get()), S_OK);
    EXPECT_TRUE(raw(a).empty());

    // Dates by value and by reference; the time of day is dropped.
    Variant d;
    d->vt = VT_DATE;
    d->date = dateOf(2005, 12, 31) + 0.75;
    ASSERT_EQ(a->put_ValueSafe(CKA_END_DATE, *d.get()), S_OK);
    EXPECT_EQ(raw(a), (Bytes{'2', '0', '0', '5', '1', '2', '3', '1'}));
    DATE early = dateOf(987, 1, 2);
    VARIANT ref;
    VariantInit(&ref);
    ref.vt = VT_BYREF | VT_DATE;
    ref.pdate = &early;
    ASSERT_EQ(a->put_ValueSafe(CKA_START_DATE, ref), S_OK);
    EXPECT_EQ(raw(a), (Bytes{'0', '9', '8', '7', '0', '1', '0', '2'}));
    EXPECT_EQ(a->put_ValueSafe(CKA_START_DATE, *n.get()), E_INVALIDARG);

    // Bytes take any array; a scalar is refused.
    Variant arr;
    setBytes(arr, {9, 8, 7}, 5);
    ASSERT_EQ(a->put_ValueSafe(CKA_VALUE, *arr.get()), S_OK);
    EXPECT_EQ(raw(a), (Bytes{9, 8, 7}));
    EXPECT_EQ(a->put_ValueSafe(CKA_VALUE, *n.get()), E_INVALIDARG);
    a->Release();
}

TEST_F(Attribute, ValueRawClearsTheTypeAndKeepsTheAttributeWhenTheArrayFails) {
    CP11Attribute* a = make();
    ASSERT_EQ(a->put_Type(CKA_ID), S_OK);
    Variant arr;
    setBytes(arr, {0xDE, 0xAD});
    ASSERT_EQ(a->put_ValueRaw(*arr.get()), S_OK);
    LONG type = -1;
    ASSERT_EQ(a->get_Type(&type), S_OK);
    EXPECT_EQ(type, 0) << "raw bytes carry no type";
    ASSERT_EQ(a->put_Type(CKA_ID), S_OK);
    Bstr s;
    ASSERT_EQ(a->get_ValueStr(s.out()), S_OK);
    EXPECT_EQ(text(s.get()), u"DEAD");

    // A VARIANT array with an element that is no byte: refused before anything is cleared.
    Variant bad;
    SAFEARRAY* sa = variantVector(bad, 2);
    element(sa, 0).vt = VT_I4;
    element(sa, 0).lVal = 1;
    element(sa, 1).vt = VT_I4;
    element(sa, 1).lVal = 256;
    EXPECT_EQ(a->put_ValueRaw(*bad.get()), E_INVALIDARG);
    Variant scalar;
    scalar->vt = VT_I4;
    EXPECT_EQ(a->put_ValueRaw(*scalar.get()), E_INVALIDARG);
    ASSERT_EQ(a->get_Type(&type), S_OK);
    EXPECT_EQ(type, static_cast<LONG>(CKA_ID));
    EXPECT_EQ(raw(a), (Bytes{0xDE, 0xAD}));

    // The array may come by reference or inside a referenced VARIANT.
    SAFEARRAY* inner = arr->parray;
    VARIANT byRef;
    VariantInit(&byRef);
    byRef.vt = VT_BYREF | VT_ARRAY | VT_UI1;
    byRef.pparray = &inner;
    VARIANT outer;
    VariantInit(&outer);
    outer.vt = VT_BYREF | VT_VARIANT;
    outer.pvarVal = &byRef;
    element(sa, 1).lVal = 255;
    ASSERT_EQ(a->put_ValueRaw(*bad.get()), S_OK);
    EXPECT_EQ(raw(a), (Bytes{1, 255}));
    ASSERT_EQ(a->put_ValueRaw(outer), S_OK);
    EXPECT_EQ(raw(a), (Bytes{0xDE, 0xAD}));

    // Null out-pointers are refused, never written.
    EXPECT_EQ(a->get_Type(nullptr), E_INVALIDARG);
    EXPECT_EQ(a->get_Valid(nullptr), E_POINTER);
    EXPECT_EQ(a->get_Value(nullptr), E_POINTER);
    EXPECT_EQ(a->get_ValueStr(nullptr), E_POINTER);
    EXPECT_EQ(a->get_ValueRaw(nullptr), E_POINTER);
    a->Release();
}

TEST_F(Attribute, ArrayToBytesRefusesWhatItCannotReadSafely) {
    Variant arr;
    setBytes(arr, {1, 2, 3}, -7);
    size_t n = 0;
    ASSERT_TRUE(pavlox::arrayByteCount(*arr.get(), &n));
    EXPECT_EQ(n, 3u);
    BYTE small[2];
    EXPECT_FALSE(pavlox::arrayBytesFill(*arr.get(), small, sizeof(small)));

    // Elements of other types convert one by one: a 16-bit array and a VARIANT of text.
    SAFEARRAY* shorts = SafeArrayCreateVector(VT_I2, 0, 2);
    static_cast<SHORT*>(shorts->pvData)[0] = 65;
    static_cast<SHORT*>(shorts->pvData)[1] = 255;
    Variant sv;
    sv->vt = VT_ARRAY | VT_I2;
    sv->parray = shorts;
    pavlox::SecureBytes out;
    ASSERT_TRUE(pavlox::arrayToBytes(*sv.get(), out));
    EXPECT_EQ(Bytes(out.begin(), out.end()), (Bytes{65, 255}));
    static_cast<SHORT*>(shorts->pvData)[1] = 256;
    EXPECT_FALSE(pavlox::arrayToBytes(*sv.get(), out));
    EXPECT_TRUE(out.empty());

    // A descriptor without type or flags is read as bytes; if its elements are wider than a
    // byte, reading one as a byte-sized value would write past it: refused.
    SAFEARRAY* bare = nullptr;
    ASSERT_EQ(SafeArrayAllocDescriptor(1, &bare), S_OK);
    bare->cbElements = 4;
    bare->rgsabound[0].cElements = 2;
    bare->rgsabound[0].lLbound = 0;
    ASSERT_EQ(SafeArrayAllocData(bare), S_OK);
    Variant bv;
    bv->vt = VT_ARRAY | VT_UI1;
    bv->parray = bare;
    EXPECT_FALSE(pavlox::arrayToBytes(*bv.get(), out));

    // Two dimensions have no single run of elements.
    SAFEARRAYBOUND bounds[2] = {{2, 0}, {2, 0}};
    Variant grid;
    grid->vt = VT_ARRAY | VT_UI1;
    grid->parray = SafeArrayCreate(VT_UI1, 2, bounds);
    EXPECT_FALSE(pavlox::arrayByteCount(*grid.get(), &n));
    EXPECT_FALSE(pavlox::arrayToBytes(*grid.get(), out));
}

// Byte vectors whose bounds sit at the ends of the LONG range. The count is the stored element
// count whatever the bounds: an empty vector from the smallest lower bound reports the largest
// upper bound, and reading upper - lower + 1 elements of it used to claim 4 GiB.
TEST_F(Attribute, ArraysAtExtremeBoundsHoldTheirStoredCount) {
    constexpr LONG kMin = std::numeric_limits<LONG>::min();
    constexpr LONG kMax = std::numeric_limits<LONG>::max();
    const struct {
        LONG lower;
        ULONG count;
    } cases[] = {{kMin, 0}, {kMin, 1}, {kMin, 3}, {kMax, 0},     {kMax, 1},    {kMax, 3},
                 {-1, 0},   {0, 0},    {1, 0},    {kMax - 1, 2}, {kMin + 1, 0}};
    pavlox::CUtil* util = nullptr;
    ASSERT_EQ(pavlox::createInternal(&util), S_OK);
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "lower " << c.lower << ", " << c.count << " elements");
        Variant arr;
        SAFEARRAY* a = SafeArrayCreateVector(VT_UI1, c.lower, c.count);
        ASSERT_NE(a, nullptr);
        for (ULONG k = 0; k < c.count; ++k) {
            static_cast<BYTE*>(a->pvData)[k] = static_cast<BYTE>(0xA0 + k);
        }
        arr->vt = VT_ARRAY | VT_UI1;
        arr->parray = a;
        Bytes expected;
        for (ULONG k = 0; k < c.count; ++k) {
            expected.push_back(static_cast<BYTE>(0xA0 + k));
        }

        size_t n = 99;
        ASSERT_TRUE(pavlox::arrayByteCount(*arr.get(), &n));
        EXPECT_EQ(n, c.count);
        pavlox::SecureBytes bytes;
        ASSERT_TRUE(pavlox::arrayToBytes(*arr.get(), bytes));
        EXPECT_EQ(Bytes(bytes.begin(), bytes.end()), expected);

        // Util.ArrayToString: two hexadecimal digits per stored element.
        VARIANT on;
        VariantInit(&on);
        on.vt = VT_BOOL;
        on.boolVal = VARIANT_TRUE;
        Variant hex;
        ASSERT_EQ(util->ArrayToString(*arr.get(), on, fresh(hex)), S_OK);
        EXPECT_EQ(SysStringLen(hex->bstrVal), 2 * c.count);

        // P11Attribute.ValueSafe and ValueRaw store exactly the elements.
        CP11Attribute* attr = make();
        ASSERT_EQ(attr->put_ValueSafe(CKA_ID, *arr.get()), S_OK);
        EXPECT_EQ(raw(attr), expected);
        ASSERT_EQ(attr->put_ValueRaw(*arr.get()), S_OK);
        EXPECT_EQ(raw(attr), expected);
        attr->Release();

        // A list of attribute types at the same bounds: one entry per stored element.
        Variant types;
        SAFEARRAY* t = SafeArrayCreateVector(VT_I4, c.lower, c.count);
        ASSERT_NE(t, nullptr);
        for (ULONG k = 0; k < c.count; ++k) {
            static_cast<LONG*>(t->pvData)[k] = static_cast<LONG>(CKA_LABEL);
        }
        types->vt = VT_ARRAY | VT_I4;
        types->parray = t;
        pavlox::AttributeTemplate list;
        ASSERT_EQ(list.build(*types.get()), S_OK);
        EXPECT_EQ(list.count(), c.count);

        // The platform's own readers agree: the bounds as Windows reports them, the bytes
        // of a byte vector as a BSTR.
        LONG lower = 0, upper = 0;
        ASSERT_EQ(SafeArrayGetLBound(a, 1, &lower), S_OK);
        ASSERT_EQ(SafeArrayGetUBound(a, 1, &upper), S_OK);
        EXPECT_EQ(lower, c.lower);
        EXPECT_EQ(upper, static_cast<LONG>(
                             static_cast<ULONG>(static_cast<long long>(c.lower) + c.count - 1)));
        Variant text;
        ASSERT_EQ(VariantChangeType(text.get(), arr.get(), 0, VT_BSTR), S_OK);
        EXPECT_EQ(SysStringByteLen(text->bstrVal), c.count);
    }
    util->Release();
}

TEST_F(Attribute, MembersTakeTheOwnersChainAndTheOwnerLivesWithTheAttribute) {
    FakeOwner owner;
    CP11Attribute* a = make();
    BYTE label[] = {'k', 'e', 'y'};
    ASSERT_EQ(a->initFromToken(&owner, CK_ATTRIBUTE{CKA_LABEL, label, sizeof(label)}), S_OK);
    EXPECT_EQ(owner.refs, 1u);
    EXPECT_EQ(owner.locks, 0) << "the caller already holds the owner's chain";
    Bstr s;
    ASSERT_EQ(a->get_ValueStr(s.out()), S_OK);
    EXPECT_EQ(text(s.get()), u"key");
    EXPECT_EQ(owner.locks, 1);
    EXPECT_EQ(owner.depth, 0) << "released again";

    // Re-initializing from another object moves the reference.
    FakeOwner other;
    ASSERT_EQ(a->initFromToken(&other, CK_ATTRIBUTE{CKA_ID, nullptr, 0}), S_OK);
    EXPECT_EQ(owner.refs, 0u);
    EXPECT_EQ(other.refs, 1u);
    a->clear();
    LONG type = -1;
    ASSERT_EQ(a->get_Type(&type), S_OK);
    EXPECT_EQ(type, 0);
    EXPECT_EQ(other.refs, 1u) << "clearing keeps the owner";
    a->Release();
    EXPECT_EQ(other.refs, 0u);
}

// A client-created attribute has no owner: its own lock alone must keep readers off a value
// being replaced.
TEST_F(Attribute, ConcurrentWritersAndReadersNeverSeeAMixedValue) {
    CP11Attribute* a = make();
    const std::u16string shortText(4, u'A');
    const std::u16string longText(64, u'B');
    std::atomic<bool> stop{false};
    std::atomic<int> mixed{0};
    std::vector<std::thread> threads;
    threads.emplace_back([&] {
        Variant v;
        v->vt = VT_BSTR;
        for (int i = 0; i < 2000; ++i) {
            SysFreeString(v->bstrVal);
            v->bstrVal = SysAllocString(i % 2 ? longText.c_str() : shortText.c_str());
            EXPECT_EQ(a->put_ValueSafe(CKA_LABEL, *v.get()), S_OK);
        }
        stop = true;
    });
    for (int r = 0; r < 3; ++r) {
        threads.emplace_back([&] {
            while (!stop) {
                Bstr s;
                if (FAILED(a->get_ValueStr(s.out()))) {
                    ++mixed;
                    continue;
                }
                std::u16string t = text(s.get());
                if (!t.empty() && t != shortText && t != longText) {
                    ++mixed;
                }
            }
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    EXPECT_EQ(mixed, 0);
    a->Release();
}

TEST_F(Attribute, DispatchReachesTheMembersByName) {
    CP11Attribute* a = make();
    IDispatch* d = static_cast<pavlox::IP11Attribute*>(a);
    // ValueSafe(eCKA_LABEL) = "Hi" as a script writes it: a property put with an index.
    const OLECHAR* name = u"ValueSafe";
    DISPID id = 0;
    ASSERT_EQ(d->GetIDsOfNames(IID_NULL, const_cast<LPOLESTR*>(&name), 1, 0, &id), S_OK);
    EXPECT_EQ(id, 3);
    VARIANT args[2];
    VariantInit(&args[0]);
    VariantInit(&args[1]);
    args[0].vt = VT_BSTR;
    args[0].bstrVal = SysAllocString(u"Hi");
    args[1].vt = VT_I4;
    args[1].lVal = CKA_LABEL;
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS put{args, &named, 2, 1};
    ASSERT_EQ(d->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYPUT, &put, nullptr, nullptr, nullptr),
              S_OK);
    VariantClear(&args[0]);
    // The default member is ValueStr.
    Variant result;
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    ASSERT_EQ(d->Invoke(DISPID_VALUE, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, result.get(),
                        nullptr, nullptr),
              S_OK);
    ASSERT_EQ(result->vt, VT_BSTR);
    EXPECT_EQ(text(result->bstrVal), u"Hi");
    a->Release();
}

// --- The attribute-list conversion ---

class AttributeList : public Attribute {};

TEST_F(AttributeList, NumbersAreTypesAndObjectsGiveCopiedValues) {
    CP11Attribute* label = make();
    Variant s;
    s->vt = VT_BSTR;
    s->bstrVal = SysAllocString(u"cert");
    ASSERT_EQ(label->put_ValueSafe(CKA_LABEL, *s.get()), S_OK);

    Variant list;
    SAFEARRAY* sa = variantVector(list, 4);
    element(sa, 0).vt = VT_I2;
    element(sa, 0).iVal = CKA_ID;
    element(sa, 1).vt = VT_DISPATCH;
    element(sa, 1).pdispVal = static_cast<pavlox::IP11Attribute*>(label);
    label->AddRef();  // the list holds one
    element(sa, 2).vt = VT_I4;
    element(sa, 2).lVal = static_cast<LONG>(0x80000001u);
    IUnknown* unk = label->innerUnknown();
    element(sa, 3).vt = VT_BYREF | VT_UNKNOWN;
    element(sa, 3).ppunkVal = &unk;

    pavlox::AttributeTemplate t;
    ASSERT_EQ(t.build(*list.get()), S_OK);
    ASSERT_EQ(t.count(), 4u);
    EXPECT_EQ(t[0].type, CKA_ID);
    EXPECT_EQ(t[0].pValue, nullptr);
    EXPECT_EQ(t[0].ulValueLen, 0u);
    EXPECT_EQ(t[1].type, CKA_LABEL);
    ASSERT_EQ(t[1].ulValueLen, 4u);
    EXPECT_EQ(std::memcmp(t[1].pValue, "cert", 4), 0);
    EXPECT_EQ(t[2].type, CK_ATTRIBUTE_TYPE{0x80000001}) << "no sign extension";
    EXPECT_EQ(t[3].type, CKA_LABEL);

    // The template keeps what it read, whatever happens to the attribute during the call.
    SysFreeString(s->bstrVal);
    s->bstrVal = SysAllocString(u"a much longer label");
    ASSERT_EQ(label->put_ValueSafe(CKA_LABEL, *s.get()), S_OK);
    EXPECT_EQ(std::memcmp(t[1].pValue, "cert", 4), 0);

    // A search template takes objects only.
    EXPECT_EQ(t.build(*list.get(), pavlox::ListElements::AttributesOnly), E_INVALIDARG);
    EXPECT_TRUE(t.empty());
    label->Release();
}

TEST_F(AttributeList, TypedArraysNarrowingAndRefusals) {
    pavlox::AttributeTemplate t;
    Variant list;
    list->vt = VT_ARRAY | VT_I8;
    list->parray = SafeArrayCreateVector(VT_I8, 1, 2);
    static_cast<LONGLONG*>(list->parray->pvData)[0] = CKA_LABEL;
    static_cast<LONGLONG*>(list->parray->pvData)[1] = 0xFFFFFFFFLL;
    ASSERT_EQ(t.build(*list.get()), S_OK);
    ASSERT_EQ(t.count(), 2u);
    EXPECT_EQ(t[0].type, CKA_LABEL);
    EXPECT_EQ(t[1].type, CK_ATTRIBUTE_TYPE{0xFFFFFFFF});
    // A 64-bit number beyond 32 bits would name another attribute if cut: refused.
    static_cast<LONGLONG*>(list->parray->pvData)[1] = 0x100000003LL;
    EXPECT_EQ(t.build(*list.get()), E_INVALIDARG);

    // Elements that are neither numbers nor objects used to turn into CKA_CLASS silently.
    Variant strings;
    strings->vt = VT_ARRAY | VT_BSTR;
    strings->parray = SafeArrayCreateVector(VT_BSTR, 0, 1);
    EXPECT_EQ(t.build(*strings.get()), E_INVALIDARG);
    Variant vlist;
    SAFEARRAY* sa = variantVector(vlist, 1);
    element(sa, 0).vt = VT_BSTR;
    element(sa, 0).bstrVal = SysAllocString(u"3");
    EXPECT_EQ(t.build(*vlist.get()), E_INVALIDARG);

    Variant scalar;
    scalar->vt = VT_I4;
    scalar->lVal = CKA_LABEL;
    EXPECT_EQ(t.build(*scalar.get()), E_INVALIDARG);

    Variant empty;
    variantVector(empty, 0);
    ASSERT_EQ(t.build(*empty.get()), S_OK);
    EXPECT_TRUE(t.empty());
    EXPECT_EQ(t.data(), nullptr);
}

TEST_F(AttributeList, ObjectElementsMustBeOurAttributes) {
    pavlox::AttributeTemplate t;
    Variant list;
    SAFEARRAY* sa = variantVector(list, 1);
    VARIANT& e = element(sa, 0);

    e.vt = VT_UNKNOWN;
    e.punkVal = nullptr;
    EXPECT_EQ(t.build(*list.get()), E_POINTER);

    ForeignAttribute foreign;
    e.punkVal = &foreign;
    EXPECT_EQ(t.build(*list.get()), E_UNEXPECTED);

    pavlox::CVariantCollection* notAnAttribute = nullptr;
    ASSERT_EQ(pavlox::createInternal(&notAnAttribute), S_OK);
    e.punkVal = notAnAttribute->innerUnknown();
    EXPECT_EQ(t.build(*list.get()), E_INVALIDARG);
    e.vt = VT_EMPTY;  // borrowed references: nothing for the list to release
    notAnAttribute->Release();

    // VT_UNKNOWN arrays follow the same rules.
    CP11Attribute* a = make();
    ASSERT_EQ(a->put_Type(CKA_CLASS), S_OK);
    Variant unknowns;
    unknowns->vt = VT_ARRAY | VT_UNKNOWN;
    unknowns->parray = SafeArrayCreateVector(VT_UNKNOWN, 0, 2);
    IUnknown** slots = static_cast<IUnknown**>(unknowns->parray->pvData);
    slots[0] = a->innerUnknown();
    a->AddRef();
    ASSERT_EQ(t.build(*unknowns.get(), pavlox::ListElements::AttributesOnly), E_POINTER);
    slots[1] = &foreign;
    EXPECT_EQ(t.build(*unknowns.get()), E_UNEXPECTED);
    slots[1] = nullptr;
    SafeArrayDestroy(unknowns->parray);  // releases our one reference
    unknowns->vt = VT_EMPTY;
    a->Release();
}

TEST_F(Attribute, SignDataIsOneBytePerCharacterUnlessACharacterIsWide) {
    pavlox::SecureBytes data;
    Variant s;
    s->vt = VT_BSTR;
    s->bstrVal = SysAllocString(u"A\u00FF");
    ASSERT_EQ(pavlox::dataToSign(*s.get(), data), S_OK);
    EXPECT_EQ(Bytes(data.begin(), data.end()), (Bytes{0x41, 0xFF}));
    // One character above U+00FF turns every character into a little-endian pair.
    SysFreeString(s->bstrVal);
    s->bstrVal = SysAllocString(u"A\u20AC");
    VARIANT byRef;
    VariantInit(&byRef);
    byRef.vt = VT_BYREF | VT_BSTR;
    byRef.pbstrVal = &s->bstrVal;
    ASSERT_EQ(pavlox::dataToSign(byRef, data), S_OK);
    EXPECT_EQ(Bytes(data.begin(), data.end()), (Bytes{0x41, 0x00, 0xAC, 0x20}));

    Variant arr;
    setBytes(arr, {0x30, 0x31});
    ASSERT_EQ(pavlox::dataToSign(*arr.get(), data), S_OK);
    EXPECT_EQ(data.size(), 2u);
    Variant n;
    n->vt = VT_I4;
    EXPECT_EQ(pavlox::dataToSign(*n.get(), data), E_INVALIDARG);
}

// --- Reading values into new attributes ---

// C_GetAttributeValue over a fixed object, by the standard's rules for each entry.
struct FakeObject {
    std::map<CK_ATTRIBUTE_TYPE, Bytes> values;
    std::vector<CK_ATTRIBUTE_TYPE> sensitive;
    int calls = 0;
    CK_RV get(CK_ATTRIBUTE_PTR entries, CK_ULONG n) {
        ++calls;
        CK_RV rv = CKR_OK;
        for (CK_ULONG k = 0; k < n; ++k) {
            CK_ATTRIBUTE& e = entries[k];
            auto found = values.find(e.type);
            if (std::find(sensitive.begin(), sensitive.end(), e.type) != sensitive.end()) {
                e.ulValueLen = CK_UNAVAILABLE_INFORMATION;
                rv = CKR_ATTRIBUTE_SENSITIVE;
            } else if (found == values.end()) {
                e.ulValueLen = CK_UNAVAILABLE_INFORMATION;
                rv = CKR_ATTRIBUTE_TYPE_INVALID;
            } else if (e.pValue == nullptr) {
                e.ulValueLen = found->second.size();
            } else if (e.ulValueLen >= found->second.size()) {
                std::memcpy(e.pValue, found->second.data(), found->second.size());
                e.ulValueLen = found->second.size();
            } else {
                e.ulValueLen = CK_UNAVAILABLE_INFORMATION;
                rv = CKR_BUFFER_TOO_SMALL;
            }
        }
        return rv;
    }
};

TEST_F(Attribute, ReadInTwoCallsIntoAttributesThatKeepTheirObject) {
    FakeObject object;
    object.values[CKA_LABEL] = {'k', 'e', 'y'};
    object.values[CKA_APPLICATION] = {};
    object.values[CKA_VALUE] = Bytes(300, 0x5A);

    Variant wanted;
    wanted->vt = VT_ARRAY | VT_I4;
    wanted->parray = SafeArrayCreateVector(VT_I4, 0, 4);
    LONG* types = static_cast<LONG*>(wanted->parray->pvData);
    types[0] = CKA_LABEL;
    types[1] = CKA_ID;  // the object has none
    types[2] = CKA_APPLICATION;
    types[3] = CKA_VALUE;
    pavlox::AttributeTemplate list;
    ASSERT_EQ(list.build(*wanted.get()), S_OK);

    pavlox::ReadTemplate read;
    ASSERT_EQ(read.reset(list), S_OK);
    EXPECT_EQ(object.get(read.data(), read.count()), CKR_ATTRIBUTE_TYPE_INVALID);
    ASSERT_EQ(read.allocate(), S_OK);
    EXPECT_EQ(read[1].pValue, nullptr) << "no buffer for an unavailable entry";
    EXPECT_EQ(read[2].pValue, nullptr) << "none for an empty one";
    EXPECT_EQ(object.get(read.data(), read.count()), CKR_ATTRIBUTE_TYPE_INVALID);
    EXPECT_EQ(object.calls, 2);
    ASSERT_EQ(read.checkLengths(), S_OK);

    FakeOwner owner;
    Variant result;
    ASSERT_EQ(pavlox::attributesFromToken(&owner, read.data(), read.count(), result.get()), S_OK);
    ASSERT_EQ(result->vt, VT_UNKNOWN);
    EXPECT_EQ(owner.refs, 4u) << "every attribute holds its object";
    pavlox::IVariantCollection* items = nullptr;
    ASSERT_EQ(result->punkVal->QueryInterface(pavlox::IID_IVariantCollection,
                                              reinterpret_cast<void**>(&items)),
              S_OK);
    LONG count = 0;
    ASSERT_EQ(items->get_Count(&count), S_OK);
    ASSERT_EQ(count, 4);
    std::vector<VARIANT_BOOL> valid;
    for (LONG i = 1; i <= count; ++i) {
        Variant item;
        ASSERT_EQ(items->get_Item(i, item.get()), S_OK);
        ASSERT_EQ(item->vt, VT_DISPATCH);
        pavlox::IP11Attribute* a = nullptr;
        ASSERT_EQ(
            item->pdispVal->QueryInterface(pavlox::IID_IP11Attribute, reinterpret_cast<void**>(&a)),
            S_OK);
        VARIANT_BOOL v = VARIANT_FALSE;
        a->get_Valid(&v);
        valid.push_back(v);
        LONG type = 0;
        a->get_Type(&type);
        EXPECT_EQ(type, types[i - 1]);
        if (i == 1) {
            Bstr s;
            ASSERT_EQ(a->get_ValueStr(s.out()), S_OK);
            EXPECT_EQ(text(s.get()), u"key");
        }
        if (i == 2) {
            Variant empty;
            ASSERT_EQ(a->get_Value(empty.get()), S_OK);
            EXPECT_EQ(empty->vt, VT_EMPTY);
        }
        a->Release();
    }
    EXPECT_EQ(valid,
              (std::vector<VARIANT_BOOL>{VARIANT_TRUE, VARIANT_FALSE, VARIANT_TRUE, VARIANT_TRUE}));
    items->Release();
    VariantClear(result.get());
    EXPECT_EQ(owner.refs, 0u);

    // A module that claims more bytes than the buffer it was given is not copied from.
    ASSERT_EQ(read.reset(list), S_OK);
    object.get(read.data(), read.count());
    ASSERT_EQ(read.allocate(), S_OK);
    object.get(read.data(), read.count());
    read.entry(3)->ulValueLen = 301;
    EXPECT_EQ(read.checkLengths(), E_UNEXPECTED);
}

// --- Util.ArrayToString ---

class Util : public Attribute {
  protected:
    pavlox::CUtil* util = nullptr;
    void SetUp() override {
        Attribute::SetUp();
        ASSERT_EQ(pavlox::createInternal(&util), S_OK);
    }
    void TearDown() override {
        util->Release();
        Attribute::TearDown();
    }
    static VARIANT flag(bool on) {
        VARIANT v;
        VariantInit(&v);
        v.vt = VT_BOOL;
        v.boolVal = on ? VARIANT_TRUE : VARIANT_FALSE;
        return v;
    }
};

TEST_F(Util, BytesAsHexHighDigitFirstOrOneCharacterPerByte) {
    Variant arr;
    setBytes(arr, {0x0A, 0xFF, 0x41});
    Variant r;
    ASSERT_EQ(util->ArrayToString(*arr.get(), flag(true), fresh(r)), S_OK);
    ASSERT_EQ(r->vt, VT_BSTR);
    EXPECT_EQ(text(r->bstrVal), u"0AFF41");
    ASSERT_EQ(util->ArrayToString(*arr.get(), flag(false), fresh(r)), S_OK);
    EXPECT_EQ(text(r->bstrVal), std::u16string(u"\u000A\u00FFA"));

    // The switch may be a Boolean by reference; anything else, or none, is refused.
    VARIANT_BOOL on = VARIANT_TRUE;
    VARIANT byRef;
    VariantInit(&byRef);
    byRef.vt = VT_BYREF | VT_BOOL;
    byRef.pboolVal = &on;
    ASSERT_EQ(util->ArrayToString(*arr.get(), byRef, fresh(r)), S_OK);
    EXPECT_EQ(text(r->bstrVal), u"0AFF41");
    VARIANT missing;
    VariantInit(&missing);
    missing.vt = VT_ERROR;
    missing.scode = DISP_E_PARAMNOTFOUND;
    EXPECT_EQ(util->ArrayToString(*arr.get(), missing, r.get()), E_INVALIDARG);
    VARIANT one;
    VariantInit(&one);
    one.vt = VT_I4;
    one.lVal = 1;
    EXPECT_EQ(util->ArrayToString(*arr.get(), one, r.get()), E_INVALIDARG);
    EXPECT_EQ(util->ArrayToString(*arr.get(), flag(true), nullptr), E_POINTER);

    // The result is written, never released: a caller's stale or uninitialized VARIANT may
    // hold a reference that is not the library's to drop.
    FakeOwner stale;
    stale.refs = 1;
    VARIANT out;
    VariantInit(&out);
    out.vt = VT_UNKNOWN;
    out.punkVal = &stale;
    ASSERT_EQ(util->ArrayToString(*arr.get(), flag(true), &out), S_OK);
    EXPECT_EQ(stale.refs, 1u);
    ASSERT_EQ(out.vt, VT_BSTR);
    EXPECT_EQ(text(out.bstrVal), u"0AFF41");
    VariantClear(&out);
}

TEST_F(Util, ScalarsAsHexWithoutLeadingZerosOrAsText) {
    Variant n;
    n->vt = VT_I4;
    n->lVal = 0x0ABC;
    Variant r;
    ASSERT_EQ(util->ArrayToString(*n.get(), flag(true), fresh(r)), S_OK);
    EXPECT_EQ(text(r->bstrVal), u"ABC");
    ASSERT_EQ(util->ArrayToString(*n.get(), flag(false), fresh(r)), S_OK);
    EXPECT_EQ(text(r->bstrVal), u"2748");
    n->lVal = -1;  // no VT_UI4 form
    EXPECT_EQ(util->ArrayToString(*n.get(), flag(true), fresh(r)), E_INVALIDARG);
    Variant word;
    word->vt = VT_BSTR;
    word->bstrVal = SysAllocString(u"xyz");
    EXPECT_EQ(util->ArrayToString(*word.get(), flag(true), fresh(r)), E_INVALIDARG);
    ASSERT_EQ(util->ArrayToString(*word.get(), flag(false), fresh(r)), S_OK);
    EXPECT_EQ(text(r->bstrVal), u"xyz");
}

}  // namespace
