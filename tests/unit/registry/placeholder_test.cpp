#include <gtest/gtest.h>

// Placeholder until this subsystem's tests land.
TEST(registryPlaceholder, Builds) { SUCCEED(); }
