// Container names as applications and the certificate stores write them: reader-qualified forms,
// the split at the last separator, and percent escaping both ways; the reader watch's comparison.
#include "container_name.h"
#include "reader_watch.h"

#include <gtest/gtest.h>

namespace tvx {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct ArgumentCase {
    const char* input;
    bool readerQualified;
    bool smartLogon;
    std::optional<std::string> reader;
    std::optional<std::string> container;
};

class ContainerArgumentTest : public ::testing::TestWithParam<ArgumentCase> {};

TEST_P(ContainerArgumentTest, Parses) {
    const ArgumentCase& c = GetParam();
    const ContainerArgument arg = parseContainerArgument(c.input);
    EXPECT_EQ(arg.readerQualified, c.readerQualified);
    EXPECT_EQ(arg.needsSmartLogonLookup, c.smartLogon);
    EXPECT_EQ(arg.reader, c.reader);
    EXPECT_EQ(arg.containerName, c.container);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, ContainerArgumentTest,
    ::testing::Values(
        ArgumentCase{"\\\\.\\Reader 1\\abc%01@1234", true, false, "Reader 1", "abc%01@1234"},
        ArgumentCase{"\\\\.\\Reader 1", true, true, "Reader 1", std::nullopt},
        ArgumentCase{"\\\\.\\Reader 1\\", true, true, "Reader 1", std::nullopt},
        // Only the first '\' behind the reader separates; the rest belongs to the container.
        ArgumentCase{"\\\\.\\R\\a\\b", true, false, "R", "a\\b"},
        ArgumentCase{"\\\\.\\", true, true, "", std::nullopt},
        ArgumentCase{"\\\\.Reader", false, false, std::nullopt, "\\\\.Reader"},
        ArgumentCase{"abc@1234", false, false, std::nullopt, "abc@1234"},
        ArgumentCase{"", false, false, std::nullopt, ""}));

TEST(ContainerArgument, NullHasNoName) {
    const ContainerArgument arg = parseContainerArgument(nullptr);
    EXPECT_FALSE(arg.containerName);
    EXPECT_FALSE(arg.reader);
}

TEST(ContainerName, SplitsAtTheLastSeparator) {
    struct Case {
        const char* name;
        std::string label;
        std::optional<std::string> serial;
    };
    for (const Case& c : {Case{"abc%01@1234", "abc%01", "1234"}, Case{"a@b@1234", "a@b", "1234"},
                          Case{"label", "label", std::nullopt}, Case{"label@", "label", ""},
                          Case{"@1234", "", "1234"}}) {
        const SplitName split = splitContainerName(c.name);
        EXPECT_EQ(split.label, c.label) << c.name;
        EXPECT_EQ(split.serial, c.serial) << c.name;
    }
}

TEST(ContainerName, DecodesPercentEscapes) {
    struct Case {
        const char* label;
        Bytes bytes;
    };
    for (const Case& c : {
             Case{"abc%01", {0x61, 0x62, 0x63, 0x01}},
             Case{"%ff%0A", {0xFF, 0x0A}},
             Case{"%zz", {'%', 'z', 'z'}},  // not followed by two hex digits: kept
             Case{"%4", {'%', '4'}},        // cut short at the end: kept
             Case{"%", {'%'}},
             Case{"%%41", {'%', 'A'}},
             Case{"", {}},
         }) {
        EXPECT_EQ(percentDecode(c.label), c.bytes) << c.label;
    }
}

TEST(ContainerName, EncodesWhatIsNotPrintable) {
    EXPECT_EQ(percentEncode({0x61, 0x62, 0x63, 0x01}), "abc%01");
    EXPECT_EQ(percentEncode({'%', 0x1F, 0x20, 0x7E, 0x7F, 0xA5}), "%25%1F ~%7F%A5");
    Bytes all;
    for (int b = 0; b < 256; ++b) {
        all.push_back(static_cast<std::uint8_t>(b));
    }
    EXPECT_EQ(percentDecode(percentEncode(all)), all);
    EXPECT_EQ(makeContainerName({0x01, 0xA5}, "1000000000000201"), "%01%A5@1000000000000201");
    EXPECT_EQ(makeContainerName({0x01}, "12              "), "%01@12");
    EXPECT_EQ(makeContainerName({0x01}, "                "), "%01");
}

TEST(ReaderWatch, ReportsOnlyRealChanges) {
    ReaderWatch watch;  // a fresh one: nothing remembered
    struct Step {
        bool listed;
        std::string readers;
        bool changed;
    };
    const std::string one("Reader A\0\0", 10);
    const std::string two("Reader A\0Reader B\0\0", 19);
    const std::string sameLength("Reader C\0\0", 10);
    for (const Step& s : {Step{true, "", false},  // no readers: nothing remembered
                          Step{true, one, true},  // first list: a change
                          Step{true, one, false}, Step{false, "", false},  // listing error
                          Step{true, two, true}, Step{true, sameLength, true},
                          Step{true, "", false}, Step{true, sameLength, false}}) {
        EXPECT_EQ(watch.compareAndRemember(s.listed, s.readers), s.changed)
            << "readers of " << s.readers.size() << " bytes";
    }
}

}  // namespace
}  // namespace tvx
