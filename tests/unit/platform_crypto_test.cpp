#include <gtest/gtest.h>

#include "crypto_cases.h"

TEST(PlatformCrypto, DigestVectorsAndSignatures) {
    for (const crypto_cases::Outcome& outcome : crypto_cases::run()) EXPECT_TRUE(outcome.passed) << outcome.name;
}
