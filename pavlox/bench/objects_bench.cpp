// Cost of searching data objects and reading label, ID and value of each, through a session
// late-bound (IDispatch) and through the C++ interface, against the same work done with direct
// PKCS#11 calls, in one run. The objects are session objects this program makes (in the module's
// memory, so the module's own cost per call stays small and ours shows); they are spread over
// groups of at most 256 (one CKA_APPLICATION per group), so every search returns its whole group.
// Rounds alternate between the paths and each ratio is the median of its per-round ratios. The
// process's resident size is taken after the first and after the last round, to show that
// repeated rounds keep nothing.
//
// usage: pavlox_objects_bench MODULE SLOT GROUPS OBJECTS [--check]
// (SOFTHSM2_CONF or FAULT_P11_CONFIG as the module needs.) Object k is labelled "Bench Data k"
// in application "bench-<k mod GROUPS>" with 32 bytes of value. Prints "name=value" lines; with
// --check exits 1 when the C++ path costs more than 1.2x the direct calls or memory grows.
#include <unistd.h>
#include "vantor/cli.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "classes/p11_attribute.h"
#include "classes/p11_session.h"
#include "classes/pkcs11_lib.h"
#include "frame/module.h"
#include "oleaut/ustring.h"
#include "pkcs11/module.h"

namespace {

using Clock = std::chrono::steady_clock;
using vantor::ole::Variant;
constexpr int kRounds = 15;
constexpr CK_ATTRIBUTE_TYPE kRead[] = {CKA_LABEL, CKA_ID, CKA_VALUE};

volatile size_t g_sink = 0;  // keeps the work from being optimized away
void keep(size_t value) {
    g_sink = g_sink + value;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

long residentKiB() {
    std::ifstream statm("/proc/self/statm");
    long size = 0, resident = 0;
    statm >> size >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

std::string application(int group) {
    return "bench-" + std::to_string(group);
}

// The session objects of the run, made in their own read-only session, which keeps them alive
// (session objects are visible to every session of the process and end with the one that made
// them). False when the module refuses one.
bool makeObjects(CK_FUNCTION_LIST_PTR f, CK_SESSION_HANDLE holder, int groups, int count) {
    for (int k = 0; k < count; ++k) {
        CK_OBJECT_CLASS cls = CKO_DATA;
        CK_BBOOL no = CK_FALSE;
        std::string label = "Bench Data " + std::to_string(k);
        std::string app = application(k % groups);
        CK_BYTE value[32];
        for (CK_BYTE& b : value) {
            b = static_cast<CK_BYTE>(std::rand());
        }
        CK_ATTRIBUTE t[] = {{CKA_CLASS, &cls, sizeof cls},
                            {CKA_TOKEN, &no, sizeof no},
                            {CKA_PRIVATE, &no, sizeof no},
                            {CKA_LABEL, label.data(), label.size()},
                            {CKA_APPLICATION, app.data(), app.size()},
                            {CKA_VALUE, value, sizeof value}};
        CK_OBJECT_HANDLE made = CK_INVALID_HANDLE;
        if (f->C_CreateObject(holder, t, sizeof t / sizeof t[0], &made) != CKR_OK) {
            return false;
        }
    }
    return true;
}

// The direct client: one search per group, then per object one length query and one read of
// the three attributes into buffers of the reported sizes, copied out as a program keeps them.
// An attribute the object lacks (SoftHSM2's data objects have no CKA_ID) is reported
// unavailable, and the others are still read.
size_t rawRound(CK_FUNCTION_LIST_PTR f, CK_SESSION_HANDLE s, int groups) {
    size_t objects = 0;
    for (int g = 0; g < groups; ++g) {
        const std::string app = application(g);
        CK_ATTRIBUTE search{CKA_APPLICATION, const_cast<char*>(app.data()), app.size()};
        if (f->C_FindObjectsInit(s, &search, 1) != CKR_OK) {
            return 0;
        }
        CK_OBJECT_HANDLE found[256];
        CK_ULONG n = 0;
        const CK_RV rv = f->C_FindObjects(s, found, 256, &n);
        f->C_FindObjectsFinal(s);
        if (rv != CKR_OK) {
            return 0;
        }
        for (CK_ULONG i = 0; i < n; ++i) {
            CK_ATTRIBUTE t[3] = {
                {kRead[0], nullptr, 0}, {kRead[1], nullptr, 0}, {kRead[2], nullptr, 0}};
            CK_RV got = f->C_GetAttributeValue(s, found[i], t, 3);
            if (got != CKR_OK && got != CKR_ATTRIBUTE_TYPE_INVALID) {
                return 0;
            }
            std::vector<std::vector<CK_BYTE>> values(3);
            for (int k = 0; k < 3; ++k) {
                if (t[k].ulValueLen != CK_UNAVAILABLE_INFORMATION) {
                    values[k].resize(t[k].ulValueLen);
                    t[k].pValue = values[k].data();
                }
            }
            got = f->C_GetAttributeValue(s, found[i], t, 3);
            if (got != CKR_OK && got != CKR_ATTRIBUTE_TYPE_INVALID) {
                return 0;
            }
            keep(values[0].size() + values[1].size() + values[2].size());
        }
        objects += n;
    }
    return objects;
}

// A search template of one attribute (CKA_APPLICATION = app), as a VT_ARRAY | VT_VARIANT.
void groupTemplate(Variant& list, const std::string& app) {
    pavlox::CP11Attribute* a = nullptr;
    pavlox::createInternal(&a);
    SAFEARRAY* bytes = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(app.size()));
    std::memcpy(bytes->pvData, app.data(), app.size());
    VARIANT raw;
    VariantInit(&raw);
    raw.vt = VT_ARRAY | VT_UI1;
    raw.parray = bytes;
    a->put_ValueRaw(raw);
    VariantClear(&raw);
    a->put_Type(CKA_APPLICATION);
    SAFEARRAY* array = SafeArrayCreateVector(VT_VARIANT, 0, 1);
    VARIANT& e = static_cast<VARIANT*>(array->pvData)[0];
    e.vt = VT_DISPATCH;
    e.pdispVal = static_cast<pavlox::IP11Attribute*>(a);  // the array takes our reference
    list->vt = VT_ARRAY | VT_VARIANT;
    list->parray = array;
}

void typeTemplate(Variant& list) {
    SAFEARRAY* array = SafeArrayCreateVector(VT_I4, 0, 3);
    for (int k = 0; k < 3; ++k) {
        static_cast<LONG*>(array->pvData)[k] = static_cast<LONG>(kRead[k]);
    }
    list->vt = VT_ARRAY | VT_I4;
    list->parray = array;
}

size_t byteCount(const VARIANT& v) {
    return v.vt == (VT_ARRAY | VT_UI1) ? v.parray->rgsabound[0].cElements : 0;
}

// The compiled client on the C++ interfaces: FindObjects, then GetAttributeValue of each object
// and the raw value of each attribute.
size_t cppRound(pavlox::IP11Session* session, std::vector<Variant>& searches, Variant& types) {
    size_t objects = 0;
    for (Variant& search : searches) {
        Variant found;
        if (session->FindObjects(*search.get(), found.get()) != S_OK) {
            return 0;
        }
        auto* list = static_cast<pavlox::IVariantCollection*>(nullptr);
        found->punkVal->QueryInterface(pavlox::IID_IVariantCollection,
                                       reinterpret_cast<void**>(&list));
        LONG count = 0;
        list->get_Count(&count);
        for (LONG i = 1; i <= count; ++i) {
            Variant item, attributes;
            list->get_Item(i, item.get());
            pavlox::IP11Object* object = nullptr;
            item->pdispVal->QueryInterface(pavlox::IID_IP11Object,
                                           reinterpret_cast<void**>(&object));
            const HRESULT hr =
                object->GetAttributeValue(*types.get(), VARIANT_FALSE, attributes.get());
            object->Release();
            if (hr != S_OK) {
                list->Release();
                return 0;
            }
            pavlox::IVariantCollection* values = nullptr;
            attributes->punkVal->QueryInterface(pavlox::IID_IVariantCollection,
                                                reinterpret_cast<void**>(&values));
            for (LONG k = 1; k <= 3; ++k) {
                Variant a, raw;
                values->get_Item(k, a.get());
                static_cast<pavlox::IP11Attribute*>(a->pdispVal)->get_ValueRaw(raw.get());
                keep(byteCount(*raw.get()));
            }
            values->Release();
        }
        list->Release();
        objects += static_cast<size_t>(count);
    }
    return objects;
}

// A late-bound call as a script makes it: the name looked up, then Invoke.
HRESULT byName(IDispatch* object, const char16_t* name, WORD flags, VARIANT* args, UINT argCount,
               VARIANT* result) {
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    DISPID id = 0;
    HRESULT hr = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    if (FAILED(hr)) {
        return hr;
    }
    DISPPARAMS params{args, nullptr, argCount, 0};
    return object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result, nullptr,
                          nullptr);
}

size_t dispatchRound(IDispatch* session, std::vector<Variant>& searches, Variant& types) {
    size_t objects = 0;
    for (Variant& search : searches) {
        Variant found, count;
        if (byName(session, u"FindObjects", DISPATCH_METHOD, search.get(), 1, found.get()) !=
            S_OK) {
            return 0;
        }
        IDispatch* list = nullptr;
        found->punkVal->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&list));
        byName(list, u"Count", DISPATCH_PROPERTYGET, nullptr, 0, count.get());
        for (LONG i = 1; i <= count->lVal; ++i) {
            Variant index, item, attributes, values;
            index->vt = VT_I4;
            index->lVal = i;
            byName(list, u"Item", DISPATCH_PROPERTYGET, index.get(), 1, item.get());
            // Arguments go in reverse order: StopOnAttributeNotFound, then WantedAttributes.
            VARIANT args[2];
            args[0].vt = VT_BOOL;
            args[0].boolVal = VARIANT_FALSE;
            args[1] = *types.get();
            if (byName(item->pdispVal, u"GetAttributeValue", DISPATCH_METHOD, args, 2,
                       attributes.get()) != S_OK) {
                list->Release();
                return 0;
            }
            IDispatch* valueList = nullptr;
            attributes->punkVal->QueryInterface(IID_IDispatch,
                                                reinterpret_cast<void**>(&valueList));
            for (LONG k = 1; k <= 3; ++k) {
                Variant at, a, raw;
                at->vt = VT_I4;
                at->lVal = k;
                byName(valueList, u"Item", DISPATCH_PROPERTYGET, at.get(), 1, a.get());
                byName(a->pdispVal, u"ValueRaw", DISPATCH_PROPERTYGET, nullptr, 0, raw.get());
                keep(byteCount(*raw.get()));
            }
            valueList->Release();
        }
        list->Release();
        objects += static_cast<size_t>(count->lVal);
    }
    return objects;
}

// Nanoseconds per object of one round of body, or negative when the round failed.
template <typename Body>
double timeRound(size_t expected, Body body) {
    const auto start = Clock::now();
    const size_t objects = body();
    const double ns = std::chrono::duration<double, std::nano>(Clock::now() - start).count();
    return objects == expected && objects > 0 ? ns / static_cast<double>(objects) : -1;
}

}  // namespace

// The text of --help.
static const char kHelp[] =
    "usage: pavlox_objects_bench MODULE SLOT GROUPS OBJECTS [--check]\n"
    "Times object searches and attribute reads through a session against direct PKCS#11\n"
    "calls, over OBJECTS session objects in GROUPS. --help, --version.\n";

int main(int argc, char** argv) {
    if (vantor::cli::HandleStandardOptions(argc, argv, "pavlox_objects_bench", kHelp)) {
        return 0;
    }
    for (int i = 1; i < argc; ++i) {
        if (argv[i][0] == '-' && std::strcmp(argv[i], "--check") != 0) {
            return vantor::cli::UsageError("pavlox_objects_bench",
                                           std::string("unknown option '") + argv[i] + "'", 2);
        }
    }
    if (argc < 5) {
        return vantor::cli::UsageError(
            "pavlox_objects_bench",
            "give MODULE SLOT GROUPS OBJECTS (" + std::to_string(argc - 1) + " given)", 2);
    }
    const LONG slot = std::atol(argv[2]);
    const int groups = std::atoi(argv[3]);
    const int count = std::atoi(argv[4]);
    const bool check = argc > 5 && std::strcmp(argv[5], "--check") == 0;
    if (groups <= 0 || count <= 0 || (count + groups - 1) / groups > 256) {
        std::fprintf(stderr, "GROUPS and OBJECTS must give groups of 1 to 256 objects\n");
        return 2;
    }

    pavlox::CPkcs11Lib* lib = nullptr;
    if (FAILED(pavlox::createInternal(&lib))) {
        return 2;
    }
    vantor::ole::Bstr path(vantor::ole::bstrFromUtf8(argv[1]));
    Variant opened;
    if (lib->Load(path.get()) != S_OK || lib->OpenSession(slot, opened.get()) != S_OK) {
        std::fprintf(stderr, "cannot load %s or open slot %ld\n", argv[1], long{slot});
        lib->Release();
        return 2;
    }
    auto* session = static_cast<pavlox::IP11Session*>(static_cast<IDispatch*>(opened->pdispVal));
    // The same module instance, bound a second time for the direct calls, on its own session.
    vantor::pkcs11::Module raw(argv[1]);
    CK_SESSION_HANDLE rawSession = 0, holder = 0;
    const auto slotId = static_cast<CK_SLOT_ID>(static_cast<ULONG>(slot));
    if (raw->C_OpenSession(slotId, CKF_SERIAL_SESSION, nullptr, nullptr, &rawSession) != CKR_OK ||
        raw->C_OpenSession(slotId, CKF_SERIAL_SESSION, nullptr, nullptr, &holder) != CKR_OK) {
        std::fprintf(stderr, "cannot open a direct session\n");
        return 2;
    }
    if (!makeObjects(raw.functions(), holder, groups, count)) {
        std::fprintf(stderr, "the module refused to make the session objects\n");
        return 2;
    }

    std::vector<Variant> searches(static_cast<size_t>(groups));
    for (int g = 0; g < groups; ++g) {
        groupTemplate(searches[static_cast<size_t>(g)], application(g));
    }
    Variant types;
    typeTemplate(types);

    const size_t objects = rawRound(raw.functions(), rawSession, groups);
    if (objects != static_cast<size_t>(count)) {
        std::fprintf(stderr, "found %zu of the %d objects made\n", objects, count);
        return 2;
    }
    // One warm-up round per path, then the resident size the later rounds must keep.
    if (cppRound(session, searches, types) != objects ||
        dispatchRound(opened->pdispVal, searches, types) != objects) {
        std::fprintf(stderr, "the library found a different number of objects\n");
        return 2;
    }
    const long before = residentKiB();

    std::vector<double> raws, cpps, lates, cppRatios, lateRatios;
    for (int r = 0; r < kRounds; ++r) {
        const double a =
            timeRound(objects, [&] { return rawRound(raw.functions(), rawSession, groups); });
        const double b = timeRound(objects, [&] { return cppRound(session, searches, types); });
        const double c =
            timeRound(objects, [&] { return dispatchRound(opened->pdispVal, searches, types); });
        if (a <= 0 || b <= 0 || c <= 0) {
            std::fprintf(stderr, "a round failed (%d)\n", r);
            return 2;
        }
        raws.push_back(a);
        cpps.push_back(b);
        lates.push_back(c);
        cppRatios.push_back(b / a);
        lateRatios.push_back(c / a);
    }
    const long growth = residentKiB() - before;
    const double cppRatio = median(cppRatios);
    raw->C_CloseSession(rawSession);
    raw->C_CloseSession(holder);  // its session objects go with it
    session->Close();
    VariantClear(types.get());
    searches.clear();
    VariantClear(opened.get());
    lib->Release();
    const LONG leftOver = pavlox::moduleLockCount();
    std::printf(
        "objects=%zu\nraw_us=%.3f\ncpp_us=%.3f\ndispatch_us=%.3f\ncpp_ratio=%.3f\n"
        "dispatch_ratio=%.3f\nrss_growth_kib=%ld\nobjects_left=%ld\n",
        objects, median(raws) / 1000, median(cpps) / 1000, median(lates) / 1000, cppRatio,
        median(lateRatios), growth, long{leftOver});
    if (check) {
        bool failed = false;
        if (cppRatio > 1.2) {
            std::fprintf(stderr, "the C++ path costs %.2fx the direct calls (limit 1.2x)\n",
                         cppRatio);
            failed = true;
        }
        // A few pages of allocator slack, not one object's worth per round.
        if (growth > 1024 || leftOver != 0) {
            std::fprintf(stderr, "memory grew by %ld KiB over %d rounds, %ld objects left\n",
                         growth, kRounds, long{leftOver});
            failed = true;
        }
        return failed ? 1 : 0;
    }
    return 0;
}
