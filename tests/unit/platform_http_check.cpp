// The HTTP rows, natively against libcurl and under Wine against WinHTTP:
// http_test_server.py runs it with its ports as the arguments. One line per
// row, exit status 1 on any failure.
#include <cstdio>
#include <cstdlib>

#include "http_cases.h"

int main(int argc, char** argv) {
    if (argc != 3) return 2;  // PORT CLOSED_PORT
    int failures = 0;
    for (const http_cases::Outcome& outcome :
         http_cases::run(static_cast<uint16_t>(std::atoi(argv[1])), static_cast<uint16_t>(std::atoi(argv[2])))) {
        std::printf("%s %s\n", outcome.passed ? "ok" : "FAIL", outcome.name.c_str());
        if (!outcome.passed) ++failures;
    }
    return failures == 0 ? 0 : 1;
}
