// Fuzz target: SAFEARRAY descriptors of any shape (dimensions, bounds anywhere in the LONG
// range, element sizes that may disagree with the element type, any feature flags) handed to the
// array conversions: array to bytes, attribute lists, P11Attribute.ValueRaw and ValueSafe,
// Util.ArrayToString and the platform's byte-vector to BSTR conversion.
//
// The cells themselves are always valid for whatever the descriptor claims they hold (null
// strings and references, VARIANTs of plain numbers): a client that hands over garbage pointers
// breaks the contract of every Automation call, and no conversion can guard against that. What
// must hold is that no descriptor makes a conversion read or write outside the block.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "classes/p11_attribute.h"
#include "classes/util.h"
#include "convert/array_bytes.h"
#include "convert/attribute_list.h"
#include "frame/object_root.h"

namespace {

// Reads the input front to back; past its end every read gives zero.
class Input {
  public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    uint32_t word() {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) {
            v = (v << 8) | byte();
        }
        return v;
    }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

constexpr VARTYPE kTypes[] = {VT_UI1,     VT_I1,       VT_I2,      VT_UI2,    VT_I4,   VT_UI4,
                              VT_INT,     VT_UINT,     VT_I8,      VT_UI8,    VT_R4,   VT_R8,
                              VT_CY,      VT_DATE,     VT_BOOL,    VT_ERROR,  VT_BSTR, VT_VARIANT,
                              VT_UNKNOWN, VT_DISPATCH, VT_DECIMAL, VT_RECORD, VT_EMPTY};
constexpr USHORT kFlags[] = {FADF_HAVEVARTYPE, FADF_BSTR,    FADF_UNKNOWN, FADF_DISPATCH,
                             FADF_VARIANT,     FADF_HAVEIID, FADF_RECORD,  FADF_FIXEDSIZE};
// Enough cells to reach every code path, few enough to keep each run small.
constexpr size_t kMaxCells = 64;

// A plain value (owning nothing) for a VARIANT cell.
void plainVariant(Input& in, VARIANT& v) {
    static constexpr VARTYPE kPlain[] = {VT_EMPTY, VT_UI1, VT_I2, VT_I4, VT_R8, VT_BOOL, VT_NULL};
    VariantInit(&v);
    v.vt = kPlain[in.byte() % (sizeof(kPlain) / sizeof(kPlain[0]))];
    v.llVal = static_cast<LONGLONG>(in.word());
    if (v.vt == VT_R8) {
        v.dblVal = static_cast<double>(static_cast<int32_t>(v.llVal)) / 4;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    const UINT dims = 1 + in.byte() % 3;
    SAFEARRAY* psa = nullptr;
    if (FAILED(SafeArrayAllocDescriptor(dims, &psa))) {
        return 0;
    }
    size_t cells = 1;
    for (UINT d = 0; d < dims; ++d) {
        psa->rgsabound[d].lLbound = static_cast<LONG>(in.word());
        psa->rgsabound[d].cElements = in.byte() % 9;
        cells *= psa->rgsabound[d].cElements;
    }
    if (cells > kMaxCells) {
        cells = 0;
        psa->rgsabound[0].cElements = 0;
    }

    // Element type and size: the type's own size or any size at all; flags at will.
    const VARTYPE vt = kTypes[in.byte() % (sizeof(kTypes) / sizeof(kTypes[0]))];
    ULONG natural = VantorVarTypeElementSize(vt);
    psa->cbElements = (in.byte() & 1) != 0 || natural == 0 ? in.byte() % 33 : natural;
    const uint8_t flagBits = in.byte();
    for (size_t i = 0; i < sizeof(kFlags) / sizeof(kFlags[0]); ++i) {
        if ((flagBits >> i) & 1) {
            psa->fFeatures |= kFlags[i];
        }
    }
    // The hidden tag before the descriptor, where a VARTYPE or an IID lives.
    DWORD tag = vt;
    std::memcpy(reinterpret_cast<BYTE*>(psa) - sizeof(DWORD), &tag, sizeof(tag));

    // The block: cells of cbElements bytes. Numbers come from the input only where no reader
    // can take a cell for a string, a reference or a VARIANT; such cells stay zero (null, empty)
    // or hold plain VARIANTs.
    const size_t bytes = cells * psa->cbElements;
    auto* block = static_cast<BYTE*>(std::calloc(bytes > 0 ? bytes : 1, 1));
    if (block == nullptr) {
        SafeArrayDestroyDescriptor(psa);
        return 0;
    }
    const bool pointers = (psa->fFeatures & (FADF_BSTR | FADF_UNKNOWN | FADF_DISPATCH |
                                             FADF_VARIANT | FADF_HAVEIID | FADF_RECORD)) != 0 ||
                          vt == VT_BSTR || vt == VT_UNKNOWN || vt == VT_DISPATCH ||
                          vt == VT_VARIANT || vt == VT_RECORD;
    if (!pointers) {
        for (size_t i = 0; i < bytes; ++i) {
            block[i] = in.byte();
        }
    } else if (psa->cbElements == sizeof(VARIANT) && pavlox::arrayElementType(*psa) == VT_VARIANT) {
        for (size_t i = 0; i < cells; ++i) {
            plainVariant(in, reinterpret_cast<VARIANT*>(block)[i]);
        }
    }
    psa->pvData = block;

    VARIANT value;
    VariantInit(&value);
    value.vt = static_cast<VARTYPE>(VT_ARRAY | (in.byte() & 1 ? vt : VT_UI1));
    value.parray = psa;

    size_t n = 0;
    if (pavlox::arrayByteCount(value, &n) && n != psa->rgsabound[0].cElements) {
        __builtin_trap();  // the count is the stored one, whatever the bounds say
    }
    pavlox::SecureBytes out;
    if (pavlox::arrayToBytes(value, out) && out.size() != n) {
        __builtin_trap();
    }
    pavlox::AttributeTemplate list;
    list.build(value);
    list.build(value, pavlox::ListElements::AttributesOnly);

    pavlox::CP11Attribute* attribute = nullptr;
    if (SUCCEEDED(pavlox::createInternal(&attribute))) {
        attribute->put_ValueRaw(value);
        attribute->put_ValueSafe(CKA_ID, value);
        attribute->Release();
    }
    pavlox::CUtil* util = nullptr;
    if (SUCCEEDED(pavlox::createInternal(&util))) {
        VARIANT hex;
        VariantInit(&hex);
        hex.vt = VT_BOOL;
        hex.boolVal = in.byte() & 1 ? VARIANT_TRUE : VARIANT_FALSE;
        VARIANT result;
        VariantInit(&result);
        util->ArrayToString(value, hex, &result);
        VariantClear(&result);
        util->Release();
    }
    VARIANT text;
    VariantInit(&text);
    if (SUCCEEDED(VariantChangeType(&text, &value, 0, VT_BSTR))) {
        VariantClear(&text);
    }

    // The block and descriptor are ours: the cells own nothing that needs releasing.
    std::free(block);
    psa->pvData = nullptr;
    psa->fFeatures = 0;
    SafeArrayDestroyDescriptor(psa);
    return 0;
}
