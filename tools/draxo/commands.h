// The tool's commands; each returns the process's exit status.
#pragma once

#include <string>
#include <vector>

#include "session.h"

namespace draxo::tool {

int cmdInfo(const CommonOptions& options);
int cmdRead(const CommonOptions& options, const std::vector<std::string>& gates);
int cmdWrite(const CommonOptions& options, const std::vector<std::string>& items);
int cmdPoll(const CommonOptions& options, const std::vector<std::string>& gates,
            unsigned intervalMs, unsigned long count, double seconds);
int cmdScan(const CommonOptions& options, const std::string& writeInit);
int cmdDemo(const CommonOptions& options, double seconds, const std::string& rexsim);

} // namespace draxo::tool
