// certstore: list, show, add, delete and view certificates of the user's or machine's stores.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "commands.h"
#include "vantor/cli.h"

namespace {

const char kHelp[] =
    "usage: certstore [--machine] VERB ARGS\n"
    "The command-line window onto the certificate stores and the certificate viewer.\n"
    "  list STORE                 certificates of a store (MY, ROOT, CA, AddressBook, ...)\n"
    "  show STORE CERT            every field of one certificate\n"
    "  add STORE FILE             add a DER or PEM certificate file (kept if already there)\n"
    "      [--container NAME [--provider NAME] [--keyspec 1|2]]  with key provider info\n"
    "  delete STORE CERT          remove one certificate\n"
    "  keyinfo STORE CERT         the key provider information of one certificate\n"
    "  view FILE [--page general|details|path]   open the certificate viewer\n"
    "CERT is the 1-based position shown by list or the start of the SHA-1 thumbprint.\n"
    "--machine uses the machine's stores instead of the current user's.\n"
    "--help, --version: this text, the version.\n"
    "Exit status: 0 done, 1 the operation failed, 2 a bad command line.\n";

int usageError(const std::string& what) {
    return vantor::cli::UsageError("certstore", what, 2);
}

}  // namespace

int main(int argc, char** argv) {
    if (vantor::cli::HandleStandardOptions(argc, argv, "certstore", kHelp)) {
        return 0;
    }
    certstore::Options o;
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](const char* name) -> std::string {
            if (i + 1 >= argc) {
                std::exit(usageError(std::string(name) + " needs a value"));
            }
            return argv[++i];
        };
        if (a == "--machine") {
            o.machine = true;
        } else if (a == "--page") {
            o.page = value("--page");
            if (o.page != "general" && o.page != "details" && o.page != "path") {
                return usageError("--page is general, details or path, not '" + o.page + "'");
            }
        } else if (a == "--container") {
            o.container = value("--container");
        } else if (a == "--provider") {
            o.provider = value("--provider");
        } else if (a == "--keyspec") {
            const std::string spec = value("--keyspec");
            if (spec != "1" && spec != "2") {
                return usageError("--keyspec is 1 (exchange) or 2 (signature), not '" + spec + "'");
            }
            o.keySpec = spec == "1" ? 1u : 2u;
        } else if (a.size() > 1 && a[0] == '-') {
            return usageError("unknown option '" + a + "'");
        } else {
            args.push_back(a);
        }
    }
    // Exits with a usage error unless the verb has exactly its operands.
    auto need = [&](size_t n, const char* operands) {
        if (args.size() != n) {
            std::exit(usageError(args[0] + " needs " + operands + " (" +
                                 std::to_string(args.size() - 1) + " given)"));
        }
    };
    if (args.empty()) {
        return usageError("no verb given");
    }
    const std::string& verb = args[0];
    if (verb == "list") {
        need(2, "STORE");
        return certstore::list(args[1], o);
    }
    if (verb == "show") {
        need(3, "STORE CERT");
        return certstore::show(args[1], args[2], o);
    }
    if (verb == "add") {
        need(3, "STORE FILE");
        return certstore::add(args[1], args[2], o);
    }
    if (verb == "delete") {
        need(3, "STORE CERT");
        return certstore::remove(args[1], args[2], o);
    }
    if (verb == "keyinfo") {
        need(3, "STORE CERT");
        return certstore::keyInfo(args[1], args[2], o);
    }
    if (verb == "view") {
        need(2, "FILE");
        return certstore::view(args[1], o);
    }
    return usageError("unknown verb '" + verb + "'");
}
