// A JUnit XML report of one scenario, for CI systems.
#pragma once

#include <string>
#include <vector>

namespace sim {

struct JunitCase {
    std::string name;
    double seconds = 0;   // virtual time the step took
    std::string failure;  // empty when it passed
    std::string skipped;  // why it did not run, or empty
    std::string error;    // why it could not finish (the run was interrupted), or empty
};

struct JunitSuite {
    std::string name;
    std::vector<JunitCase> cases;
};

std::string junit_xml(const JunitSuite &suite);
bool write_junit(const std::string &path, const JunitSuite &suite, std::string &error);

}  // namespace sim
