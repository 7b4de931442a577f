#include <csignal>

#include "cli/CommandLine.h"

int main(int argc, char** argv) {
    // Past a file-size limit a write then fails with EFBIG ("File too large"), which the row
    // reports, instead of the signal ending the process with the temporaries in place.
    std::signal(SIGXFSZ, SIG_IGN);
    return sonavert::RunCommandLine(argc, argv);
}
