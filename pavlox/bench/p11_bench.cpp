// Cost of listing the slots and reading every token's description through the library object,
// late-bound through IDispatch and through the C++ interface, against the same PKCS#11 calls
// made directly, in one run. Rounds alternate between the three paths and each ratio is the
// median of its per-round ratios, so a busy neighbour slows every side of a ratio alike.
//
// usage: pavlox_p11_bench MODULE [--check]   (SOFTHSM2_CONF etc. as the module needs)
// Prints "name=value" lines; with --check exits 1 when the C++ path costs more than 1.2 raw.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>
#include "vantor/cli.h"

#include "classes/pkcs11_lib.h"
#include "oleaut/ustring.h"
#include "pkcs11/module.h"

namespace {

using Clock = std::chrono::steady_clock;
using vantor::ole::Bstr;
constexpr int kRounds = 9;

volatile size_t g_sink = 0;  // keeps the work from being optimized away
void keep(size_t value) {
    g_sink = g_sink + value;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// The direct client: the slot list, then each token's description with its texts trimmed into
// strings, as a program that shows them would.
bool rawRound(CK_FUNCTION_LIST_PTR f) {
    CK_SLOT_ID ids[256];
    CK_ULONG n = 256;
    if (f->C_GetSlotList(CK_FALSE, ids, &n) != CKR_OK) {
        return false;
    }
    for (CK_ULONG i = 0; i < n; ++i) {
        CK_TOKEN_INFO info;
        if (f->C_GetTokenInfo(ids[i], &info) != CKR_OK) {
            return false;
        }
        using vantor::pkcs11::TrimField;
        keep(TrimField(info.label).size() + TrimField(info.manufacturerID).size() +
             TrimField(info.model).size() + TrimField(info.serialNumber).size() + info.flags);
    }
    return true;
}

// The compiled client on the C++ interface, as the card manager uses it.
bool cppRound(pavlox::IPkcs11Lib* lib) {
    VARIANT present;
    VariantInit(&present);
    present.vt = VT_BOOL;
    present.boolVal = VARIANT_FALSE;
    vantor::ole::Variant slots;
    if (lib->get_SlotList(present, slots.get()) != S_OK) {
        return false;
    }
    pavlox::IVariantCollection* list = nullptr;
    slots->punkVal->QueryInterface(pavlox::IID_IVariantCollection, reinterpret_cast<void**>(&list));
    LONG count = 0;
    list->get_Count(&count);
    bool ok = true;
    for (LONG i = 1; i <= count && ok; ++i) {
        vantor::ole::Variant id, token;
        list->get_Item(i, id.get());
        ok = lib->get_TokenInfo(id->lVal, token.get()) == S_OK;
        if (!ok) {
            break;
        }
        pavlox::ITokenInfo* info = nullptr;
        token->pdispVal->QueryInterface(pavlox::IID_ITokenInfo, reinterpret_cast<void**>(&info));
        Bstr label, maker, model, serial;
        LONG flags = 0;
        info->get_Label(label.out());
        info->get_ManufacturerID(maker.out());
        info->get_Model(model.out());
        info->get_SerialNumber(serial.out());
        info->get_Flags(&flags);
        keep(SysStringLen(label.get()) + SysStringLen(maker.get()) + SysStringLen(model.get()) +
             SysStringLen(serial.get()) + flags);
        info->Release();
    }
    list->Release();
    return ok;
}

// A late-bound call as a script makes it: the name looked up, then Invoke.
HRESULT byName(IDispatch* object, const char16_t* name, WORD flags, VARIANT* arg, VARIANT* result) {
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    DISPID id = 0;
    HRESULT hr = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    if (FAILED(hr)) {
        return hr;
    }
    DISPPARAMS params{arg, nullptr, arg != nullptr ? 1u : 0u, 0};
    return object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result, nullptr,
                          nullptr);
}

bool dispatchRound(IDispatch* lib) {
    VARIANT present;
    VariantInit(&present);
    present.vt = VT_BOOL;
    present.boolVal = VARIANT_FALSE;
    vantor::ole::Variant slots, count;
    if (byName(lib, u"SlotList", DISPATCH_PROPERTYGET, &present, slots.get()) != S_OK) {
        return false;
    }
    IDispatch* list = nullptr;
    slots->punkVal->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&list));
    byName(list, u"Count", DISPATCH_PROPERTYGET, nullptr, count.get());
    bool ok = true;
    for (LONG i = 1; i <= count->lVal && ok; ++i) {
        vantor::ole::Variant index, id, token;
        index->vt = VT_I4;
        index->lVal = i;
        byName(list, u"Item", DISPATCH_PROPERTYGET, index.get(), id.get());
        ok = byName(lib, u"TokenInfo", DISPATCH_PROPERTYGET, id.get(), token.get()) == S_OK;
        if (!ok) {
            break;
        }
        for (const char16_t* name : {u"Label", u"ManufacturerID", u"Model", u"SerialNumber"}) {
            vantor::ole::Variant text;
            byName(token->pdispVal, name, DISPATCH_PROPERTYGET, nullptr, text.get());
            keep(SysStringLen(text->bstrVal));
        }
        vantor::ole::Variant flags;
        byName(token->pdispVal, u"Flags", DISPATCH_PROPERTYGET, nullptr, flags.get());
        keep(flags->lVal);
    }
    list->Release();
    return ok;
}

// Nanoseconds per round of body over `iterations` repetitions; negative when a call failed.
template <typename Body>
double timeRound(int iterations, Body body) {
    const auto start = Clock::now();
    for (int i = 0; i < iterations; ++i) {
        if (!body()) {
            return -1;
        }
    }
    return std::chrono::duration<double, std::nano>(Clock::now() - start).count() / iterations;
}

}  // namespace

// The text of --help.
static const char kHelp[] =
    "usage: pavlox_p11_bench MODULE [--check]\n"
    "Times slot and token listing through Pkcs11Lib against direct PKCS#11 calls on MODULE;\n"
    "--check fails when the C++ path costs more than 1.2 raw. --help, --version.\n";

int main(int argc, char** argv) {
    if (vantor::cli::HandleStandardOptions(argc, argv, "pavlox_p11_bench", kHelp)) {
        return 0;
    }
    for (int i = 1; i < argc; ++i) {
        if (argv[i][0] == '-' && std::strcmp(argv[i], "--check") != 0) {
            return vantor::cli::UsageError("pavlox_p11_bench",
                                           std::string("unknown option '") + argv[i] + "'", 2);
        }
    }
    if (argc < 2 || argc > 3 || (argc == 3 && std::strcmp(argv[2], "--check") != 0)) {
        return vantor::cli::UsageError(
            "pavlox_p11_bench",
            argc < 2 ? "give the PKCS#11 module to load"
                     : std::string("unknown argument '") + argv[argc - 1] + "'",
            2);
    }
    const bool check = argc > 2 && std::strcmp(argv[2], "--check") == 0;
    pavlox::CPkcs11Lib* lib = nullptr;
    if (FAILED(pavlox::createInternal(&lib))) {
        return 2;
    }
    Bstr path(vantor::ole::bstrFromUtf8(argv[1]));
    const HRESULT hr = lib->Load(path.get());
    if (hr != S_OK) {
        std::fprintf(stderr, "Load(%s) failed: 0x%08X\n", argv[1], static_cast<unsigned>(hr));
        lib->Release();
        return 2;
    }
    // The same module instance, bound a second time for the direct calls.
    vantor::pkcs11::Module raw(argv[1]);
    IDispatch* dispatch = nullptr;
    lib->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch));

    // Size a round to roughly 50 ms of direct calls.
    int iterations = 1;
    for (double ns = 0; iterations < (1 << 20);) {
        ns = timeRound(iterations, [&] { return rawRound(raw.functions()); });
        if (ns < 0) {
            std::fprintf(stderr, "direct calls failed\n");
            return 2;
        }
        if (ns * iterations > 5e7) {
            break;
        }
        iterations *= 2;
    }
    CK_ULONG slotCount = 0;
    raw->C_GetSlotList(CK_FALSE, nullptr, &slotCount);

    std::vector<double> raws, cpps, lates, cppRatios, lateRatios;
    for (int r = 0; r < kRounds; ++r) {
        const double a = timeRound(iterations, [&] { return rawRound(raw.functions()); });
        const double b = timeRound(iterations, [&] { return cppRound(lib); });
        const double c = timeRound(iterations, [&] { return dispatchRound(dispatch); });
        if (a <= 0 || b <= 0 || c <= 0) {
            std::fprintf(stderr, "a call failed in round %d\n", r);
            return 2;
        }
        raws.push_back(a);
        cpps.push_back(b);
        lates.push_back(c);
        cppRatios.push_back(b / a);
        lateRatios.push_back(c / a);
    }
    const double cppRatio = median(cppRatios);
    std::printf(
        "slots=%lu\niterations=%d\nraw_us=%.2f\ncpp_us=%.2f\ndispatch_us=%.2f\n"
        "cpp_ratio=%.3f\ndispatch_ratio=%.3f\n",
        static_cast<unsigned long>(slotCount), iterations, median(raws) / 1000, median(cpps) / 1000,
        median(lates) / 1000, cppRatio, median(lateRatios));
    dispatch->Release();
    lib->Release();
    if (check && cppRatio > 1.2) {
        std::fprintf(stderr, "the C++ path costs %.2fx the direct calls (limit 1.2x)\n", cppRatio);
        return 1;
    }
    return 0;
}
