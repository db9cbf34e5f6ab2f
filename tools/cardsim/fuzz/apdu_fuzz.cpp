// Fuzz target: command APDUs from the host into the virtual card. The input is a sequence of
// length-prefixed APDUs (1 length byte each), played on a CNS card with every fault kind armed.
#include "card.h"
#include "secure_messaging.h"

#include <cstddef>
#include <cstdint>

namespace {

const char* kScenario = R"(
atr 3B 02 14 50
df 1000
ef 1000/1003 text 1000000000000014
df 1400
ef 1400/0001 size 300
pin MF 10 12345678 puk 11
pin MF 11 87654321
pin 1400 1A 1234 puk 1B store raw
pin 1400 1B 44332211
pin 1400 01 1234 puk 1B unblock block16
key 1400 1C 0102030405060708
require-sm 1400 2C
fault t0-getresponse 00B0
fault once 0020 6F00
)";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const cardsim::Bytes kKey(24, 0x11);
    static const cardsim::Bytes kChallenge(8, 0x22);
    cardsim::Card card(cardsim::parseScenario(kScenario));
    card.powerOn();
    std::size_t pos = 0;
    while (pos < size) {
        const std::size_t n = data[pos++];
        const std::size_t take = n < size - pos ? n : size - pos;
        const std::span<const std::uint8_t> apdu(data + pos, take);
        pos += take;
        if (!apdu.empty() && apdu[0] == 0xFF) {
            card.reset();
            continue;
        }
        card.transmit(apdu);
        cardsim::unwrapCommand(kKey, kChallenge, apdu);
    }
    return 0;
}
