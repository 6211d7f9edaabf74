// Lines of one kind under a flood: a few a second pass, the rest are counted and said once.

#include "network/log_writer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace telmora {
namespace {

TEST(BoundedLogWriter, HoldsBackAFloodOfOneKindAndSaysHowMany) {
    std::vector<std::string> lines;
    auto t = std::chrono::steady_clock::time_point{} + std::chrono::hours(1);
    const LogWriter log = boundedLogWriter(
        [&](LogStream, const std::string& line) { lines.push_back(line); }, 3, [&] { return t; });
    for (int i = 0; i < 100; ++i)
        writeLine(log, LogStream::Err, "JSON parse error: bad " + std::to_string(i) + "\n");
    writeLine(log, LogStream::Out, "Discovered server: A at 127.0.0.1:5000\n");
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "JSON parse error: bad 0\n", "JSON parse error: bad 1\n",
                         "JSON parse error: bad 2\n", "Discovered server: A at 127.0.0.1:5000\n"}));
    // A second later the count comes first, then the line itself.
    t += std::chrono::seconds(1);
    lines.clear();
    writeLine(log, LogStream::Err, "JSON parse error: bad 100\n");
    EXPECT_EQ(lines, (std::vector<std::string>{"\u2026 97 more like this in the last second\n",
                                               "JSON parse error: bad 100\n"}));
}

}  // namespace
}  // namespace telmora
