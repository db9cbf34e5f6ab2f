// Test fixture: each test gets private hives in a fresh temporary directory.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "win/winreg.h"

class PrivateRegistry : public ::testing::Test {
  protected:
    void SetUp() override {
        char templ[] = "/tmp/vantor-reg-XXXXXX";
        ASSERT_NE(mkdtemp(templ), nullptr);
        dir_ = templ;
        setenv(VANTOR_REGISTRY_DIR_ENV, dir_.c_str(), 1);
    }
    void TearDown() override {
        unsetenv(VANTOR_REGISTRY_DIR_ENV);
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    std::string dir_;
};
