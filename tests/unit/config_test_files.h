// Files and folders for the settings and log tests: each test works in a fresh folder of
// its own, which is also the process's current folder while it runs, so that relative
// log names land there.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "config/settings.h"
#include "config/settings_for_tests.h"
#include "fake/fake_env.h"
#include "fake/fake_platform.h"
#include "support/support.h"

namespace config_test {

inline void WriteFile(const std::filesystem::path& file, const std::string& bytes) {
    support::WriteWholeFile(file.string(), bytes);
}

inline std::string ReadFile(const std::filesystem::path& file) {
    return support::ReadWholeFile(file.string());
}

// A fresh folder as the current folder, the fake environment, the fake platform (the log's
// files and their failures) and Settings reset, and a check that the settings leave no
// block behind.
class ConfigTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetSettingsForTest();
        fake::ResetEnv();
        fake::Reset();
        folder_ = support::MakeFreshFolder("config");
        previousFolder_ = std::filesystem::current_path();
        std::filesystem::current_path(folder_);
        fake::SetCurrentDirectory(folder_.string());
    }

    void TearDown() override {
        ResetSettingsForTest();
        EXPECT_EQ(fake::LiveAllocations(), 0) << "a text was freed twice or not at all";
        std::filesystem::current_path(previousFolder_);
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }

    std::filesystem::path Path(const std::string& name) const { return folder_ / name; }

    std::filesystem::path folder_;
    std::filesystem::path previousFolder_;
};

}  // namespace config_test
