// CVariantCollection in process: indexing rules, enumeration, dispatch, lifetime.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "classes/token_info.h"
#include "classes/variant_collection.h"
#include "frame/module.h"
#include "oleaut/ustring.h"

namespace {

using pavlox::CVariantCollection;
using pavlox::IVariantCollection;

class Collection : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(pavlox::moduleLockCount(), 0); }
    // Every object made by a test must be gone when it ends.
    void TearDown() override { EXPECT_EQ(pavlox::moduleLockCount(), 0); }

    static CVariantCollection* filled(LONG count) {
        CVariantCollection* c = nullptr;
        EXPECT_EQ(pavlox::createInternal(&c), S_OK);
        for (LONG i = 1; i <= count; ++i) {
            VARIANT v;
            VariantInit(&v);
            v.vt = VT_I4;
            v.lVal = i * 11;
            EXPECT_EQ(c->append(v), S_OK);
        }
        return c;
    }
};

TEST_F(Collection, ItemIsOneBasedWithDistinctErrorsBelowAndAbove) {
    CVariantCollection* c = filled(3);
    LONG count = 0;
    ASSERT_EQ(c->get_Count(&count), S_OK);
    EXPECT_EQ(count, 3);
    VARIANT v;
    VariantInit(&v);
    ASSERT_EQ(c->get_Item(1, &v), S_OK);
    EXPECT_EQ(v.lVal, 11);
    ASSERT_EQ(c->get_Item(3, &v), S_OK);
    EXPECT_EQ(v.lVal, 33);
    EXPECT_EQ(c->get_Item(0, &v), E_INVALIDARG);
    EXPECT_EQ(c->get_Item(-1, &v), E_INVALIDARG);
    EXPECT_EQ(c->get_Item(4, &v), E_FAIL);
    EXPECT_EQ(c->get_Item(1, nullptr), E_POINTER);
    EXPECT_EQ(c->get_Count(nullptr), E_POINTER);
    c->Release();

    CVariantCollection* empty = filled(0);
    ASSERT_EQ(empty->get_Count(&count), S_OK);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(empty->get_Item(1, &v), E_FAIL);
    EXPECT_EQ(empty->get_Item(0, &v), E_INVALIDARG);
    empty->Release();
}

TEST_F(Collection, ItemsAreCopiesAndObjectsStayAliveWithTheCollection) {
    CVariantCollection* c = filled(0);
    pavlox::CTokenInfo* info = nullptr;
    ASSERT_EQ(pavlox::createInternal(&info), S_OK);
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_DISPATCH;
    v.pdispVal = static_cast<pavlox::ITokenInfo*>(info);
    ASSERT_EQ(c->append(v), S_OK);
    info->Release();  // the collection holds the only reference now
    EXPECT_EQ(pavlox::moduleLockCount(), 2);
    VARIANT item;
    VariantInit(&item);
    ASSERT_EQ(c->get_Item(1, &item), S_OK);
    ASSERT_EQ(item.vt, VT_DISPATCH);
    c->Release();
    EXPECT_EQ(pavlox::moduleLockCount(), 1) << "the item outlives the collection";
    LONG flags = -1;
    pavlox::ITokenInfo* ti = nullptr;
    ASSERT_EQ(item.pdispVal->QueryInterface(pavlox::IID_ITokenInfo, reinterpret_cast<void**>(&ti)),
              S_OK);
    EXPECT_EQ(ti->get_Flags(&flags), S_OK);
    EXPECT_EQ(flags, 0) << "a fresh token info holds zeros";
    BSTR label = nullptr;
    ASSERT_EQ(ti->get_Label(&label), S_OK);
    EXPECT_EQ(SysStringLen(label), 0u);
    SysFreeString(label);
    ti->Release();
    VariantClear(&item);
}

TEST_F(Collection, NewEnumIteratesInOrderAndKeepsTheCollectionAlive) {
    CVariantCollection* c = filled(5);
    IUnknown* unk = nullptr;
    ASSERT_EQ(c->get__NewEnum(&unk), S_OK);
    IEnumVARIANT* e = nullptr;
    ASSERT_EQ(unk->QueryInterface(IID_IEnumVARIANT, reinterpret_cast<void**>(&e)), S_OK);
    unk->Release();
    c->Release();  // the enumerator keeps it
    EXPECT_EQ(pavlox::moduleLockCount(), 2);

    VARIANT items[3];
    ULONG fetched = 0;
    ASSERT_EQ(e->Next(1, items, nullptr), S_OK);
    EXPECT_EQ(items[0].lVal, 11);
    ASSERT_EQ(e->Skip(1), S_OK);
    ASSERT_EQ(e->Next(3, items, &fetched), S_OK);
    EXPECT_EQ(fetched, 3u);
    EXPECT_EQ(items[0].lVal, 33);
    EXPECT_EQ(items[2].lVal, 55);
    EXPECT_EQ(e->Next(3, items, &fetched), S_FALSE);
    EXPECT_EQ(fetched, 0u);
    EXPECT_EQ(e->Next(2, items, nullptr), E_INVALIDARG)
        << "a count above one needs a fetched count";
    EXPECT_EQ(e->Skip(1), S_FALSE);

    IEnumVARIANT* clone = nullptr;
    ASSERT_EQ(e->Reset(), S_OK);
    ASSERT_EQ(e->Skip(4), S_OK);
    ASSERT_EQ(e->Clone(&clone), S_OK);
    ASSERT_EQ(clone->Next(1, items, &fetched), S_OK);
    EXPECT_EQ(items[0].lVal, 55) << "a clone starts where its original stands";
    clone->Release();
    e->Release();
}

TEST_F(Collection, DispatchByNameAndByDispidReachTheSameMember) {
    CVariantCollection* c = filled(4);
    IDispatch* d = static_cast<IVariantCollection*>(c);
    LPOLESTR names[] = {const_cast<LPOLESTR>(u"item"), const_cast<LPOLESTR>(u"COUNT"),
                        const_cast<LPOLESTR>(u"_NewEnum")};
    DISPID ids[3];
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(d->GetIDsOfNames(IID_NULL, &names[i], 1, 0, &ids[i]), S_OK);
    }
    EXPECT_EQ(ids[0], DISPID_VALUE);
    EXPECT_EQ(ids[1], 1);
    EXPECT_EQ(ids[2], DISPID_NEWENUM);

    VARIANT r;
    VariantInit(&r);
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    ASSERT_EQ(d->Invoke(ids[1], IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &r, nullptr, nullptr),
              S_OK);
    EXPECT_EQ(r.vt, VT_I4);
    EXPECT_EQ(r.lVal, 4);

    VARIANT index;
    VariantInit(&index);
    index.vt = VT_I2;
    index.iVal = 2;
    DISPPARAMS one{&index, nullptr, 1, 0};
    ASSERT_EQ(d->Invoke(DISPID_VALUE, IID_NULL, 0, DISPATCH_METHOD | DISPATCH_PROPERTYGET, &one, &r,
                        nullptr, nullptr),
              S_OK);
    EXPECT_EQ(r.lVal, 22);
    index.iVal = 0;
    EXCEPINFO info{};
    EXPECT_EQ(d->Invoke(DISPID_VALUE, IID_NULL, 0, DISPATCH_PROPERTYGET, &one, &r, &info, nullptr),
              DISP_E_EXCEPTION);
    EXPECT_EQ(info.scode, E_INVALIDARG);
    index.iVal = 5;
    EXPECT_EQ(d->Invoke(DISPID_VALUE, IID_NULL, 0, DISPATCH_PROPERTYGET, &one, &r, &info, nullptr),
              DISP_E_EXCEPTION);
    EXPECT_EQ(info.scode, E_FAIL);
    EXPECT_EQ(d->Invoke(1, IID_IDispatch, 0, DISPATCH_PROPERTYGET, &none, &r, nullptr, nullptr),
              DISP_E_UNKNOWNINTERFACE);

    ASSERT_EQ(
        d->Invoke(DISPID_NEWENUM, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &r, nullptr, nullptr),
        S_OK);
    ASSERT_EQ(r.vt, VT_UNKNOWN);
    VariantClear(&r);

    // The class info leads to the coclass, whose default interface is this one.
    IProvideClassInfo* pci = nullptr;
    ASSERT_EQ(d->QueryInterface(IID_IProvideClassInfo, reinterpret_cast<void**>(&pci)), S_OK);
    ITypeInfo* coclass = nullptr;
    ASSERT_EQ(pci->GetClassInfo(&coclass), S_OK);
    TYPEATTR* attr = nullptr;
    coclass->GetTypeAttr(&attr);
    EXPECT_TRUE(IsEqualCLSID(attr->guid, pavlox::CLSID_VariantCollection));
    EXPECT_TRUE(attr->wTypeFlags & TYPEFLAG_FCANCREATE);
    coclass->Release();
    pci->Release();
    c->Release();
}

// A handed-out collection is read from several threads at once without a lock.
TEST_F(Collection, ConcurrentReadersThroughDispatchAndEnumerators) {
    CVariantCollection* c = filled(100);
    IDispatch* d = static_cast<IVariantCollection*>(c);
    std::atomic<long> wrong{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 4; ++t) {
        readers.emplace_back([&] {
            for (LONG i = 1; i <= 100; ++i) {
                VARIANT index;
                VariantInit(&index);
                index.vt = VT_I4;
                index.lVal = i;
                DISPPARAMS one{&index, nullptr, 1, 0};
                VARIANT r;
                VariantInit(&r);
                if (d->Invoke(DISPID_VALUE, IID_NULL, 0, DISPATCH_PROPERTYGET, &one, &r, nullptr,
                              nullptr) != S_OK ||
                    r.lVal != i * 11) {
                    ++wrong;
                }
                IUnknown* unk = nullptr;
                if (c->get__NewEnum(&unk) != S_OK) {
                    ++wrong;
                    continue;
                }
                unk->Release();
            }
        });
    }
    for (auto& r : readers) {
        r.join();
    }
    EXPECT_EQ(wrong, 0);
    c->Release();
}

// An outer object that aggregates a collection and forwards IVariantCollection to it.
struct Outer final : IUnknown {
    ULONG refs = 1;
    IUnknown* inner = nullptr;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        if (riid == IID_IUnknown) {
            *out = this;
            ++refs;
            return S_OK;
        }
        return inner->QueryInterface(riid, out);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs; }
};

TEST_F(Collection, AggregatedObjectsShareTheOuterIdentity) {
    Outer outer;
    void* p = nullptr;
    EXPECT_EQ(pavlox::createObject<CVariantCollection>(&outer, pavlox::IID_IVariantCollection, &p),
              CLASS_E_NOAGGREGATION);
    ASSERT_EQ(pavlox::createObject<CVariantCollection>(&outer, IID_IUnknown,
                                                       reinterpret_cast<void**>(&outer.inner)),
              S_OK);
    IVariantCollection* c = nullptr;
    ASSERT_EQ(outer.QueryInterface(pavlox::IID_IVariantCollection, reinterpret_cast<void**>(&c)),
              S_OK);
    EXPECT_EQ(outer.refs, 2u) << "the interface counts on the outer object";
    IUnknown* identity = nullptr;
    ASSERT_EQ(c->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)), S_OK);
    EXPECT_EQ(identity, static_cast<IUnknown*>(&outer));
    identity->Release();
    IUnknown* marshal = nullptr;
    ASSERT_EQ(c->QueryInterface(IID_IMarshal, reinterpret_cast<void**>(&marshal)), S_OK)
        << "the free-threaded marshaler answers through the aggregate";
    marshal->Release();
    c->Release();
    EXPECT_EQ(outer.refs, 1u);
    EXPECT_EQ(outer.inner->Release(), 0u);
}

}  // namespace
