// Files and folders for the settings and log tests: each test works in a fresh folder of
// its own, which is also the process's current folder while it runs, so that relative
// log names land there.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include "config/settings.h"
#include "config/settings_for_tests.h"
#include "fake/fake_env.h"

namespace config_test {

inline std::filesystem::path MakeFreshFolder() {
    static std::atomic<int> counter{0};
    std::random_device random;
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    std::filesystem::path folder =
        std::filesystem::temp_directory_path() /
        ("tm-config-" + std::to_string(random()) + "-" + std::to_string(stamp) + "-" +
         std::to_string(counter++));
    std::filesystem::create_directories(folder);
    return folder;
}

inline void WriteFile(const std::filesystem::path& file, const std::string& bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << bytes;
}

inline std::string ReadFile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A fresh folder as the current folder, the fake environment and Settings reset, and a
// check that the settings leave no block behind.
class ConfigTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetSettingsForTest();
        fake::ResetEnv();
        folder_ = MakeFreshFolder();
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
