#include <gtest/gtest.h>

// Placeholder until this subsystem's tests land.
TEST(resetPlaceholder, Builds) { SUCCEED(); }
