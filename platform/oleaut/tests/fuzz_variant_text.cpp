// Fuzz target: text of any shape converted to every type the conversions read text into, and
// read as GUID text.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "win/objbase.h"
#include "win/oleauto.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    VARIANT src;
    VariantInit(&src);
    src.vt = VT_BSTR;
    src.bstrVal = SysAllocStringByteLen(reinterpret_cast<const char*>(data),
                                        static_cast<UINT>(size & ~size_t{1}));
    if (src.bstrVal == nullptr) {
        return 0;
    }
    static const VARTYPE targets[] = {VT_I1,   VT_UI1,           VT_I2, VT_UI2, VT_I4, VT_UI4,
                                      VT_I8,   VT_UI8,           VT_R4, VT_R8,  VT_CY, VT_DATE,
                                      VT_BOOL, VT_ARRAY | VT_UI1};
    for (VARTYPE vt : targets) {
        VARIANT out;
        VariantInit(&out);
        if (SUCCEEDED(VariantChangeType(&out, &src, 0, vt))) {
            // Whatever was read must convert back to text.
            VARIANT text;
            VariantInit(&text);
            VariantChangeType(&text, &out, VARIANT_ALPHABOOL, VT_BSTR);
            VariantClear(&text);
        }
        VariantClear(&out);
    }
    // The same bytes as GUID text, as registry values hold class and library ids.
    IID iid{};
    IIDFromString(src.bstrVal, &iid);
    VariantClear(&src);
    return 0;
}
