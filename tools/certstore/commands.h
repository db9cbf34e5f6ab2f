// The certstore verbs, each returning the program's exit code.
#pragma once

#include <string>
#include <vector>

namespace certstore {

struct Options {
    bool machine = false;
    std::string page = "general";  // view: general, details, path
    std::string container;         // add: key provider information to attach
    std::string provider = "Vantor Cryptographic Service Provider";
    unsigned keySpec = 2;
};

int list(const std::string& store, const Options& o);
int show(const std::string& store, const std::string& which, const Options& o);
int add(const std::string& store, const std::string& file, const Options& o);
int remove(const std::string& store, const std::string& which, const Options& o);
int keyInfo(const std::string& store, const std::string& which, const Options& o);
int view(const std::string& file, const Options& o);

}  // namespace certstore
