// Helpers for the root-check tests: readable ProbeResult values, a forked
// child that reports back as text, and a child's full descriptor table.
#ifndef ROOTCHECKER_TESTS_SUPPORT_PROBE_SUPPORT_H
#define ROOTCHECKER_TESTS_SUPPORT_PROBE_SUPPORT_H

#include <functional>
#include <optional>
#include <ostream>
#include <string>

#include "native/root_checker.h"

// For GoogleTest's messages: "kOpened" rather than a byte value.
const char* probe_result_name(ProbeResult result);
void PrintTo(ProbeResult result, std::ostream* out);

// Runs `body` in a forked child and returns what it returned. The test fails
// (and nullopt comes back) if the child ends abnormally or runs past a
// generous deadline, so that a probe that blocks cannot hang the run.
std::optional<std::string> report_of_child(
    const std::function<std::string()>& body);

// For a child process only: lowers the soft RLIMIT_NOFILE to just above the
// highest descriptor open and takes every free one below it, so that the
// next open fails with EMFILE. Returns the descriptor it took last (closing
// it frees exactly one slot), or -1 with errno set if the table could not be
// filled.
int exhaust_descriptors();

#endif  // ROOTCHECKER_TESTS_SUPPORT_PROBE_SUPPORT_H
