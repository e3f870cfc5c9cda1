#pragma once
// The daemon's log: one short line per event on standard error (which is the
// log file once the daemon has detached). Never given a token.

namespace lumora::fuse {

[[gnu::format(printf, 1, 2)]] void log(const char* format, ...);

// Tests and embedders may silence it.
void setLogEnabled(bool enabled);

}  // namespace lumora::fuse
