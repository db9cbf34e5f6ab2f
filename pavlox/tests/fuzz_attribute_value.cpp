// Fuzz target: any bytes a module may hand back, read through every type class as a VARIANT and
// as text, and what reads back stored again.
#include <cstddef>
#include <cstdint>

#include "convert/attribute_value.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using pavlox::AttributeClass;
    const std::span<const uint8_t> value(data, size);
    for (AttributeClass cls : {AttributeClass::Number, AttributeClass::Boolean,
                               AttributeClass::Text, AttributeClass::Date, AttributeClass::Bytes}) {
        VARIANT typed;
        VariantInit(&typed);
        if (SUCCEEDED(pavlox::typedValue(cls, value, &typed)) && typed.vt != VT_EMPTY) {
            // A value that reads must store again in the same class.
            pavlox::SecureBytes stored;
            if (FAILED(pavlox::storedForm(cls, typed, stored))) {
                __builtin_trap();
            }
        }
        VariantClear(&typed);
        BSTR text = nullptr;
        if (SUCCEEDED(pavlox::typedText(cls, value, &text))) {
            SysFreeString(text);
        }
    }
    return 0;
}
