// The platform crypto rows against Windows CNG, run under Wine: one line per
// row, exit status 1 on any failure.
#include <cstdio>

#include "../unit/crypto_cases.h"

int main() {
    int failures = 0;
    for (const crypto_cases::Outcome& outcome : crypto_cases::run()) {
        std::printf("%s %s\n", outcome.passed ? "ok" : "FAIL", outcome.name.c_str());
        if (!outcome.passed) ++failures;
    }
    return failures == 0 ? 0 : 1;
}
