#include <gtest/gtest.h>

#include "http_cases.h"
#include "http_test_server.h"

TEST(PlatformHttp, ScriptedServerRows) {
    http_test_server::Server server;
    for (const http_cases::Outcome& outcome : http_cases::run(server.port(), server.closedPortNumber())) {
        EXPECT_TRUE(outcome.passed) << outcome.name;
    }
}
