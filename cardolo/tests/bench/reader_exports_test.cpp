// The reader-level exports of cardolo.so on the card bench: reader indexes and names, ATRs,
// file-system probes, the card serial, settings, connections, and faults a card can show.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "card_bench.h"
#include "cardolo_bench_fixture.h"

namespace cardolo::testing {
namespace {

using vantor::bench::Bytes;
using vantor::bench::CardBench;
using vantor::bench::CardBenchTest;
using vantor::bench::Exchange;
using vantor::bench::fromHex;
using vantor::bench::toHex;

using ReaderExports = CardoloBenchTest;

TEST_F(ReaderExports, ReaderIndexesOutsideTheListAreNotFound) {
    int32_t count = -5;
    ASSERT_EQ(api.GetReadersCount(&count), 0);
    ASSERT_GE(count, 2);  // the bench's vpcd entry gives two readers
    const int32_t past = count + 1;
    char buffer[64];
    int32_t length = sizeof(buffer);
    uint32_t atrLength = sizeof(buffer);
    int32_t type = -1;
    char serial[17];
    ReaderHandle* handle = nullptr;
    for (int32_t bad : {0, -1, past}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(api.GetReaderName(bad, buffer, &length), -2);
        EXPECT_EQ(api.GetATR(bad, buffer, &atrLength), -2);
        EXPECT_EQ(api.GetFSType(bad, &type), -2);
        EXPECT_EQ(api.GetSerial(bad, serial), -2);
        EXPECT_EQ(api.Connect(bad, &handle), -2);
    }
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(api.GetReadersCount(nullptr), -64);
}

TEST_F(ReaderExports, ReaderNamesAndTheirLengths) {
    const std::string expected = CardBench::readerName(0);
    const int32_t n = static_cast<int32_t>(expected.size());
    int32_t length = 0;
    EXPECT_EQ(api.GetReaderName(index(), nullptr, &length), 0);
    EXPECT_EQ(length, n);

    // Shorter than the name: cut, unterminated, nothing written past the stated length.
    char buffer[64];
    std::memset(buffer, '#', sizeof(buffer));
    length = 5;
    EXPECT_EQ(api.GetReaderName(index(), buffer, &length), 0);
    EXPECT_EQ(std::string(buffer, 6), expected.substr(0, 5) + "#");
    EXPECT_EQ(length, n);

    // Exactly the name's length: all characters, no terminator.
    std::memset(buffer, '#', sizeof(buffer));
    length = n;
    EXPECT_EQ(api.GetReaderName(index(), buffer, &length), 0);
    EXPECT_EQ(std::string(buffer, static_cast<size_t>(n)), expected);
    EXPECT_EQ(buffer[n], '#');

    // Room to spare: terminated.
    length = sizeof(buffer);
    EXPECT_EQ(api.GetReaderName(index(), buffer, &length), 0);
    EXPECT_STREQ(buffer, expected.c_str());
    EXPECT_EQ(api.GetReaderName(index(), buffer, nullptr), -64);

    // The multi-string holds the same names, and a short buffer is refused, not overrun.
    uint32_t listLength = 0;
    ASSERT_EQ(api.GetReadersList(nullptr, &listLength), 0);
    std::vector<char> list(listLength + 8, '#');
    uint32_t tooShort = 4;
    EXPECT_EQ(api.GetReadersList(list.data(), &tooShort), -2);
    EXPECT_EQ(list[0], '#');
    // The auto-allocating length would put a pointer the caller cannot free into its buffer.
    uint32_t autoAllocate = 0xFFFFFFFFu;
    EXPECT_EQ(api.GetReadersList(list.data(), &autoAllocate), -2);
    EXPECT_EQ(std::string(list.data(), 8), std::string(8, '#'));
    ASSERT_EQ(api.GetReadersList(list.data(), &listLength), 0);
    EXPECT_STREQ(list.data(), expected.c_str());
}

TEST_F(ReaderExports, AtrTextAndItsBufferCases) {
    char buffer[80];
    uint32_t length = sizeof(buffer);
    EXPECT_EQ(api.GetATR(index(), buffer, &length), -2) << "empty reader";

    insert("cns");
    const Bytes atr = vantor::bench::readerAtr(CardBench::readerName(0));
    ASSERT_FALSE(atr.empty());
    const uint32_t n = static_cast<uint32_t>(atr.size());
    std::string hex = toHex(atr);
    for (char& c : hex) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }

    length = n - 1;
    EXPECT_EQ(api.GetATR(index(), buffer, &length), -128);

    std::memset(buffer, '#', sizeof(buffer));
    length = n;  // enough bytes, not enough characters: success, size reported, nothing written
    EXPECT_EQ(api.GetATR(index(), buffer, &length), 0);
    EXPECT_EQ(length, 2 * n);
    EXPECT_EQ(buffer[0], '#');

    std::memset(buffer, '#', sizeof(buffer));
    length = 2 * n;
    EXPECT_EQ(api.GetATR(index(), buffer, &length), 0);
    EXPECT_EQ(std::string(buffer, 2 * n), hex);
    EXPECT_EQ(buffer[2 * n], '#') << "no terminator is written";

    length = 0;
    EXPECT_EQ(api.GetATR(index(), nullptr, &length), -128);
    length = 2 * n;
    EXPECT_EQ(api.GetATR(index(), nullptr, &length), 0);
    EXPECT_EQ(length, 2 * n);
    EXPECT_TRUE(commands().empty()) << "reading the ATR sends no APDU";
}

TEST(AtrCompare, MasksLengthsAndCase) {
    CardoloApi api;
    EXPECT_EQ(api.AtrCmp("3B02", "3BFF", "FF00"), 0);
    EXPECT_EQ(api.AtrCmp("3B02", "3BFF", "FFFF"), -1);
    EXPECT_EQ(api.AtrCmp("3b02", "3B02", "ffff"), 0);
    EXPECT_EQ(api.AtrCmp("3B02", "3B0200", "FFFF"), -1);
    EXPECT_EQ(api.AtrCmp("3B02", "3B02", "FF"), -1);
    EXPECT_EQ(api.AtrCmp("3B0", "3B", "FF"), 0) << "an odd digit is ignored";
    EXPECT_EQ(api.AtrCmp("", "", ""), 0);
    EXPECT_EQ(api.AtrCmp("3", "", "F"), 0) << "texts under two characters compare equal";
    EXPECT_EQ(api.AtrCmp("3BZZ", "3B00", "FF00"), -1) << "not hexadecimal";
    EXPECT_EQ(api.AtrCmp(nullptr, "3B", "FF"), -1);
    EXPECT_EQ(api.AtrCmp("3B8801564E", "3B8801564E", "FFFF00FFFF"), 0);
    EXPECT_EQ(api.AtrCmp("3B8801564E", "3B8802564F", "FFFF00FFFF"), -1);
    // Texts far longer than any ATR are not compared by a prefix: these differ in length.
    const std::string longA(2000, '0');
    const std::string longB(1500, '0');
    const std::string longMask(2000, 'F');
    EXPECT_EQ(api.AtrCmp(longA.c_str(), longB.c_str(), longMask.c_str()), -1);
}

struct FsCase {
    const char* scenario;
    int32_t type;
};

TEST_F(ReaderExports, FileSystemTypeOfEveryLayout) {
    const FsCase cases[] = {{"fs-type0", 0}, {"fs-type1", 1},  {"fs-type2", 2},
                            {"fs-type3", 3}, {"fs-type4", 4},  {"fs-type4-zero", 0},
                            {"fs-type5", 5}, {"fs-type32", 32}};
    for (const FsCase& c : cases) {
        SCOPED_TRACE(c.scenario);
        insert(c.scenario);
        int32_t type = -1;
        int32_t rc = api.GetFSType(index(), &type);
        EXPECT_EQ(type, c.type);
        EXPECT_TRUE(rc == 0 || rc == 0x6284 || rc > 0) << rc;
        ASSERT_TRUE(bench().removeCard(0));
    }
    int32_t type = -1;
    EXPECT_EQ(api.GetFSType(index(), &type), -2) << "empty reader";
    EXPECT_EQ(api.GetFSType(index(), nullptr), -64);
}

TEST_F(ReaderExports, ProbeSendsTheFixedSelections) {
    insert("cns");
    int32_t type = -1;
    EXPECT_EQ(api.GetFSType(index(), &type), 0);
    EXPECT_EQ(type, 2);
    const std::vector<std::string> expected = {"00A4000C023F00", "00A4000C021100",
                                               "00A4000C023F00", "00A4000C021400",
                                               "00A4000C023F00", "00A4000C021112"};
    EXPECT_EQ(commands(), expected);
}

TEST_F(ReaderExports, SerialFromTheIdentificationFile) {
    insert("cns");
    char serial[17];
    std::memset(serial, '#', sizeof(serial));
    ASSERT_EQ(api.GetSerial(index(), serial), 0);
    EXPECT_EQ(std::string(serial, 16), "1000000000000014");
    EXPECT_EQ(serial[16], '\0');
    const std::vector<std::string> expected = {"00A4000C023F00", "00A4090C021000", "00A4090C021003",
                                               "00B0000010"};
    EXPECT_EQ(commands(), expected);
    EXPECT_EQ(api.GetSerial(index(), nullptr), -64);
}

TEST_F(ReaderExports, SerialFromEf2F02AndTheStatusWhenThereIsNone) {
    insert("serial-2f02");
    char serial[17];
    ASSERT_EQ(api.GetSerial(index(), serial), 0);
    // Bytes 18..25 of EF 2F02 (offset 18 decimal), as 16 lowercase digits.
    EXPECT_STREQ(serial, "0123456789abcdef");
    const std::vector<std::string> expected = {"00A4000C023F00", "00A4090C021000", "00A4090C022F02",
                                               "00B0001208"};
    EXPECT_EQ(commands(), expected);
    ASSERT_TRUE(bench().removeCard(0));

    insert("fs-type0");  // neither DF 1000 nor EF 2F02
    std::memset(serial, '#', sizeof(serial));
    const int32_t rc = api.GetSerial(index(), serial);
    EXPECT_EQ(rc, 0x6A82) << "the selection's status word is returned";
    EXPECT_EQ(serial[16], '\0');
}

TEST_F(ReaderExports, ChangedSettingsChangeTheNextCommands) {
    insert("cns");
    ASSERT_EQ(api.ChangeSetting("SETTING_CNS_DF0", 0x1100), 0);
    ASSERT_EQ(api.ChangeSetting("SETTING_CNS_DF0_EF_ID_Carta", 0x1101), 0);
    char serial[17];
    const int32_t rc = api.GetSerial(index(), serial);
    api.ChangeSetting("SETTING_CNS_DF0", 0x1000);
    api.ChangeSetting("SETTING_CNS_DF0_EF_ID_Carta", 0x1003);
    ASSERT_EQ(rc, 0);
    const auto sent = commands();
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(sent[1], "00A4090C021100");
    EXPECT_EQ(sent[2], "00A4090C021101");
    EXPECT_EQ(std::string(serial, 8), std::string("\x01\x02\x03\x04\x05\x06\x07\x08", 8));

    // A name the library does not use is kept and changes nothing.
    EXPECT_EQ(api.ChangeSetting("SETTING_NOT_USED", 0x4242), 0);
    EXPECT_EQ(api.ChangeSetting(nullptr, 1), 0);
    ASSERT_EQ(api.GetSerial(index(), serial), 0);
    EXPECT_EQ(std::string(serial, 16), "1000000000000014");
}

TEST_F(ReaderExports, T0CardGetsOneGetResponseAfterSixOneZeroZero) {
    // This card answers 61 00 to every SELECT and READ BINARY.
    insert("cns-t0-getresponse");
    char serial[17];
    ASSERT_EQ(api.GetSerial(index(), serial), 0);
    EXPECT_EQ(std::string(serial, 16), "1000000000000045");
    const auto ex = bench().exchanges(0);
    ASSERT_EQ(ex.size(), 8u);
    for (std::size_t i = 0; i < ex.size(); i += 2) {
        EXPECT_EQ(toHex(ex[i].response), "6100");
        EXPECT_EQ(toHex(ex[i + 1].command),
                  "A0C0000000"
                  "00")
            << "one GET RESPONSE each";
    }
}

TEST_F(ReaderExports, SixFZeroZeroOnceIsReplayed) {
    insert("cns", {"--set", "fault once 00A4000C021100 6F00"});
    int32_t type = -1;
    EXPECT_EQ(api.GetFSType(index(), &type), 0);
    EXPECT_EQ(type, 2);
    const auto sent = commands();
    ASSERT_GE(sent.size(), 4u);
    EXPECT_EQ(sent[1], "00A4000C021100");
    EXPECT_EQ(sent[2], "00A4000C021100") << "replay";
    EXPECT_EQ(sent[3], "00A4000C021100") << "and the command again";
}

TEST_F(ReaderExports, HeldConnectionsAndStaleHandles) {
    insert("cns");
    ReaderHandle* handle = nullptr;
    ASSERT_EQ(api.Connect(index(), &handle), 0);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(api.Valid(handle), 0);
    ASSERT_TRUE(bench().removeCard(0));
    EXPECT_EQ(api.Valid(handle), -1) << "the card no longer answers";
    EXPECT_EQ(api.Disconnect(handle), 0);
    EXPECT_EQ(api.Disconnect(handle), 0) << "a second disconnect is harmless";
    EXPECT_EQ(api.Valid(handle), -1) << "a released handle is refused, not dereferenced";
    EXPECT_EQ(api.Valid(nullptr), -1);
    EXPECT_EQ(api.Disconnect(nullptr), 0);
    EXPECT_EQ(api.Connect(index(), &handle), -3) << "no card to connect";
    EXPECT_EQ(api.Connect(index(), nullptr), -64);
}

}  // namespace
}  // namespace cardolo::testing
