#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

namespace pointer_bench {

// Nanoseconds the process has run on any CPU, over all its current threads.
inline uint64_t cpuNanoseconds(int pid) {
    uint64_t total = 0;
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
        std::ifstream stat(task.path() / "schedstat");
        uint64_t onCpu = 0;
        if (stat >> onCpu) total += onCpu;
    }
    return total;
}

}  // namespace pointer_bench
