// Linked into every test executable: before each test the limits on diagnostics of network
// input count anew. Tests share a process and often a fake clock that stands still, so lines
// that one test expects would otherwise be left out for what earlier tests printed.

#include <gtest/gtest.h>

#include "Common/Debug/Debug.h"

namespace {

class FreshInputLimits : public testing::EmptyTestEventListener {
    void OnTestStart(const testing::TestInfo&) override { DebugResetInputLimitsForTesting(); }
};

const bool registered = [] {
    testing::UnitTest::GetInstance()->listeners().Append(new FreshInputLimits);
    return true;
}();

} // namespace
