// The fixture of the cardolo bench tests: the exports bound from cardolo.so, and a card in
// reader 0 with its APDU log.
#pragma once

#include <string>
#include <vector>

#include "card_bench.h"
#include "cardolo_api.h"

namespace cardolo::testing {

class CardoloBenchTest : public vantor::bench::CardBenchTest {
  protected:
    CardoloApi api;

    void insert(const std::string& scenario, const std::vector<std::string>& extra = {}) {
        std::string error;
        ASSERT_TRUE(bench().insertCard(scenario, 0, extra, &error)) << error;
    }
    int index() { return bench().readerIndex(0); }
    // The commands the card received, protected ones in their deciphered form.
    std::vector<std::string> commands() {
        std::vector<std::string> out;
        for (const vantor::bench::Exchange& e : bench().exchanges(0)) {
            out.push_back(vantor::bench::toHex(e.plain ? *e.plain : e.command));
        }
        return out;
    }
};

}  // namespace cardolo::testing
