// The commands as a user runs them: help, version, bad arguments, unreadable takes, no server.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "network/net_test_support.h"
#include "telmora/version.h"

namespace {

struct CommandResult {
    int status = -1;
    std::string output;  // standard output and standard error together
};

CommandResult run(const std::string& command) {
    CommandResult result;
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return result;
    std::array<char, 512> chunk;
    while (std::fgets(chunk.data(), chunk.size(), pipe) != nullptr) result.output += chunk.data();
    const int status = ::pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

const std::string kSender = TELMORA_SIM_SERVER_EXE;
const std::string kMonitor = TELMORA_MONITOR_EXE;

TEST(CommandLineTest, HelpAndBadArguments) {
    struct Case {
        std::string command;
        int status;
        std::string says;
    };
    const Case cases[] = {
        {kSender + " --help", 0, "--rate"},
        {kMonitor + " --help", 0, "--picture"},
        {kSender + " --no-such-option", 2, "no-such-option"},
        {kSender + " --rate 5000", 2, "--rate"},
        {kMonitor + " --no-such-option", 2, "no-such-option"},
        {kMonitor + " --port 0", 2, "--port"},
        {kMonitor + " --picture out.png", 2, "need a source"},
        {kSender + " --rate nan", 2, "must be a finite number, not nan"},
        {kSender + " --duration inf", 2, "must be a finite number, not inf"},
        {kMonitor + " --wait nan", 2, "must be a finite number, not nan"},
        {kMonitor + " --serve 80a", 2, "--serve takes [ADDRESS:]PORT"},
        {kMonitor + " --serve not-an-address:8080", 2, "'not-an-address' is not an IP address"},
        {kMonitor + " --serve 0 SomeServer", 2, "excludes"},
        {kSender + " --version", 0, std::string("telmora-sim-server ") + telmora::kVersion},
        {kMonitor + " --version", 0, std::string("telmora-monitor ") + telmora::kVersion},
#ifdef TELMORA_HOST_EXE
        {std::string(TELMORA_HOST_EXE) + " --version", 0,
         std::string("telmora-host ") + telmora::kVersion},
#endif
    };
    for (const Case& c : cases) {
        const CommandResult r = run(c.command);
        EXPECT_EQ(r.status, c.status) << c.command << "\n" << r.output;
        EXPECT_NE(r.output.find(c.says), std::string::npos) << c.command << "\n" << r.output;
    }
}

TEST(CommandLineTest, SenderRefusesTakesItCannotUse) {
    const CommandResult missing = run(kSender + " /no/such/take.bvh");
    EXPECT_EQ(missing.status, 2);
    EXPECT_NE(missing.output.find("/no/such/take.bvh"), std::string::npos) << missing.output;

    const std::string path = ::testing::TempDir() + "telmora-not-a-take.bvh";
    std::ofstream(path) << "HIERARCHY\nthis is no skeleton\n";
    const CommandResult garbage = run(kSender + " " + path);
    std::remove(path.c_str());
    EXPECT_EQ(garbage.status, 2);
    EXPECT_FALSE(garbage.output.empty());

    const CommandResult folder = run(kSender + " " + ::testing::TempDir());
    EXPECT_EQ(folder.status, 2) << folder.output;
    EXPECT_NE(folder.output.find("a folder, not a take file"), std::string::npos) << folder.output;

    // The walk broken in one place each: the sender names the file and the line.
    std::ifstream walkFile(std::string(TELMORA_MOCAP_DIR) + "/cmu_02_01_walk.bvh");
    std::vector<std::string> walk;
    for (std::string line; std::getline(walkFile, line);) walk.push_back(line);
    std::size_t frameTimeLine = 0;
    while (frameTimeLine < walk.size() && walk[frameTimeLine].rfind("Frame Time:", 0) != 0)
        ++frameTimeLine;
    ASSERT_LT(frameTimeLine + 5, walk.size());
    struct Broken {
        std::size_t line;  // from 0
        std::string text;
        std::string says;
    };
    const Broken broken[] = {
        {frameTimeLine, "Frame Time: 0", "the frame time 0 is not a positive number"},
        {frameTimeLine, "Frame Time: -0.1", "the frame time -0.1 is not a positive number"},
        {frameTimeLine + 3, "1e30 " + walk[frameTimeLine + 3], "the value 1e30 is not finite"},
        {frameTimeLine + 3, "nan " + walk[frameTimeLine + 3], "the value nan is not finite"},
    };
    for (const Broken& b : broken) {
        std::vector<std::string> lines = walk;
        lines[b.line] = b.text;
        std::ofstream out(path);
        for (const std::string& line : lines) out << line << "\n";
        out.close();
        const CommandResult r = run(kSender + " " + path);
        EXPECT_EQ(r.status, 2) << b.text << "\n" << r.output;
        EXPECT_NE(r.output.find(path + ": line " + std::to_string(b.line + 1) + ": " + b.says),
                  std::string::npos)
            << r.output;
    }
    std::remove(path.c_str());
}

TEST(CommandLineTest, MonitorGivesUpWhenNoServerIsHeard) {
    const std::string port = std::to_string(telmora::test::freeUdpPort());
    const CommandResult stream = run(kMonitor + " Nobody walk --wait 0.3 --port " + port);
    EXPECT_EQ(stream.status, 1) << stream.output;
    EXPECT_NE(stream.output.find("No Telmora server 'Nobody' heard"), std::string::npos)
        << stream.output;
    const CommandResult list = run(kMonitor + " --wait 0.3 --port " + port);
    EXPECT_EQ(list.status, 1) << list.output;
    EXPECT_NE(list.output.find("No Telmora server heard"), std::string::npos) << list.output;
}

}  // namespace
