// PCSC_GetFSType: probes the card's file system with selections and reports its layout type.
#include "card/result_codes.h"
#include "ops/reader_ops.h"
#include "scope/reader_scope.h"
#include "settings/settings_table.h"

namespace cardolo {

namespace {

constexpr std::int32_t kTypeNone = 0;
constexpr std::int32_t kTypeCns = 1;
constexpr std::int32_t kTypeCnsWithSignature = 2;
constexpr std::int32_t kTypeSignatureOnly = 3;
constexpr std::int32_t kType2FFF = 4;
constexpr std::int32_t kType1111 = 5;
constexpr std::int32_t kTypeWith1112 = 32;

// Step 6 of the probe: a card that also carries DF 1112 with EF EF01.
void probe1112(CardBase& card, std::int32_t* type) {
    card.selectFile(0x3F00, FileKind::Df);
    if (selectionFound(card.selectFile(0x1112, FileKind::Df)) &&
        selectionFound(card.selectFile(0xEF01, FileKind::Ef))) {
        *type = kTypeWith1112;
    }
}

}  // namespace

std::int32_t fileSystemType(std::int32_t index, std::int32_t* type) {
    if (index < 1) {
        return kErrNoReader;
    }
    if (type == nullptr) {
        return kErrNothingToDo;
    }
    const SettingsTable& settings = SettingsTable::instance();
    ReaderScope scope;
    if (std::int32_t r = scope.open(index, CardFamily::Setec, kErrNoReader); r != kOk) {
        return r;
    }
    CardBase& card = scope.card();
    if (!selectionFound(scope.selectMf())) {
        return kErrNoReader;
    }
    const bool df1 = selectionFound(card.selectFile(settings.fileId(kSettingDf1), FileKind::Df));
    *type = df1 ? kTypeCns : kTypeNone;

    CardResult last = 0;
    if (df1) {
        card.selectFile(0x3F00, FileKind::Df);
        last = card.selectFile(settings.fileId(kSettingDsDfRoot), FileKind::Df);
        if (selectionFound(last)) {
            *type = kTypeCnsWithSignature;
        }
        probe1112(card, type);
        return last;
    }
    last = card.selectFile(settings.fileId(kSettingDsDf), FileKind::Df);
    if (selectionFound(last)) {
        *type = kTypeSignatureOnly;
        probe1112(card, type);
        return last;
    }
    // Neither CNS layout: a 2FFF card tells its kind by the first byte of EF 0000.
    bool probed = false;
    last = card.selectFile(0x2FFF, FileKind::Df);
    if (selectionFound(last)) {
        last = card.selectFile(0x0000, FileKind::Ef);
        if (selectionFound(last)) {
            std::uint8_t head[2] = {0, 0};
            std::size_t read = 0;
            last = card.readBinary(0, head, &read);
            if (last == 0 && read >= 1) {
                *type = head[0] != 0 ? kType2FFF : kTypeNone;
                probed = true;
            } else if (last == 0) {
                last = kSwWrongLength;  // an empty EF 0000 tells nothing
            }
        }
    }
    if (!probed) {
        card.selectFile(0x0000, FileKind::Df);
        last = card.selectFile(0x1111, FileKind::Df);
        if (selectionFound(last)) {
            *type = kType1111;
        }
    }
    return last;
}

}  // namespace cardolo
