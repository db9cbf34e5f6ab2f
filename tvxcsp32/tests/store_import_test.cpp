// The certificate import through the provider's tool exports on the card bench: where each
// certificate goes and with which key provider information, the Card2WinStore command line and
// its message boxes, and the smart-logon marker with the lookup of reader-only container names.
// The stores are read back by certstore in another process, the token by pkcs11-tool.
#include "import_support.h"

#include <filesystem>
#include <fstream>

namespace tvxtest {
namespace {

const std::string kReader0 = vantor::bench::CardBench::readerName(0);
const std::string kQuietImport = "-q -p 1234 -s \"" + kReader0 + "\"";

TEST_F(ImportBench, KeyCertificatesGoToMyAndCaCertificatesByIssuer) {
    // token-cns: the holder's certificate with its key, and the self-signed bench CA.
    insert("token-cns", 0);
    ASSERT_EQ(runCard2WinStore(exports_, kQuietImport), 0u);
    auto my = storeEntries("MY");
    ASSERT_EQ(my.size(), 1u);
    EXPECT_NE(my[0].subject.find("CN=CNS Bench Holder"), std::string::npos) << my[0].subject;
    EXPECT_EQ(my[0].container, "%01@1000000000000201");
    EXPECT_EQ(my[0].provider, kProvider);
    EXPECT_EQ(my[0].keySpec, "2 (AT_SIGNATURE)");
    auto root = storeEntries("ROOT");
    ASSERT_EQ(root.size(), 1u);
    EXPECT_NE(findSubject(root, "Vantor Bench CA"), nullptr);
    EXPECT_EQ(root[0].container, "");
    EXPECT_TRUE(storeEntries("AddressBook").empty());

    // An intermediate CA (issued by the bench CA, no key) on the M4 token goes to AddressBook.
    ASSERT_TRUE(bench().removeCard(0));
    insert("token-m4", 0);
    const Bytes intermediate = issuedByBenchCa("Vantor Bench Sub CA", true);
    ASSERT_FALSE(intermediate.empty());
    const std::string slot = std::to_string(bench().readerIndex(0));
    auto write = pkcs11Tool({"--slot", slot, "--login", "--pin", "1234", "--write-object",
                             writeTemp("sub-ca.der", intermediate), "--type", "cert", "--id", "5C",
                             "--label", "Sub CA"});
    ASSERT_EQ(write.status, 0) << write.output;
    ASSERT_EQ(runCard2WinStore(exports_, kQuietImport), 0u);
    auto book = storeEntries("AddressBook");
    ASSERT_EQ(book.size(), 1u);
    EXPECT_NE(findSubject(book, "Vantor Bench Sub CA"), nullptr);
    EXPECT_EQ(book[0].container, "");
    my = storeEntries("MY");
    ASSERT_EQ(my.size(), 2u);
    const StoredCert* m4 = findSubject(my, "M4 Bench Holder");
    ASSERT_NE(m4, nullptr);
    EXPECT_EQ(m4->container, "%02@4d34000000000302");

    // Again: already there is no error, and nothing is doubled.
    ASSERT_EQ(runCard2WinStore(exports_, kQuietImport), 0u);
    EXPECT_EQ(storeEntries("MY").size(), 2u);
    EXPECT_EQ(storeEntries("AddressBook").size(), 1u);
    EXPECT_EQ(storeEntries("ROOT").size(), 1u);
    pkcs11Tool({"--slot", slot, "--login", "--pin", "1234", "--delete-object", "--type", "cert",
                "--id", "5C"});
}

TEST_F(ImportBench, ExportCertWithoutKeyRequirementBindsEveryCertificate) {
    insert("token-cns", 0);
    DialogDriver driver;
    driver.then(typePinAndOk("1234"));
    const DWORD ok = driver.run([&] { return DWORD(exports_.exportCert(FALSE)); });
    ASSERT_EQ(ok, DWORD(TRUE)) << std::hex << GetLastError();
    EXPECT_TRUE(driver.finished());
    const auto my = storeEntries("MY");
    ASSERT_EQ(my.size(), 2u);
    for (const StoredCert& entry : my) {
        SCOPED_TRACE(entry.subject);
        EXPECT_EQ(entry.provider, kProvider);
        // The CA certificate object has an empty CKA_ID: its name is the separator and serial.
        ASSERT_GE(entry.container.size(), 17u);
        EXPECT_EQ(entry.container.substr(entry.container.size() - 17), "@1000000000000201");
    }
    EXPECT_TRUE(storeEntries("ROOT").empty());

    // The PIN dialog cancelled: FALSE, and the stores stay as they are.
    clearStores();
    DialogDriver cancelling;
    cancelling.then(cancel());
    EXPECT_EQ(cancelling.run([&] { return DWORD(exports_.exportCert(TRUE)); }), DWORD(FALSE));
    EXPECT_TRUE(storeEntries("MY").empty());
}

// Each command line with its outcome, what lands in MY, and the one message box (or none).
TEST_F(ImportBench, CommandLinesDecideWhatIsImportedAndShown) {
    insert("token-cns", 0);
    struct Row {
        std::string line;
        DWORD lastError;
        std::size_t inMy;
        std::string box;  // "" when nothing may be shown
    };
    const Row rows[] = {
        {kQuietImport, 0, 1, ""},
        // Option names in either case; the quoted slot text keeps its blanks.
        {"  -P 1234   -S \"" + kReader0 + "\"", 0, 1,
         "The import of 2 certificates was successful."},
        // A quoted PIN loses its quotes.
        {"-q -p \"1234\" -s \"" + kReader0 + "\"", 0, 1, ""},
        {"-p 1234", kImportFailed, 0, "Import Error."},
        {"-s \"" + kReader0 + "\"", kImportFailed, 0, "Import Error."},
        {"-q -x " + kQuietImport, kImportFailed, 0, ""},
        {"-q -p 9999 -s \"" + kReader0 + "\"", kImportFailed, 0, ""},
        {"-q -p 1234 -s \"No Such Reader\"", kImportFailed, 0, ""},
        {"-p \"1234\" -s \"" + kReader0 + "\" junk", kImportFailed, 0, "Import Error."},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.line);
        clearStores();
        std::string shown;
        DialogDriver driver;
        if (!row.box.empty()) {
            driver.then(answerMessageBox(&shown));
        }
        EXPECT_EQ(driver.run([&] { return runCard2WinStore(exports_, row.line); }), row.lastError);
        EXPECT_EQ(storeEntries("MY").size(), row.inMy);
        EXPECT_EQ(shown, row.box);
        const std::vector<std::string> none;
        EXPECT_EQ(driver.messages(), row.box.empty() ? none : std::vector<std::string>{row.box});
        EXPECT_EQ(driver.dialogsSeen(), 0) << "no PIN dialog with -p and -s, nor without both";
    }
}

// The reader-only container name: the marker, else the registry value, else "SmartLogon".
TEST_F(ImportBench, SmartLogonMarkerNamesTheReaderOnlyContainer) {
    insert("token-fullp11", 0);
    const std::string readerOnly = "\\\\.\\" + kReader0;
    const std::string slot = std::to_string(bench().readerIndex(0));
    auto containerOf = [](const std::string& name) {
        Context ctx(name.c_str(), 0);
        return ctx.ok() ? ctx.text(PP_CONTAINER).value_or("?") : "acquire failed";
    };
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE,
                            "SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider\\"
                            "Vantor Cryptographic Service Provider",
                            0, KEY_ALL_ACCESS, &key),
              ERROR_SUCCESS);
    auto setName = [key](DWORD type, const std::string& bytes) {
        RegSetValueExA(key, "SmartLogonContainerName", 0, type,
                       reinterpret_cast<const BYTE*>(bytes.data()),
                       static_cast<DWORD>(bytes.size()));
    };
    struct Setting {
        std::optional<std::pair<DWORD, std::string>> value;
        std::string expected;
    };
    const Setting settings[] = {
        {std::nullopt, "SmartLogon"},
        {std::make_pair(DWORD(REG_SZ), std::string("%03\0", 4)), "%03"},
        {std::make_pair(DWORD(REG_EXPAND_SZ), std::string("Logon\0", 6)), "Logon"},
        {std::make_pair(DWORD(REG_SZ), std::string("\0", 1)), "SmartLogon"},
        {std::make_pair(DWORD(REG_BINARY), std::string("%03\0", 4)), "SmartLogon"},
        {std::make_pair(DWORD(REG_SZ), std::string(1023, 'A') + '\0'), std::string(1023, 'A')},
        {std::make_pair(DWORD(REG_SZ), std::string(1024, 'A') + '\0'), "SmartLogon"},
    };
    for (const Setting& setting : settings) {
        SCOPED_TRACE(setting.expected);
        RegDeleteValueA(key, "SmartLogonContainerName");
        if (setting.value) {
            setName(setting.value->first, setting.value->second);
        }
        EXPECT_EQ(containerOf(readerOnly), setting.expected);
        EXPECT_EQ(containerOf(readerOnly + "\\"), setting.expected);
    }
    setName(REG_SZ, std::string("Logon\0", 6));

    // The marker, written twice through the key parameter, for two containers: one object
    // remains, with the second label, and it wins over the registry value.
    {
        Context newKey((readerOnly + "\\%7B").c_str(), CRYPT_NEWKEYSET);
        ASSERT_TRUE(newKey.ok());
        ASSERT_EQ(newKey.setPin("1234"), 0u);
        HCRYPTKEY generated = 0;
        ASSERT_TRUE(CryptGenKey(newKey.get(), AT_KEYEXCHANGE, 0, &generated))
            << std::hex << GetLastError();
        CryptDestroyKey(generated);
    }
    for (const char* container : {"%03", "%7B"}) {
        Context ctx((readerOnly + "\\" + container).c_str(), 0);
        ASSERT_TRUE(ctx.ok());
        ASSERT_EQ(ctx.setPin("1234"), 0u);
        HCRYPTKEY card = 0;
        ASSERT_TRUE(CryptGetUserKey(ctx.get(), AT_KEYEXCHANGE, &card));
        ASSERT_TRUE(CryptSetKeyParam(card, KP_SMARTLOGON, nullptr, 0))
            << std::hex << GetLastError();
    }
    EXPECT_EQ(objectsLabelled(bench().readerIndex(0), "CSPSmartLogon", "data"), 1);
    const std::string file = ProviderBench::keysDir() + "/marker.bin";
    const auto read = pkcs11Tool({"--slot", slot, "--read-object", "--type", "data", "--label",
                                  "CSPSmartLogon", "--output-file", file});
    std::ifstream in(file, std::ios::binary);
    const std::string value((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(value, "%7B") << read.output;
    EXPECT_EQ(containerOf(readerOnly), "%7B");

    // Without a token in the reader the name stays empty and the context says why.
    RegDeleteValueA(key, "SmartLogonContainerName");
    RegCloseKey(key);
    ASSERT_TRUE(bench().removeCard(0));
    Context empty(readerOnly.c_str(), 0);
    ASSERT_TRUE(empty.ok());
    EXPECT_EQ(empty.text(PP_CONTAINER).value_or("?"), "");
    EXPECT_NE(empty.lastCardError(), 0u);
}

}  // namespace
}  // namespace tvxtest
