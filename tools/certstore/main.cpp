// certstore: list, show, add, delete and view certificates of the user's or machine's stores.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "commands.h"

namespace {

void usage(FILE* out) {
    std::fputs(
        "usage: certstore [--machine] VERB ARGS\n"
        "  list STORE                 certificates of a store (MY, ROOT, CA, AddressBook, ...)\n"
        "  show STORE CERT            every field of one certificate\n"
        "  add STORE FILE             add a DER or PEM certificate file (kept if already there)\n"
        "      [--container NAME [--provider NAME] [--keyspec 1|2]]  with key provider info\n"
        "  delete STORE CERT          remove one certificate\n"
        "  keyinfo STORE CERT         the key provider information of one certificate\n"
        "  view FILE [--page general|details|path]   open the certificate viewer\n"
        "CERT is the 1-based position shown by list or the start of the SHA-1 thumbprint.\n"
        "--machine uses the machine's stores instead of the current user's.\n",
        out);
}

}  // namespace

int main(int argc, char** argv) {
    certstore::Options o;
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](const char* name) -> std::string {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "certstore: %s needs a value\n", name);
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--help" || a == "-h") {
            usage(stdout);
            return 0;
        } else if (a == "--machine") {
            o.machine = true;
        } else if (a == "--page") {
            o.page = value("--page");
        } else if (a == "--container") {
            o.container = value("--container");
        } else if (a == "--provider") {
            o.provider = value("--provider");
        } else if (a == "--keyspec") {
            o.keySpec =
                static_cast<unsigned>(std::strtoul(value("--keyspec").c_str(), nullptr, 10));
        } else if (a.size() > 1 && a[0] == '-') {
            std::fprintf(stderr, "certstore: unknown option %s\n", a.c_str());
            usage(stderr);
            return 2;
        } else {
            args.push_back(a);
        }
    }
    auto need = [&](size_t n) {
        if (args.size() != n) {
            usage(stderr);
            std::exit(2);
        }
    };
    if (args.empty()) {
        usage(stderr);
        return 2;
    }
    const std::string& verb = args[0];
    if (verb == "list") {
        need(2);
        return certstore::list(args[1], o);
    }
    if (verb == "show") {
        need(3);
        return certstore::show(args[1], args[2], o);
    }
    if (verb == "add") {
        need(3);
        return certstore::add(args[1], args[2], o);
    }
    if (verb == "delete") {
        need(3);
        return certstore::remove(args[1], args[2], o);
    }
    if (verb == "keyinfo") {
        need(3);
        return certstore::keyInfo(args[1], args[2], o);
    }
    if (verb == "view") {
        need(2);
        return certstore::view(args[1], o);
    }
    std::fprintf(stderr, "certstore: unknown verb %s\n", verb.c_str());
    usage(stderr);
    return 2;
}
