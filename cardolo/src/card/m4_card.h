// M4Card: the card family of the CNS and signature applications: its own selection (P1 09 below
// the MF), its raw transport with bounded retries and GET RESPONSE, the PIN and key commands, and
// secure messaging for chosen instructions.
#pragma once

#include <array>
#include <initializer_list>
#include <optional>
#include <set>
#include <span>
#include <vector>

#include "card/card_base.h"

namespace cardolo {

class M4Card : public CardBase {
  public:
    using CardBase::CardBase;
    ~M4Card() override;

    // Overrides of the CardBase operations.
    // M4 transport: the protected transmit (secure messaging when switched on for the INS).
    CardResult transmit(std::span<const std::uint8_t> command, CardAnswer& answer) override;
    const char* name() const override { return "M4"; }

    // Operations of the family, in their order.
    CardResult selectWithFci(std::uint16_t fid, std::uint16_t* size,
                             FileKind kind = FileKind::Auto);
    CardResult selectPathM4(std::span<const std::uint16_t> path) { return selectPath(path); }
    // VERIFY 00 20 00 (reference OR 80) Lc value.
    CardResult verify(std::uint8_t reference, std::span<const std::uint8_t> value);
    // GET CHALLENGE of max(8, inputLength) bytes, then EXTERNAL AUTHENTICATE 00 82 00 (ref OR 80)
    // with the retail MAC of the challenge under the 8-, 16- or 24-byte key.
    CardResult externalAuthenticate(std::uint8_t keyReference, std::span<const std::uint8_t> key,
                                    std::size_t inputLength);
    // CHANGE REFERENCE DATA 00 24 P1 P2 Lc [old] new; P1 01 without an old value, 00 with one.
    CardResult changeReferenceData(std::uint8_t p2,
                                   std::optional<std::span<const std::uint8_t>> oldValue,
                                   std::span<const std::uint8_t> newValue);
    CardResult connect(SCARDCONTEXT context, const std::string& reader);
    CardResult disconnect();
    CardResult protectedTransmit(std::span<const std::uint8_t> command, CardAnswer& answer);
    CardResult rawTransmit(std::span<const std::uint8_t> command, CardAnswer& answer,
                           std::size_t capacity = kReceiveCapacity);
    CardResult secureMessagingWrap(std::span<const std::uint8_t> command, CardAnswer& answer);
    // On: keys (24 bytes each; null leaves a stored key as it is) and the instructions to protect
    // (empty = every command). Off: both keys and the list are wiped.
    void setSecureMessaging(bool on, const std::uint8_t* macKey, const std::uint8_t* encKey,
                            std::span<const std::uint8_t> instructions);
    // GET CHALLENGE 00 84 00 00 00 n; the answer must be exactly n bytes and 9000.
    CardResult getChallenge(std::uint8_t n, SecureBytes& challenge);
    // 80 86 00 00 08 followed by the 8 host random bytes.
    CardResult sendHostRandom(std::span<const std::uint8_t, 8> random);
    // PUT DATA 00 DA 01 6E Lc data: the access data of a PIN object.
    CardResult putDataPinAccess(std::span<const std::uint8_t> data);

    // A PIN-management command (RESET RETRY COUNTER, deactivate, activate, ...) sent through
    // the protected transmit once the card is back on the remembered path.
    CardResult pinCommand(std::initializer_list<std::uint8_t> header,
                          std::span<const std::uint8_t> data);
    void wipeSecrets() override;

    bool secureMessagingOn() const { return smOn_; }
    bool isAuthenticated(std::uint8_t keyReference) const {
        return authenticated_.count(keyReference) != 0;
    }
    std::vector<std::span<const std::uint8_t>> ownedBuffers() const override;

    static constexpr std::size_t kReceiveCapacity = 256;
    static constexpr int kMaxRawAttempts = 10;  // the first try and up to 9 repeats

  protected:
    // M4 selection: P1 00 for the MF, 09 (path from the current DF) for any other identifier.
    std::uint8_t selectP1(std::uint16_t fid) const override { return fid == 0x3F00 ? 0x00 : 0x09; }
    // Before a PIN or key command: put the card back on the remembered path if a reset lost it.
    CardResult ensurePathCurrent();

  private:
    bool smOn_ = false;
    std::array<std::uint8_t, 24> macKey_{};
    std::array<std::uint8_t, 24> encKey_{};
    std::vector<std::uint8_t> protectedIns_;
    std::set<std::uint8_t> authenticated_;
};

// Corvo34v2Card: the CNS card with the digital-signature application; an M4 in every respect.
class Corvo34v2Card : public M4Card {
  public:
    using M4Card::M4Card;
    const char* name() const override { return "Corvo34v2"; }
};

}  // namespace cardolo
