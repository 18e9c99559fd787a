// The fuzz targets' seed corpora and saved inputs (tests/fuzz/corpus/<target>,
// tests/fuzz/regressions/...) as the unit tests replay them. The folders are
// found from this header's own path, so a test binary built elsewhere (the
// Windows build under Wine, say) finds none and its tests skip.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

namespace test_util {

inline std::vector<uint8_t> ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
}

// tests/fuzz/<sub>, or an empty path when that folder is not there.
inline std::filesystem::path FuzzDir(const std::string& sub) {
    std::error_code ec;
    const std::filesystem::path dir =
        std::filesystem::path(__FILE__).parent_path().parent_path() / "fuzz" / sub;
    return std::filesystem::is_directory(dir, ec) ? dir : std::filesystem::path();
}

// Hands every input file of dir (the notes in *.md are not inputs) to visit,
// in name order so that a failure reads the same on every machine, with the
// file's name in the trace of whatever visit reports. Returns how many.
inline int ForEachInput(
    const std::filesystem::path& dir,
    const std::function<void(const std::string& name, const std::vector<uint8_t>& input)>& visit) {
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (entry.is_regular_file() && entry.path().extension() != ".md") {
            files.push_back(entry.path());
        }
    }
    std::sort(files.begin(), files.end());
    for (const auto& path : files) {
        const std::string name = path.filename().string();
        SCOPED_TRACE(name);
        visit(name, ReadFile(path));
    }
    return static_cast<int>(files.size());
}

}  // namespace test_util
