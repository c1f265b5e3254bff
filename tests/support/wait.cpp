#include "support/wait.h"

#include <cstdlib>
#include <thread>

namespace travik_test {

double TimeScale() {
    static const double scale = [] {
        const char* text = std::getenv("TRAVIK_TEST_TIME_SCALE");
        double v = text ? std::atof(text) : 1.0;
        return v >= 1.0 ? v : 1.0;
    }();
    return scale;
}

std::chrono::milliseconds Scaled(std::chrono::milliseconds deadline) {
    return std::chrono::milliseconds(static_cast<long long>(static_cast<double>(deadline.count()) * TimeScale()));
}

bool WaitUntil(const std::function<bool()>& cond, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + Scaled(timeout);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace travik_test
