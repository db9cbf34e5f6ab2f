// The module's configuration file: where the SoftHSM2 tokens live and how each card's token is
// made.
#pragma once

#include "vantor/secure_bytes.h"

#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace cardtoken {

// A PIN or password kept in storage that is wiped when freed.
using Secret = vantor::SecureBytes;

// A configuration the module refuses, with the file and line it stopped at.
class ConfigError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// One object to load when a card's token is created.
struct ObjectSpec {
    enum class Kind { Pkcs12, Pem, Cert };
    Kind kind = Kind::Cert;
    std::vector<std::string> files;  // absolute: pkcs12 FILE | pem KEY CERT | cert FILE
    Secret password;                 // PKCS#12 or encrypted PEM key password
    std::string label;               // "" = the file's base name
    std::vector<unsigned char> id;   // empty = derived from the public key
};

// The settings of one card's token (a [card SERIAL] section or [default]).
struct TokenSpec {
    std::string label = "Vantor Bench Token";
    std::string model = "cardtoken";
    std::string manufacturer = "Vantor Bench";
    Secret soPin;
    Secret userPin;
    bool userPinInitialized = true;
    bool protectedPath = false;
    // With protectedPath: PINs not given are asked for through the PIN-dialog plug-in
    // (crvk2plg.so) instead of being taken from the configuration.
    bool pinDialog = false;
    std::vector<ObjectSpec> objects;
};

struct Config {
    std::string tokenDir;  // SoftHSM2 token directory (absolute)
    std::string softhsmModule = "/usr/lib/softhsm/libsofthsm2.so";
    TokenSpec defaults;
    std::map<std::string, TokenSpec> cards;  // by card serial

    // The settings for a card serial: its own section, else [default].
    const TokenSpec& forSerial(const std::string& serial) const;
};

// Parses configuration text; relative paths are taken from baseDir. Throws ConfigError naming
// the line and the cause.
Config parseConfig(const std::string& text, const std::string& baseDir);

// Reads and parses the file; throws ConfigError for an unreadable file too.
Config loadConfig(const std::string& path);

}  // namespace cardtoken
