// The suite's entry point. Given the service option, the executable is the
// test service that the service tests register and start; otherwise it runs
// the tests.
#include <gtest/gtest.h>

#include <cstring>

#include "test_service.h"

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], contract::kServiceOption) == 0) {
        return contract::RunServiceProcess(argv[2]);
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
