#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/input_checks.h"

namespace telmora::fuzz {
namespace {

namespace fs = std::filesystem;

std::vector<fs::path> corpusFiles(const char* folder) {
    std::vector<fs::path> files;
    for (const fs::directory_entry& entry :
         fs::directory_iterator(fs::path(TELMORA_FUZZ_CORPUS_DIR) / folder)) {
        if (entry.is_regular_file()) files.push_back(entry.path());
    }
    // One order on every machine: the checks carry state from one input to the next.
    std::sort(files.begin(), files.end());
    return files;
}

std::vector<std::uint8_t> readBytes(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(file), {});
}

template <typename Check>
void replay(const char* folder, std::size_t minimumFiles) {
    const std::vector<fs::path> files = corpusFiles(folder);
    ASSERT_GE(files.size(), minimumFiles) << folder;
    Check check;
    for (const fs::path& path : files) {
        const std::vector<std::uint8_t> bytes = readBytes(path);
        EXPECT_EQ(check(bytes.data(), bytes.size()), "") << path;
    }
}

TEST(FuzzCorpus, StreamDatagrams) {
    replay<StreamDatagramCheck>("stream", 6);
}

TEST(FuzzCorpus, Announcements) {
    replay<AnnouncementCheck>("announcement", 6);
}

TEST(FuzzCorpus, TakeFiles) {
    replay<TakeFileCheck>("bvh", 3);
}

TEST(FuzzCorpus, CaptureFiles) {
    replay<CaptureFileCheck>("capture", 3);
}

}  // namespace
}  // namespace telmora::fuzz
