#pragma once

#include <string>

namespace recorder {

// What `recorder-agent --help` prints.
std::string recorderAgentUsage();

}  // namespace recorder
