// check.h: This file contains the check of a fuzz target's rule: a broken
// rule is reported and the target aborts, so that libFuzzer keeps the input.
#pragma once

#include <sanitizer/common_interface_defs.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace fuzz {

// Aborts with the broken rule when `holds` is false. The rule is also handed
// to the sanitizers' report, which libFuzzer keeps when it closes standard error.
inline void require(bool holds, const char* rule)
{
    if (holds)
        return;
    const std::string summary = std::string("broken rule: ") + rule;
    std::fprintf(stderr, "%s\n", summary.c_str());
    __sanitizer_report_error_summary(summary.c_str());
    std::abort();
}

}  // namespace fuzz
