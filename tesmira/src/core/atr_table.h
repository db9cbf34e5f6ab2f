// The ATR table that drives card typing: known ATRs with their mask, PKCS#11 library and type.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tesmira {

class SettingsStore;

struct atrItem {
    std::string atr;            // as the card library's ATR comparison takes it
    std::string atrMask;        // same length as atr
    std::string p11;            // PKCS#11 library file name for cards of this ATR
    std::int16_t CardType = 0;  // registry card type
    std::string CardName;       // kept, not displayed
};

// Entries in the order they were added, keyed by their ATR text. Keys compare without regard to
// letter case, as the installation's table has always been keyed, so "3b..." and "3B..." are one
// ATR.
class AtrTable final {
  public:
    // False (and nothing added) when an entry with the same ATR is already there.
    bool add(atrItem item);
    const atrItem* find(std::string_view atr) const;
    const std::vector<atrItem>& items() const { return items_; }
    std::size_t size() const { return items_.size(); }
    bool empty() const { return items_.empty(); }

  private:
    std::vector<atrItem> items_;
};

// A card type as the table stores it: decimal text of a 16-bit integer, blanks around it
// allowed, a fraction rounded half to even; nothing for anything else (empty, not a number,
// out of range).
std::optional<std::int16_t> ParseCardType(std::string_view text);

// Reads the table from section "ATRs": "list" holds one character per entry, and each character
// k prefixes that entry's values k-atr, k-atrMask, k-P11, k-name and k-type. An entry is kept
// when library, ATR and mask are all set and ATR and mask have the same length; an entry with a
// type that is not a number or an ATR already in the table is dropped, and reading goes on.
AtrTable LoadAtrTable(const SettingsStore& settings);

}  // namespace tesmira
