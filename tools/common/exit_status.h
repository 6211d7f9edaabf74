#pragma once
// The exit statuses of every program here, in one place: each number means one thing across
// the tools, and each program's --help names those it uses.

namespace telmora {

constexpr int kExitOk = 0;
// Nothing heard in time: no server, subject or frame within the wait, or the listening port is
// in use (telmora-host, telmora-monitor). The test sender: it could not start serving or write
// its send times.
constexpr int kExitNotHeard = 1;
constexpr int kExitCannotServe = 1;
// Bad arguments, or an input file that cannot be read or holds nothing usable.
constexpr int kExitBadInput = 2;
// The plug-in failed a check or a session step.
constexpr int kExitFailed = 3;
// A take was written, with gaps without frames or cut short by the stream's end.
constexpr int kExitIncomplete = 4;

}  // namespace telmora
