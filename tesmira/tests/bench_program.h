// The set-up every manager test program on the card bench shares: its own folder, and a main
// that registers pavlox.so in a private registry, writes the bench module's configuration and
// runs the tests under a QApplication with COM initialised.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "cardtoken_client.h"
#include "registry_sandbox.h"
#include "win/libloaderapi.h"
#include "win/objbase.h"

namespace tesmira {

inline std::string ProgramDir() {
    char path[4096];
    const DWORD n = GetModuleFileNameA(nullptr, path, sizeof(path));
    return std::filesystem::path(std::string(path, n)).parent_path().string();
}

// Runs action on the first visible modal dialog of type T (the panels run their dialogs
// modally); gives up after about ten seconds.
template <typename T>
void WhenModalShows(const std::function<void(T&)>& action) {
    auto* timer = new QTimer;
    timer->setInterval(20);
    auto remaining = std::make_shared<int>(500);
    QObject::connect(timer, &QTimer::timeout, [timer, action, remaining] {
        auto* dialog = qobject_cast<T*>(QApplication::activeModalWidget());
        if (dialog != nullptr && dialog->isVisible()) {
            timer->stop();
            timer->deleteLater();
            action(*dialog);
        } else if (--*remaining == 0) {
            timer->stop();
            timer->deleteLater();
        }
    });
    timer->start();
}

// The body of the program's main; workSuffix keeps each program's bench folder its own.
inline int RunOnBench(int argc, char** argv, const std::string& workSuffix) {
    // The registry, the per-user settings and the COM registration live in a private folder
    // for the whole run; pavlox.so is registered there as an installation would.
    RegistrySandbox registry;
    if (!registry.ready()) {
        std::fprintf(stderr, "no private registry folder\n");
        return 1;
    }
    const std::string pavlox = ProgramDir() + "/pavlox.so";
    HMODULE server = LoadLibraryA(pavlox.c_str());
    auto reg = server != nullptr
                   ? ProcAs<HRESULT (*)()>(GetProcAddress(server, "DllRegisterServer"))
                   : nullptr;
    if (reg == nullptr || reg() != S_OK) {
        std::fprintf(stderr, "cannot register %s\n", pavlox.c_str());
        return 1;
    }
    std::string output;
    const std::string conf =
        cardtoken::test::makeBenchConf(cardtoken::test::workDir() + workSuffix, &output);
    if (conf.empty()) {
        std::fprintf(stderr, "no bench configuration: %s\n", output.c_str());
        return 1;
    }
    setenv("CARDTOKEN_CONF", conf.c_str(), 1);
    setenv("LANG", "en_US.UTF-8", 1);
    unsetenv("LC_ALL");
    unsetenv("LC_MESSAGES");
    CoInitialize(nullptr);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    const int status = RUN_ALL_TESTS();
    CoUninitialize();
    return status;
}

}  // namespace tesmira
