// The commands as a user runs them: help, version, bad arguments, unreadable takes, no server.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <string>

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
