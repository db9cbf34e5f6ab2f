// Card identification and the card model's state queries.
#include "smart_card.h"

#include <array>

#include "atr_table.h"
#include "cardolo_library.h"
#include "messages.h"
#include "results.h"
#include "runtime_error.h"

namespace tesmira {

namespace {

// The card library's text buffers for ATRs and reader names: 255 characters (and room for a
// terminator the library may add).
constexpr std::uint32_t kTextChars = 255;

}  // namespace

SmartCardCls::~SmartCardCls() {
    disconnect();
}

void SmartCardCls::disconnect() {
    if (handle_ != nullptr) {
        try {
            env_.cardolo.Disconnect(handle_);
        } catch (const RuntimeError&) {
            // Unreachable in practice: a handle exists only after the library was bound.
        }
        handle_ = nullptr;
    }
}

bool SmartCardCls::Valid() {
    return env_.cardolo.Valid(handle_) == 0;
}

bool SmartCardCls::SmartcardPresent() {
    std::array<char, kTextChars + 1> atr{};
    std::uint32_t length = kTextChars;
    return env_.cardolo.GetATR(slotId_, atr.data(), &length) == 0;
}

void SmartCardCls::Init(std::int32_t slot, std::int32_t* result) {
    slotId_ = slot;
    type_ = 0;

    std::array<char, kTextChars + 1> buffer{};
    std::uint32_t atrLength = kTextChars;
    if (const std::int32_t rc = env_.cardolo.GetATR(slot, buffer.data(), &atrLength); rc != 0) {
        *result = rc;
        return;
    }
    const std::string atr(buffer.data(), std::min<std::uint32_t>(atrLength, kTextChars));

    std::int32_t fsType = 0;
    if (const std::int32_t rc = env_.cardolo.GetFSType(slot, &fsType); rc != 0) {
        *result = rc;
        return;
    }
    type_ = DecideCardType(CardTypeForAtr(env_.atrTable, env_.cardolo, atr), fsType);

    buffer.fill(0);
    std::int32_t nameLength = kTextChars;
    if (const std::int32_t rc = env_.cardolo.GetReaderName(slot, buffer.data(), &nameLength);
        rc != 0) {
        *result = rc;
        return;
    }
    slotName_.assign(buffer.data(),
                     static_cast<std::size_t>(std::clamp<std::int32_t>(nameLength, 0, kTextChars)));

    // A model whose earlier identification failed after connecting still holds that
    // connection; it is given back before the new one replaces it.
    disconnect();
    if (const std::int32_t rc = env_.cardolo.Connect(slot, &handle_); rc != 0) {
        handle_ = nullptr;
        *result = rc;
        return;
    }

    try {
        p11_ = env_.pkcs11Libs.item(Pkcs11LibForAtr(env_.atrTable, env_.cardolo, atr));
        if (!p11_.TokenValid(slotId_)) {
            *result = kResultTokenNotValid;
            return;
        }
        shortInfos_ = LoadMessage(1040) + ": " + CardTypeName(type_) + "\r\n" + LoadMessage(1039) +
                      ": " + slotName_;
        caps_ = CapabilitiesFor(type_);
        *result = 0;
    } catch (const RuntimeError& e) {
        *result = e.number();
    }
}

bool SmartCardCls::TokenNeedsInitialization() {
    if (type_ != 2 && type_ != 3 && type_ != 8 && type_ != 32) {
        return false;
    }
    try {
        if (!p11_) {
            p11_ = Pkcs11Lib::Create();
        }
        constexpr std::int32_t kUserPinInitialized = 0x8;
        return (p11_.TokenFlags(slotId_) & kUserPinInitialized) == 0;
    } catch (const RuntimeError&) {
        return false;
    }
}

}  // namespace tesmira
