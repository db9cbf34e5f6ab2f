// The PIN and PUK operations behind the flat exports: verify, change and unblock the card-holder
// and signature PINs and PUKs of a CNS card, deactivate and reactivate the signature PIN, the PIN
// length limits, and the unblock commands of the M4 and Starcos families.
#pragma once

#include <cstdint>

namespace cardolo {

// A value and its length as the caller passed them; given when both are non-zero.
struct PinArg {
    const std::uint8_t* data = nullptr;
    std::int32_t length = 0;

    bool given() const { return data != nullptr && length != 0; }
    // Negative lengths count as too long: they cannot be a PIN and must never reach a copy.
    bool tooLong() const { return given() && (length < 0 || length > 8); }
};

// The signature-PIN key arguments: the 24-byte key (null: the built-in one) and the flag that
// switches secure messaging (or, for the deactivation, card authentication) on.
struct KeyArg {
    const std::uint8_t* key = nullptr;
    std::int32_t flag = 0;
};

std::int32_t verifyPinPuk(std::int32_t index, const std::uint8_t* serial, PinArg pin, PinArg puk,
                          PinArg dsPin, PinArg dsPuk, KeyArg key);

struct PinChange {
    PinArg oldValue;
    PinArg newValue;
    bool complete() const { return oldValue.given() && newValue.given(); }
};

std::int32_t changePinPuk(std::int32_t index, const std::uint8_t* serial, PinChange pin,
                          PinChange puk, PinChange dsPin, PinChange dsPuk, KeyArg key);

std::int32_t unblockPin(std::int32_t index, const std::uint8_t* serial, PinArg puk, PinArg newPin,
                        PinArg dsPuk, PinArg newDsPin, KeyArg key);

// Writes the fixed limits through the non-null pointers (PIN min/max, PUK min/max, signature PIN
// min/max, signature PUK min/max).
std::int32_t pinLimits(std::int32_t index, const std::uint8_t* serial, std::int32_t* const out[8]);

std::int32_t deactivatePin(std::int32_t index, const std::uint8_t* serial, KeyArg key);

std::int32_t reactivatePin(std::int32_t index, const std::uint8_t* serial, PinArg dsPuk,
                           PinArg newDsPin, KeyArg key);

std::int32_t unblockM4(std::int32_t index, const char* puk, const char* newPin);
std::int32_t unblockStarcos(std::int32_t index, const char* puk, const char* newPin);

// The built-in default key for card authentication and secure messaging.
const std::uint8_t* defaultKey();

}  // namespace cardolo
