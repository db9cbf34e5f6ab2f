// CNS_GetSerial and the serial check that the PIN operations make before touching a card.
#include <algorithm>
#include <cstring>

#include "card/result_codes.h"
#include "ops/hex.h"
#include "ops/reader_ops.h"
#include "scope/reader_scope.h"
#include "settings/settings_table.h"

namespace cardolo {

namespace {

constexpr std::size_t kSerialLength = 16;
constexpr std::uint16_t kEfSerialAlt = 0x2F02;
constexpr std::uint16_t kAltSerialOffset = 18;
constexpr std::size_t kAltSerialBytes = 8;

}  // namespace

std::int32_t readSerial(std::int32_t index, char* out) {
    if (out == nullptr) {
        return kErrNothingToDo;
    }
    if (index < 1) {
        return kErrNoReader;
    }
    const SettingsTable& settings = SettingsTable::instance();
    ReaderScope scope;
    if (std::int32_t r = scope.open(index, CardFamily::Corvo34v2, kErrConnect); r != kOk) {
        return r;
    }
    M4Card& card = scope.m4();
    if (!selectionFound(scope.selectMf())) {
        return kErrSelectMf;
    }
    if (selectionFound(card.selectFile(settings.fileId(kSettingDf0), FileKind::Df))) {
        if (!selectionFound(card.selectFile(settings.fileId(kSettingDf0EfIdCarta), FileKind::Ef))) {
            return kErrSelectMf;
        }
        std::uint8_t serial[kSerialLength];
        std::size_t read = 0;
        if (card.readBinary(0, serial, &read) != 0 || read != kSerialLength) {
            return kErrSerialRead;
        }
        std::memcpy(out, serial, kSerialLength);
        out[kSerialLength] = '\0';
        return kOk;
    }
    // No identification DF: the serial is eight bytes of EF 2F02 below the MF, written as hex.
    CardResult r = card.selectFile(kEfSerialAlt, FileKind::Ef);
    if (!selectionFound(r)) {
        out[kSerialLength] = '\0';
        return r;
    }
    std::uint8_t bytes[kAltSerialBytes];
    std::fill(std::begin(bytes), std::end(bytes), static_cast<std::uint8_t>(' '));
    std::size_t read = 0;
    if (card.readBinary(kAltSerialOffset, bytes, &read) != 0 || read != kAltSerialBytes) {
        return kErrSerialRead;
    }
    writeHexLower(bytes, out);
    out[kSerialLength] = '\0';
    return kOk;
}

std::int32_t checkSerial(std::int32_t index, const std::uint8_t* expected) {
    char actual[kSerialLength + 1] = {};
    if (std::int32_t r = readSerial(index, actual); r != kOk) {
        return r;
    }
    return std::memcmp(actual, expected, kSerialLength) == 0 ? kOk : kErrSerialMismatch;
}

}  // namespace cardolo
