// Entry of the PipeWire suites: every test talks to the private audio server.
#include <gtest/gtest.h>

#include "PipeWireTestSupport.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new qor::testing::AudioServerEnvironment);
    return RUN_ALL_TESTS();
}
